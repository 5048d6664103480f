// P-256 keys and release signatures on the maker's side. A release signature
// is the fixed 64-byte r‖s form of ECDSA P-256 over the SHA-256 of the exact
// manifest bytes: what Setup verifies with the Windows cryptography API.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace tessaline::release {

using Bytes = std::vector<std::uint8_t>;

class ReleaseToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept;
};
using PrivateKey = std::unique_ptr<EVP_PKEY, KeyDeleter>;

PrivateKey GenerateP256Key();

// Reads a PEM private key, plain or encrypted (its passphrase as
// ReadPassphrase gives it); refuses anything but a P-256 EC key.
PrivateKey LoadP256PrivateKey(const std::filesystem::path& pemPath);

// Writes the key as PKCS#8 PEM, readable and writable only by its owner:
// without `passphrase` unencrypted, with it sealed by scrypt and AES-256-CBC.
// Refuses to overwrite an existing file.
void WritePrivateKeyPem(const PrivateKey& key, const std::filesystem::path& pemPath,
                        const std::string* passphrase = nullptr);

// 128 upper-case hexadecimal digits: X then Y, big-endian.
std::string PublicKeyHex(const PrivateKey& key);

// The 64-byte r‖s signature of SHA-256(data).
Bytes SignRelease(const PrivateKey& key, const Bytes& data);

// True when `signature` (64 bytes r‖s) is valid for `data` under the public
// key given as 128 hexadecimal digits. Throws for a malformed key.
bool VerifyRelease(const std::string& publicKeyHex, const Bytes& data, const Bytes& signature);

// How many keys a Setup may trust at once, as its build option takes them:
// the key in use and its successor while a rotation lasts, with room for a
// spare of each; few enough that each one is known and accounted for.
inline constexpr std::size_t kMostTrustedKeys = 4;

// The keys of a list of 1 to kMostTrustedKeys keys separated by commas,
// each 128 hexadecimal digits of a point on P-256. Throws ReleaseToolError
// for an empty element, a wrong count or a malformed key.
std::vector<std::string> ParsePublicKeyList(const std::string& list);

// Lower-case hexadecimal digits of `size` bytes.
std::string LowerHex(const unsigned char* data, std::size_t size);
// 64 lower-case hexadecimal digits.
std::string Sha256Hex(const Bytes& data);

Bytes ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const Bytes& data);

}  // namespace tessaline::release
