# The test bench's TLS: a test CA, server certificates for the loopback host
# names, and the CA trusted inside the Wine prefix.
prepare_test_tls() { :; }
