#!/usr/bin/env bash
# tessaline-release serve against curl: byte ranges, HEAD, many clients at
# once, paths that try to leave the site, and the failures it must report.
#   serve_site.sh TOOL TLS_DIR WORK_DIR ranges|burst|paths|failures
set -u
tool=$1 tls=$2 out=$3 case=$4
source "$(dirname "$0")/https_test_lib.sh"
trap finish EXIT
rm -rf "$out" && mkdir -p "$out"

site=$out/site
mkdir -p "$site/release-service/api" "$site/package-host/parts" "$out/outside"
head -c 100000 /dev/urandom >"$site/package-host/parts/part-0"
: >"$site/package-host/parts/empty"
printf '{"version":"1.2.3"}' >"$site/release-service/api/manifest"
head -c 64 /dev/urandom >"$site/release-service/api/manifest.sig"
echo secret >"$out/outside/secret"
part=$site/package-host/parts/part-0

# serve [OPTIONS...]: starts it on free ports, through the command in
# $serve_prefix if one is set.
serve_prefix=()
serve() {
  start_server "$out/serve.log" 1 "Ctrl-C stops" "${serve_prefix[@]}" "$tool" serve --site "$site" --cert "$tls/server.pem" \
    --key "$tls/server-key.pem" --release-port 0 --package-port 0 "$@"
  release=https://localhost:$(sed -n 's/.*release service on 127.0.0.1:\([0-9]*\) .*/\1/p' "$out/serve.log")
  package=https://localhost:$(sed -n 's/.*package host on 127.0.0.1:\([0-9]*\) .*/\1/p' "$out/serve.log")
}

