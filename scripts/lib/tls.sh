# The test bench's TLS: a test CA, server certificates for the loopback host
# names, and the CA trusted inside the Wine prefix.
#
# prepare_test_tls writes the certificates fresh into $TESSALINE_WINE_ROOT/tls
# (build/wine/tls for scripts/test), has trust-test-ca from the Windows tree
# ($TESSALINE_WINDOWS_BUILD_DIR, default build/test) add ca.der to the
# prefix's Root store. The certificate also names a second host name that
# already resolves to loopback (tests/support/loopback-name); no system file is
# edited for it. Needs the prefix made and its wineserver running.

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
}
