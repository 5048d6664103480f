// trust-test-ca: adds a DER certificate to the "Root" store of the current
// user (or, with --machine, of the machine), so that WinHTTP in the test
// prefix trusts the test CA. Exits 1 unless the certificate ends up trusted
// as a root.
//   trust-test-ca [--machine] CA.der
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/unique_handle.h"

namespace {

BOOL CloseStore(HCERTSTORE store) noexcept { return CertCloseStore(store, 0); }
using UniqueCertStore = tessaline::UniqueResource<HCERTSTORE, CloseStore>;
using UniqueCertContext = tessaline::UniqueResource<PCCERT_CONTEXT, CertFreeCertificateContext>;
using UniqueCertChain = tessaline::UniqueResource<PCCERT_CHAIN_CONTEXT, CertFreeCertificateChain>;

int Fail(const char* what) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "trust-test-ca: %s (Windows error %lu)\n", what, static_cast<unsigned long>(error));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool machine = argc == 3 && std::strcmp(argv[1], "--machine") == 0;
  if (argc != 2 && !machine) {
    std::fputs("usage: trust-test-ca [--machine] CA.der\n", stderr);
    return 2;
  }
  const char* path = argv[argc - 1];
  std::ifstream file(path, std::ios::binary);
  const std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    std::fprintf(stderr, "trust-test-ca: %s is missing or empty\n", path);
    return 1;
  }
  const DWORD size = static_cast<DWORD>(der.size());
  const UniqueCertContext certificate(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size));
  if (!certificate) return Fail("the file is not a DER certificate");

  if (machine) {
    const UniqueCertStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store) return Fail("cannot open the machine's Root store");
    if (!CertAddCertificateContextToStore(store.Get(), certificate.Get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      return Fail("cannot add the certificate to the machine's Root store");
    }
  } else if (!CertAddEncodedCertificateToSystemStoreA("Root", der.data(), size)) {
    return Fail("cannot add the certificate to the user's Root store");
  }

  // Adding can succeed into a store that chain building never reads: check
  // that the certificate is now a trusted root.
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  UniqueCertChain chain;
  if (!CertGetCertificateChain(nullptr, certificate.Get(), nullptr, nullptr, &parameters, 0, nullptr, chain.Put())) {
    return Fail("cannot build a chain for the certificate");
  }
  if ((chain.Get()->TrustStatus.dwErrorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) {
    std::fputs("trust-test-ca: the certificate was added but is not trusted as a root\n", stderr);
    return 1;
  }
  char subject[256] = "";
  CertGetNameStringA(certificate.Get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, sizeof subject);
  std::printf("trusted %s in the %s Root store\n", subject, machine ? "machine's" : "user's");
  return 0;
}
