#!/usr/bin/env bash
# tessaline-test-server against curl: each fault once, times=K, the request
# log and its reset, the certificates the Windows tests rely on.
#   test_server_faults.sh SERVER TLS_DIR WORK_DIR answers|bodies|redirect|log|certificates
set -u
server=$1 tls=$2 out=$3 case=$4
source "$(dirname "$0")/https_test_lib.sh"
trap finish EXIT
rm -rf "$out" && mkdir -p "$out/www/parts"
part=$out/www/parts/part-0
head -c 100000 /dev/urandom >"$part"
# The second host name the certificate names.
mirror_name=$(bash "$(dirname "$0")/../support/loopback-name" | cut -d' ' -f1)

# start [certificate key]: the server on two free ports, $a and $b their origins.
start() {
  start_server "$out/server.log" 2 "listening on" "$server" --cert "$tls/${1:-server}.pem" \
    --key "$tls/${1:-server}-key.pem" --root "$out/www" --port 0 --port 0 --pid-file "$out/server.pid"
  ports=($(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$out/server.log"))
  a=https://localhost:${ports[0]}
  b=https://localhost:${ports[1]}
}

requests() { curl "${curl_options[@]}" "$a/control/requests"; }

# wait_for WHAT COMMAND...: until COMMAND succeeds; fails after 10 seconds.
wait_for() {
  local what=$1 i
  shift
  for ((i = 0; i < 200; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  fail "$what did not happen within 10 seconds"
  return 1
}

case $case in
answers)
  start
  expect "ping" "$(fetch "$a/control/ping")" 200
  expect "plain file" "$(fetch "$a/parts/part-0")" 200
  cmp -s "$out/body" "$part" || fail "the plain file differs"
  expect "missing file" "$(fetch "$b/parts/part-9")" 404
  expect "status=503" "$(fetch "$a/fault/status=503/parts/part-0")" 503
  expect "status=503 body" "$(cat "$out/body")" "Status 503"
  expect "status=404 of a file that exists" "$(fetch "$a/fault/status=404/parts/part-0")" 404
  expect "status=204" "$(fetch "$a/fault/status=204/parts/part-0")" 204
  expect "status=204 body" "$(body_size)" 0
  expect "status=204 length" "$(header Content-Length)" ""
  for items in bogus status=99 status=abc drop=x drop=1,stall=1 status=500,redirect=localhost:1 \
    redirect=localhost redirect=a/b:1 corrupt=1 status=500,,times=1 range-total=x; do
    expect "bad items '$items'" "$(fetch "$a/fault/$items/parts/part-0")" 400
  done
  fetch "$a/fault/bogus/parts/part-0" >/dev/null
  grep -q "unknown fault 'bogus'" "$out/body" || fail "no word of the unknown fault"
  expect "fault without a file" "$(fetch "$a/fault/status=500")" 500
  expect "escaped items" "$(fetch "$a/fault/status%3D502/parts/part-0")" 502
  # The server answers on every port it was given, and refuses a taken one.
  "$server" --cert "$tls/server.pem" --key "$tls/server-key.pem" --root "$out/www" --port "${ports[1]}" \
    2>"$out/second.log"
  expect "second server on a taken port" "$?" 1
  grep -q "127.0.0.1:${ports[1]}: the port is already in use" "$out/second.log" || fail "no word of the taken port"
  expect "pid file" "$(cat "$out/server.pid")" "$server_pid"
  stop_server TERM
  expect "stopped" "$stopped_code" 0
  if [[ -e $out/server.pid ]]; then fail "the pid file outlived the server"; fi
  ;;

bodies)
  start
  expect "drop=1000" "$(fetch "$a/fault/drop=1000/parts/part-0")" 200
  expect "drop=1000 announced length" "$(header Content-Length)" 100000
  expect "drop=1000 bytes received" "$(body_size)" 1000
  cmp -s "$out/body" <(head -c 1000 "$part") || fail "the bytes before the drop differ"
  expect "drop of a range" "$(fetch "$a/fault/drop=100/parts/part-0" -H 'Range: bytes=5000-')" 206
  expect "drop of a range header" "$(header Content-Range)" "bytes 5000-99999/100000"
  expect "drop of a range bytes" "$(body_size)" 100
  cmp -s "$out/body" <(tail -c +5001 "$part" | head -c 100) || fail "the range before the drop differs"

  expect "ignore-range" "$(fetch "$a/fault/ignore-range/parts/part-0" -H 'Range: bytes=10-')" 200
  expect "ignore-range content range" "$(header Content-Range)" ""
  cmp -s "$out/body" "$part" || fail "ignore-range did not send the whole file"

  expect "corrupt" "$(fetch "$a/fault/corrupt/parts/part-0")" 200
  expect "corrupt size" "$(body_size)" 100000
  expect "corrupt changed byte" "$(cmp -l "$out/body" "$part" | awk '{print $1}' | tr '\n' ' ')" "50001 "
  expect "corrupt range" "$(fetch "$a/fault/corrupt/parts/part-0" -H 'Range: bytes=1000-1999')" 206
  expect "corrupt range changed byte" \
    "$(cmp -l "$out/body" <(tail -c +1001 "$part" | head -c 1000) | awk '{print $1}' | tr '\n' ' ')" "501 "
  expect "corrupt and drop" "$(fetch "$a/fault/corrupt,drop=10/parts/part-0")" 200
  cmp -s "$out/body" <(head -c 10 "$part") || fail "corrupt changed a byte before the middle"

  expect "extra=5" "$(fetch "$a/fault/extra=5/parts/part-0")" 200
  expect "extra=5 length" "$(header Content-Length) $(body_size)" "100005 100005"
  cmp -s "$out/body" <(cat "$part"; head -c 5 /dev/zero) || fail "extra did not append 5 zero bytes"
  expect "extra=5 of a range" "$(fetch "$a/fault/extra=5/parts/part-0" -H 'Range: bytes=99000-')" 206
  expect "extra=5 of a range header" "$(header Content-Range)" "bytes 99000-100004/100005"
  expect "range-before=1000" "$(fetch "$a/fault/range-before=1000/parts/part-0" -H 'Range: bytes=5000-')" 206
  expect "range-before=1000 header" "$(header Content-Range)" "bytes 4000-99999/100000"
  cmp -s "$out/body" <(tail -c +4001 "$part") || fail "range-before sent other bytes"
  expect "range-before beyond the start" "$(fetch "$a/fault/range-before=9000/parts/part-0" -H 'Range: bytes=5000-')" 206
  expect "range-before beyond the start header" "$(header Content-Range)" "bytes 0-99999/100000"
  expect "range-before without a range" "$(fetch "$a/fault/range-before=10/parts/part-0")" 200
  expect "range-short=1000" "$(fetch "$a/fault/range-short=1000/parts/part-0" -H 'Range: bytes=5000-')" 206
  expect "range-short=1000 header" "$(header Content-Range) $(header Content-Length)" "bytes 5000-98999/100000 94000"
  cmp -s "$out/body" <(tail -c +5001 "$part" | head -c 94000) || fail "range-short sent other bytes"
  expect "range-short keeps a byte" "$(fetch "$a/fault/range-short=999999/parts/part-0" -H 'Range: bytes=5000-')" 206
  expect "range-short keeps a byte header" "$(header Content-Range)" "bytes 5000-5000/100000"
  expect "range-total=7" "$(fetch "$a/fault/range-total=7/parts/part-0" -H 'Range: bytes=5000-')" 206
  expect "range-total=7 header" "$(header Content-Range) $(body_size)" "bytes 5000-99999/7 95000"
  expect "range-total=*" "$(fetch "$a/fault/range-total=*/parts/part-0" -H 'Range: bytes=5000-')" 206
  expect "range-total=* header" "$(header Content-Range)" "bytes 5000-99999/*"

  # endless: the server goes on until the client stops; curl stops at the
  # announced length, which is over its limit, and the server soon after.
  curl "${curl_options[@]}" -o /dev/null -D "$out/headers" --max-filesize 1000000 "$a/fault/endless/none" 2>/dev/null
  expect "endless refused by curl for its length" "$?" 63
  expect "endless length" "$(header Content-Length)" 1099511627776
  curl "${curl_options[@]}" -o /dev/null --max-time 30 "$a/fault/endless/none" 2>/dev/null
  expect "endless read to the end: dropped" "$?" 18
  ended() { grep -q "GET /fault/endless/none 200 67108864$" "$out/server.log"; }
  wait_for "the end of an endless body at its 64 MiB cap" ended
  expect "endless with another fault" "$(fetch "$a/fault/endless,drop=5/none")" 400

  # Armed faults answer a fixed path as its /fault/ form would, until a reset.
  expect "arm" "$(fetch "$a/control/arm/status=503,times=1/parts/part-0")" 200
  expect "armed" "$(fetch "$a/parts/part-0") $(fetch "$a/parts/part-0")" "503 200"
  expect "arm bad items" "$(fetch "$a/control/arm/bogus/parts/part-0")" 400
  fetch "$a/control/arm/status=500/parts/part-0" >/dev/null
  fetch "$a/control/reset" >/dev/null
  expect "reset disarms" "$(fetch "$a/parts/part-0")" 200

  # stall: the bytes arrive, then nothing, while the log already shows them.
  curl "${curl_options[@]}" -N -o "$out/stalled" "$a/fault/stall=100/parts/part-0" 2>/dev/null &
  client=$!
  logged() { requests | grep -q '"path":"/fault/stall=100/parts/part-0","range":"","userAgent":"[^"]*","status":200,"bytesSent":100}'; }
  wait_for "a stall of 100 bytes in the log" logged
  received() { [[ $(stat -c %s "$out/stalled") == 100 ]]; }
  wait_for "100 stalled bytes at the client" received
  kill -0 "$client" 2>/dev/null || fail "the client of a stall ended by itself"
  # The hold ends when the client goes away, not after two minutes.
  kill "$client"
  wait "$client" 2>/dev/null
  finished() { grep -q "GET /fault/stall=100/parts/part-0 200 100$" "$out/server.log"; }
  wait_for "the end of the stalled exchange once its client left" finished
  # A server stopped during a stall ends at once, and so does its client's connection.
  curl "${curl_options[@]}" -o /dev/null "$a/fault/stall=5/parts/part-0" 2>/dev/null &
  client=$!
  logged() { requests | grep -q '"path":"/fault/stall=5/parts/part-0".*"bytesSent":5}'; }
  wait_for "a stall of 5 bytes in the log" logged
  stop_server TERM
  expect "stopped during a stall" "$stopped_code" 0
  wait "$client"
  expect "client of the stopped stall" "$?" 18  # curl: transfer closed with data outstanding
  ;;

redirect)
  start
  mirror=https://$mirror_name:${ports[1]}
  at_mirror=(--resolve "$mirror_name:${ports[1]}:127.0.0.1")
  expect "redirect" "$(fetch "$a/fault/redirect=$mirror_name:${ports[1]}/parts/part-0?x=1&y=2")" 302
  expect "redirect location" "$(header Location)" "$mirror/parts/part-0?x=1&y=2"
  expect "redirect without a query" "$(fetch "$a/fault/redirect=$mirror_name:${ports[1]}/parts/part-0")" 302
  expect "redirect location without a query" "$(header Location)" "$mirror/parts/part-0"
  curl "${curl_options[@]}" "$a/control/reset" >/dev/null
  # Followed, with the range sent again: the certificate must name the mirror.
  expect "followed redirect" "$(fetch "$a/fault/redirect=$mirror_name:${ports[1]}/parts/part-0?x=1" -L \
    "${at_mirror[@]}" -H 'Range: bytes=99000-')" 206
  cmp -s "$out/body" <(tail -c 1000 "$part") || fail "the redirected range differs"
  expect "both hops in one log" "$(requests | grep -o '"path":"[^"]*","range":"[^"]*"' | tr '\n' ' ')" \
    "\"path\":\"/fault/redirect=$mirror_name:${ports[1]}/parts/part-0?x=1\",\"range\":\"bytes=99000-\" \"path\":\"/parts/part-0?x=1\",\"range\":\"bytes=99000-\" "
  ;;

log)
  start
  url="$a/fault/status=500,times=2/parts/part-0"
  answers=""
  for query in q=1 q=1 q=2 q=1; do answers+="$(fetch "$url?$query") "; done
  expect "times=2, counted per path and query" "$answers" "500 500 500 200 "
  expect "times=0" "$(fetch "$a/fault/status=500,times=0/parts/part-0")" 200
  expect "times with a body fault" "$(fetch "$a/fault/drop=10,times=1/parts/part-0") $(body_size)" "200 10"
  expect "times with a body fault, later" "$(fetch "$a/fault/drop=10,times=1/parts/part-0") $(body_size)" "200 100000"
  expect "reset" "$(fetch "$a/control/reset")" 200
  expect "empty log" "$(requests)" "[]"
  expect "times after reset" "$(fetch "$url?q=1")" 500

  curl "${curl_options[@]}" "$b/control/reset" >/dev/null
  fetch "$a/parts/part-0?x=1" -A "TessalineSetup/0.1" -H 'Range: bytes=10-' >/dev/null
  fetch "$b/missing" -I -A "probe" >/dev/null
  fetch "$b/fault/drop=7/parts/part-0" -A "" >/dev/null
  fetch "$a/control/ping" >/dev/null
  expected='[{"method":"GET","path":"/parts/part-0?x=1","range":"bytes=10-","userAgent":"TessalineSetup/0.1","status":206,"bytesSent":99990}'
  expected+=',{"method":"HEAD","path":"/missing","range":"","userAgent":"probe","status":404,"bytesSent":0}'
  expected+=',{"method":"GET","path":"/fault/drop=7/parts/part-0","range":"","userAgent":"","status":200,"bytesSent":7}]'
  expect "log of both ports" "$(requests)" "$expected"
  expect "log content type" "$(fetch "$b/control/requests" >/dev/null; header Content-Type)" application/json
  ;;