case $case in
ranges)
  serve
  expect "whole part" "$(fetch "$package/parts/part-0")" 200
  cmp -s "$out/body" "$part" || fail "the whole part differs from the file"
  expect "whole part length" "$(header Content-Length)" 100000
  expect "part type" "$(header Content-Type)" application/octet-stream
  expect "whole part ranges" "$(header Accept-Ranges)" bytes

  expect "open range" "$(fetch "$package/parts/part-0" -H 'Range: bytes=1000-')" 206
  expect "open range header" "$(header Content-Range)" "bytes 1000-99999/100000"
  expect "open range length" "$(header Content-Length)" 99000
  cmp -s "$out/body" <(tail -c +1001 "$part") || fail "bytes=1000- is not the tail of the part"

  expect "closed range" "$(fetch "$package/parts/part-0" -H 'Range: bytes=10-19')" 206
  expect "closed range header" "$(header Content-Range)" "bytes 10-19/100000"
  cmp -s "$out/body" <(head -c 20 "$part" | tail -c 10) || fail "bytes=10-19 has the wrong bytes"

  expect "range past the end" "$(fetch "$package/parts/part-0" -H 'Range: bytes=99990-200000')" 206
  expect "range past the end header" "$(header Content-Range)" "bytes 99990-99999/100000"
  expect "range past the end size" "$(body_size)" 10

  expect "suffix range" "$(fetch "$package/parts/part-0" -H 'Range: bytes=-5')" 206
  cmp -s "$out/body" <(tail -c 5 "$part") || fail "bytes=-5 is not the last five bytes"

  expect "range at the end" "$(fetch "$package/parts/part-0" -H 'Range: bytes=100000-')" 416
  expect "unsatisfiable header" "$(header Content-Range)" "bytes */100000"
  expect "range of an empty file" "$(fetch "$package/parts/empty" -H 'Range: bytes=0-')" 416
  expect "empty file" "$(fetch "$package/parts/empty")" 200
  expect "empty file size" "$(body_size)" 0

  # Ranges the server does not honour are ignored: the whole part, never an error.
  for range in 'bytes=5-2' 'bytes=0-1,5-6' 'items=0-1' 'bytes=x-'; do
    expect "ignored '$range'" "$(fetch "$package/parts/part-0" -H "Range: $range")" 200
    expect "ignored '$range' size" "$(body_size)" 100000
  done
  # serve sends no ETag and no Last-Modified, so no If-Range can vouch for the
  # bytes a client already has, not even one naming the file's own date: the
  # range is not honoured and the whole part comes.
  expect "validators" "$(fetch "$package/parts/part-0" >/dev/null; header ETag)$(header Last-Modified)" ""
  for validator in '"1-100000"' 'W/"1-100000"' "$(LC_ALL=C date -u -r "$part" '+%a, %d %b %Y %H:%M:%S GMT')"; do
    expect "If-Range $validator" "$(fetch "$package/parts/part-0" -H 'Range: bytes=10-19' -H "If-Range: $validator")" 200
    cmp -s "$out/body" "$part" || fail "If-Range $validator: not the whole part"
  done

  expect "HEAD" "$(fetch "$package/parts/part-0" -I)" 200
  expect "HEAD length" "$(header Content-Length)" 100000
  # A body after HEAD would garble the next answer on the same connection.
  answers=$(curl "${curl_options[@]}" -I -o /dev/null -w '%{http_code} ' "$package/parts/part-0" \
    --next "${curl_options[@]}" -H 'Range: bytes=0-9' -o "$out/body" -w '%{http_code} %{num_connects}' "$package/parts/part-0")
  expect "HEAD, then GET on the same connection" "$answers" "200 206 0"
  cmp -s "$out/body" <(head -c 10 "$part") || fail "the GET after HEAD has the wrong bytes"
  expect "HEAD of a range" "$(fetch "$package/parts/part-0" -I -H 'Range: bytes=100-')" 206
  expect "HEAD of a range length" "$(header Content-Length)" 99900

  expect "manifest" "$(fetch "$release/api/manifest")" 200
  expect "manifest type" "$(header Content-Type)" application/json
  cmp -s "$out/body" "$site/release-service/api/manifest" || fail "the manifest differs"
  expect "signature type" "$(fetch "$release/api/manifest.sig" >/dev/null; header Content-Type)" \
    application/octet-stream

  # Two requests on one connection: the second must not open another.
  connects=$(curl "${curl_options[@]}" -o /dev/null -o /dev/null -w '%{num_connects} ' \
    -H 'Range: bytes=0-9' "$package/parts/part-0" "$package/parts/part-0")
  expect "connections for two requests" "$connects" "1 0 "
  grep -q '^\[package-host\] 127.0.0.1 GET /parts/part-0 206 10 (Range: bytes=0-9)$' "$out/serve.log" ||
    fail "no log line for a range request"
  grep -q '^\[package-host\] 127.0.0.1 HEAD /parts/part-0 200 0$' "$out/serve.log" || fail "no log line for HEAD"
  ;;

burst)
  # 48 range requests, 16 at a time, each on its own connection: every one
  # must get its own slice of the file, whatever the others are doing.
  head -c 3000000 /dev/urandom >"$site/package-host/parts/large"
  serve
  mkdir -p "$out/burst"
  export out package large=$site/package-host/parts/large cacert=$tls/ca.pem
  seq 0 47 | xargs -P 16 -I{} bash -c '
    first=$(({} * 61001)) last=$(({} * 61001 + 99999))
    status=$(curl -sS -4 --noproxy "*" --cacert "$cacert" -o "$out/burst/{}" -w "%{http_code}" -r "$first-$last" "$package/parts/large" 2>&1)
    if [[ $status != 206 ]]; then echo "request {}: $status"
    elif ! cmp -s "$out/burst/{}" <(tail -c +$((first + 1)) "$large" | head -c 100000); then echo "request {}: wrong bytes"
    else echo "request {}: ok"; fi' >"$out/burst/results"
  expect "answered correctly" "$(grep -c ': ok$' "$out/burst/results")" 48
  grep -v ': ok$' "$out/burst/results" | head -n 5
  expect "logged" "$(grep -c '^\[package-host\] 127.0.0.1 GET /parts/large 206 100000 ' "$out/serve.log")" 48

  # 200 connections that never send a byte must not keep anyone else out.
  idle=()
  for ((i = 0; i < 200; i++)); do
    exec {fd}<>"/dev/tcp/127.0.0.1/${release##*:}" || { fail "idle connection $i could not be opened"; break; }
    idle+=("$fd")
  done
  status=$(fetch "$release/api/manifest" --max-time 10)
  [[ $status == 200 ]] || fail "a client beside 200 idle connections: got '$status': $(cat "$out/curl-errors")"
  for fd in "${idle[@]}"; do exec {fd}>&-; done

  # 400 keep-alive clients one after another, each left idle after its answer,
  # against a server that holds 240 connections at once and has 300
  # descriptors, fewer than they would take: the longest idle make way, so
  # every one is answered, and so is a client after them.
  stop_server
  serve_prefix=(bash -c 'ulimit -n 300 && exec "$@"' limited)
  serve
  read -r -d '' clients <<'PY'
