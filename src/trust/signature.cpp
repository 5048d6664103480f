#include "trust/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstring>

#include "build_config.h"
#include "common/setup_error.h"
#include "common/unique_handle.h"
#include "trust/digest.h"

namespace tessaline {
namespace {

// BCRYPT_ECCKEY_BLOB header, then X and Y.
std::array<UCHAR, 72> PublicKeyBlob(const std::array<std::uint8_t, 64>& publicKey) {
  std::array<UCHAR, 72> blob{};
  const ULONG magic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  const ULONG keyLength = 32;
  std::memcpy(blob.data(), &magic, 4);
  std::memcpy(blob.data() + 4, &keyLength, 4);
  std::memcpy(blob.data() + 8, publicKey.data(), publicKey.size());
  return blob;
}

}  // namespace

void VerifyManifestSignature(const std::vector<std::uint8_t>& manifest, const std::vector<std::uint8_t>& signature) {
  if (signature.size() != kSignatureLength) throw SetupError("Invalid Quorvant release signature");

  UniqueAlgorithmProvider provider;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(provider.Put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    throw SetupError("Windows release verification is unavailable");
  }
  Sha256Digest digest = Sha256(manifest.data(), manifest.size());
  std::array<UCHAR, kSignatureLength> signatureBytes{};
  std::memcpy(signatureBytes.data(), signature.data(), kSignatureLength);
  // While the maker changes keys, a Setup trusts both the old and the new:
  // a signing under any of them is the maker's.
  for (const std::array<std::uint8_t, 64>& publicKey : kReleasePublicKeys) {
    std::array<UCHAR, 72> blob = PublicKeyBlob(publicKey);
    UniqueCryptoKey key;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(provider.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.Put(), blob.data(),
                                            static_cast<ULONG>(blob.size()), 0))) {
      throw SetupError("The Quorvant verification key is invalid");
    }
    const NTSTATUS status = BCryptVerifySignature(key.Get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                                  signatureBytes.data(), static_cast<ULONG>(signatureBytes.size()), 0);
    if (BCRYPT_SUCCESS(status)) return;
  }
  throw SetupError("The release manifest is not signed by Quorvant");
}

}  // namespace tessaline