certificates)
  "$server" --cert "$tls/server.pem" --key "$tls/server-key.pem" --root "$out/www" --port 0 --address 0.0.0.0 \
    >/dev/null 2>&1
  expect "an address other than loopback refused" "$?" 2
  start untrusted-server
  expect "untrusted certificate refused" "$(fetch "$a/control/ping")" 000
  grep -q "SSL certificate problem" "$out/curl-errors" || fail "the refusal was not about the certificate"
  expect "untrusted certificate under its own CA" \
    "$(curl -sS -4 --noproxy '*' --cacert "$tls/untrusted-ca.pem" -o /dev/null -w '%{http_code}' "$a/control/ping")" 200
  stop_server
  start
  expect "trusted certificate" "$(fetch "$a/control/ping")" 200
  expect "mirror name" "$(fetch "https://$mirror_name:${ports[0]}/control/ping" \
    --resolve "$mirror_name:${ports[0]}:127.0.0.1")" 200
  expect "a name the certificate lacks" "$(fetch "https://other.tessaline.test:${ports[0]}/control/ping" \
    --resolve "other.tessaline.test:${ports[0]}:127.0.0.1")" 000
  expect "certificate files" "$(cd "$tls" && ls | tr '\n' ' ')" \
    "ca.der ca.pem server-key.pem server.pem untrusted-ca.pem untrusted-server-key.pem untrusted-server.pem "
  expect "ca.der is ca.pem" "$(openssl x509 -inform DER -in "$tls/ca.der" -outform PEM)" "$(cat "$tls/ca.pem")"
  ;;

*)
  echo "unknown case $case"
  exit 2
  ;;
esac