import socket, ssl, sys
port, count, ca, part = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
with open(part, "rb") as f:
    expected = f.read(10)
context = ssl.create_default_context(cafile=ca)
held = []
try:
    for _ in range(count):
        client = context.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10),
                                     server_hostname="localhost")
        client.sendall(b"GET /parts/part-0 HTTP/1.1\r\nHost: localhost\r\nRange: bytes=0-9\r\n\r\n")
        answer = b""
        while len(answer.partition(b"\r\n\r\n")[2]) < len(expected):
            got = client.recv(4096)
            if not got:
                raise ConnectionError("closed before a whole answer")
            answer += got
        head, _, body = answer.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 206 ") or body != expected:
            raise ConnectionError(head.split(b"\r\n")[0].decode(errors="replace") + " with other bytes")
        held.append(client)
    print(len(held), "answered", flush=True)
except OSError as e:
    print(len(held), "answered, then:", e, flush=True)
sys.stdin.read()  # holds the connections until the test lets go
PY
  coproc CLIENTS { python3 -c "$clients" "${package##*:}" 400 "$tls/ca.pem" "$part"; }
  clients_in=${CLIENTS[1]} clients_pid=$CLIENTS_PID
  read -r -t 45 -u "${CLIENTS[0]}" answered || answered="no word from the clients"
  expect "keep-alive clients" "$answered" "400 answered"
  status=$(fetch "$package/parts/part-0" --max-time 10)
  [[ $status == 200 ]] || fail "a client after 400 keep-alive clients: got '$status': $(cat "$out/curl-errors")"
  cmp -s "$out/body" "$part" || fail "the client after 400 keep-alive clients got other bytes"
  exec {clients_in}>&-
  wait "$clients_pid"
  ;;

