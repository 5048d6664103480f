# The test bench's TLS: a test CA, server certificates for the loopback host
# names, and the CA trusted inside the Wine prefix.
#
# prepare_test_tls writes the certificates fresh into $TESSALINE_WINE_ROOT/tls
# (build/wine/tls for scripts/test), has trust-test-ca from the Windows tree
# ($TESSALINE_WINDOWS_BUILD_DIR, default build/test) add ca.der to the
# prefix's Root store, and makes mirror.tessaline.test a loopback name.
# Needs the prefix made and its wineserver running.

tessaline_mirror_host=mirror.tessaline.test

prepare_test_tls() {
  local tls="$TESSALINE_WINE_ROOT/tls"
  local trust="${TESSALINE_WINDOWS_BUILD_DIR:-$root/build/test}/trust-test-ca.exe"
  log "test certificates in $tls, the test CA trusted in the Wine prefix"
  rm -rf "$tls"
  bash "$root/tests/support/make-test-certs" "$tls"
  [[ -f $trust ]] || { log "no $trust: build the Windows tree first"; return 1; }
  # Z: is the prefix's drive for the Linux root.
  local ca_windows="Z:${tls//\//\\}\\ca.der"
  wine_run "$trust" "$ca_windows" >/dev/null </dev/null || { log "trust-test-ca failed"; return 1; }
  ensure_loopback_name "$tessaline_mirror_host"
}

# Adds "127.0.0.1 NAME" to /etc/hosts unless NAME already resolves there.
ensure_loopback_name() {
  local name=$1
  local pattern="^[[:space:]]*127\.0\.0\.1[[:space:]]+([^#]*[[:space:]])?${name//./\\.}([[:space:]]|#|$)"
  if ! grep -Eq "$pattern" /etc/hosts; then
    log "adding 127.0.0.1 $name to /etc/hosts"
    local sudo=() line
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    line=$(printf '127.0.0.1\t%s' "$name")
    # Appended in place: /etc/hosts may be a bind mount that cannot be replaced.
    [[ ! -s /etc/hosts || -z $(tail -c 1 /etc/hosts) ]] || line=$'\n'$line
    printf '%s\n' "$line" | "${sudo[@]}" tee -a /etc/hosts >/dev/null
  fi
  getent hosts "$name" | grep -q '^127\.0\.0\.1[[:space:]]' ||
    { log "$name does not resolve to 127.0.0.1"; return 1; }
}
