# Shared by the HTTPS server tests: start a server on free ports, fetch from
# it with curl, compare, and report every mismatch before failing.
#   source https_test_lib.sh   (after setting $tls to make-test-certs' folder)

failures=0
server_pid=""

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect WHAT ACTUAL EXPECTED
expect() {
  [[ $2 == "$3" ]] || fail "$1: got '$2', expected '$3'"
}

# The EXIT trap: stops the server and turns the checks into the exit code.
finish() {
  local code=$?
  stop_server
  [[ $code -eq 0 ]] || exit "$code"
  if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo ok
}

# start_server LOG LINES PATTERN COMMAND...: starts COMMAND in the background
# with its stderr in LOG and waits until LOG holds LINES lines matching
# PATTERN. Fails the test with the log if the server ends first.
start_server() {
  local log=$1 lines=$2 pattern=$3
  shift 3
  : >"$log"  # emptied first, so an earlier server's lines are never read as this one's
  "$@" 2>"$log" </dev/null &
  server_pid=$!
  local i
  for ((i = 0; i < 200; i++)); do
    [[ $(grep -c -- "$pattern" "$log") -ge $lines ]] && return 0
    if ! kill -0 "$server_pid" 2>/dev/null; then
      echo "the server ended before it was ready:"
      cat "$log"
      exit 1
    fi
    sleep 0.05
  done
  echo "the server was not ready after 10 seconds:"
  cat "$log"
  exit 1
}

# stop_server [SIGNAL]: signals the server, waits for it and leaves its exit
# code in $stopped_code.
stopped_code=""
stop_server() {
  [[ -n $server_pid ]] || return 0
  local pid=$server_pid
  server_pid=""
  stopped_code=0
  kill "-${1:-TERM}" "$pid" 2>/dev/null || true
  wait "$pid" || stopped_code=$?
}

curl_options=(-sS -4 --noproxy '*' --cacert "$tls/ca.pem")

# fetch URL [curl options...]: the body goes to $out/body, the headers to
# $out/headers; prints the status code (000 when there was no answer).
fetch() {
  local url=$1
  shift
  curl "${curl_options[@]}" -o "$out/body" -D "$out/headers" -w '%{http_code}' \
    "$@" "$url" 2>"$out/curl-errors" || true
}

# header NAME: its value in the last fetch's headers.
header() {
  grep -i "^$1:" "$out/headers" | tail -n 1 | cut -d: -f2- | sed 's/^ *//; s/\r$//'
}

body_size() { stat -c %s "$out/body"; }