paths)
  ln -s "$out/outside/secret" "$site/package-host/parts/link-out"
  ln -s "$out/outside" "$site/package-host/folder-out"
  ln -s part-0 "$site/package-host/parts/link-in"
  head -c 1000 /dev/urandom >"$site/package-host/parts/unreadable"
  chmod 000 "$site/package-host/parts/unreadable"
  # Root opens any file: without those powers the mode bits hold for it too.
  [[ $(id -u) -ne 0 ]] || serve_prefix=(setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search --)
  serve
  for path in /../release-service/api/manifest /parts/../parts/part-0 /%2e%2e/release-service/api/manifest \
    /parts/%2E%2E/../outside/secret /parts/./part-0 '/parts%5Cpart-0' /parts/part-0%00 /parts/part%zz; do
    expect "malformed $path" "$(fetch "$package$path" --path-as-is)" 400
  done
  expect "link out of the site" "$(fetch "$package/parts/link-out")" 403
  if grep -q secret "$out/body"; then fail "a link served a file outside the site"; fi
  expect "folder link out of the site" "$(fetch "$package/folder-out/secret")" 403
  if grep -q secret "$out/body"; then fail "a folder link served a file outside the site"; fi
  expect "link inside the site" "$(fetch "$package/parts/link-in")" 200
  cmp -s "$out/body" "$part" || fail "the link inside the site served other bytes"
  expect "escaped name" "$(fetch "$package/parts/part%2D0")" 200
  expect "query ignored" "$(fetch "$package/parts/part-0?x=1")" 200
  expect "missing file" "$(fetch "$package/parts/part-9")" 404
  expect "unreadable file" "$(fetch "$package/parts/unreadable")" 500
  expect "folder" "$(fetch "$package/parts")" 404
  expect "root" "$(fetch "$package/")" 404
  expect "release file on the package port" "$(fetch "$package/api/manifest")" 404
  expect "package file on the release port" "$(fetch "$release/parts/part-0")" 404
  expect "POST" "$(fetch "$package/parts/part-0" -X POST)" 405
  expect "POST allow" "$(header Allow)" "GET, HEAD"
  # A GET's body is refused, and never read as the next request.
  expect "GET with a body" "$(fetch "$package/parts/part-0" -X GET \
    --data-binary $'GET /parts/smuggled HTTP/1.1\r\nHost: localhost\r\n\r\n')" 400
  if grep -q smuggled "$out/serve.log"; then fail "a request body was read as a request"; fi
  ;;

failures)
  expect "help" "$("$tool" serve --help | head -n 1 | cut -c1-31)" "Usage: tessaline-release serve "
  run() { "$tool" serve "$@" >"$out/stdout" 2>"$out/stderr"; echo $?; }
  certs=(--cert "$tls/server.pem" --key "$tls/server-key.pem")
  expect "no site" "$(run "${certs[@]}")" 2
  grep -q "missing --site" "$out/stderr" || fail "no word of the missing --site"
  expect "unknown option" "$(run --site "$site" "${certs[@]}" --port 1)" 2
  expect "bad port" "$(run --site "$site" "${certs[@]}" --release-port 70000)" 2
  expect "same ports" "$(run --site "$site" "${certs[@]}" --release-port 5000 --package-port 5000)" 2
  expect "not a site" "$(run --site "$out/outside" "${certs[@]}")" 1
  grep -q "release-service is not a folder" "$out/stderr" || fail "no word of the missing release-service folder"
  expect "missing certificate" "$(run --site "$site" --cert "$out/none.pem" --key "$tls/server-key.pem")" 1
  grep -q "cannot load the certificate $out/none.pem" "$out/stderr" || fail "no word of the missing certificate"
  expect "foreign key" "$(run --site "$site" --cert "$tls/server.pem" --key "$tls/untrusted-server-key.pem")" 1
  grep -q "cannot load the private key $tls/untrusted-server-key.pem" "$out/stderr" ||
    fail "no word of the foreign key"
  expect "not an address" "$(run --site "$site" "${certs[@]}" --bind localhost --release-port 0 --package-port 0)" 1

  serve
  port=${package##*:}
  expect "port taken" "$(run --site "$site" "${certs[@]}" --release-port 0 --package-port "$port")" 1
  grep -q "127.0.0.1:$port: the port is already in use" "$out/stderr" || fail "no word of the taken port"
  expect "still serving" "$(fetch "$package/parts/part-0")" 200
  stop_server INT
  expect "SIGINT" "$stopped_code" 0
  grep -q "SIGINT, stopping" "$out/serve.log" || fail "no word of stopping"
  # The port is free again at once.
  start_server "$out/again.log" 1 "Ctrl-C stops" "$tool" serve --site "$site" "${certs[@]}" \
    --release-port 0 --package-port "$port"
  expect "restarted" "$(fetch "$package/parts/part-0")" 200
  stop_server TERM
  expect "SIGTERM" "$stopped_code" 0
  ;;

*)
  echo "unknown case $case"
  exit 2
  ;;
esac
