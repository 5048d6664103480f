#include "release_signing.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "key_passphrase.h"

namespace tessaline::release {
namespace {

[[noreturn]] void RaiseOpenSsl(const std::string& what) {
  const unsigned long code = ERR_get_error();
  std::string text = what;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof(buffer));
    text += " (" + std::string(buffer) + ")";
  }
  ERR_clear_error();
  throw ReleaseToolError(text);
}

struct BioDeleter {
  void operator()(BIO* b) const noexcept { BIO_free(b); }
};
struct MdContextDeleter {
  void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};
struct SignatureDeleter {
  void operator()(ECDSA_SIG* s) const noexcept { ECDSA_SIG_free(s); }
};
struct BignumDeleter {
  void operator()(BIGNUM* b) const noexcept { BN_free(b); }
};
struct PkeyContextDeleter {
  void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
};
struct ParamBuildDeleter {
  void operator()(OSSL_PARAM_BLD* b) const noexcept { OSSL_PARAM_BLD_free(b); }
};
struct ParamDeleter {
  void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
};
struct KeyInfoDeleter {
  void operator()(PKCS8_PRIV_KEY_INFO* i) const noexcept { PKCS8_PRIV_KEY_INFO_free(i); }
};
struct SealedKeyDeleter {
  void operator()(X509_SIG* s) const noexcept { X509_SIG_free(s); }
};
using Bignum = std::unique_ptr<BIGNUM, BignumDeleter>;

// scrypt's cost for sealing a key: N = 2^14, r = 8, p = 5 is among the
// settings current password-storage guidance holds equal to N = 2^17, p = 1,
// and the largest whose 16 MiB fit the 32 MiB OpenSSL lets a key file's reader
// use by default, so any OpenSSL opens the key again.
constexpr std::uint64_t kScryptCost = 1u << 14;
constexpr std::uint64_t kScryptBlockSize = 8;
constexpr std::uint64_t kScryptParallelism = 5;
// 128 bits of salt, as NIST asks of password-based key derivation.
constexpr int kSaltLength = 16;

// What the PEM reader's passphrase callback found, read after the read.
struct PassphraseRequest {
  bool asked = false;
  bool given = false;
  std::string problem;
  SecretText passphrase;
  std::string prompt;
};

extern "C" int ProvidePassphrase(char* buffer, int size, int /*writing*/, void* data) {
  auto& request = *static_cast<PassphraseRequest*>(data);
  if (!request.asked) {
    request.asked = true;
    try {  // nothing may be thrown through OpenSSL
      request.given = ReadPassphrase(request.passphrase, request.prompt, false);
    } catch (const std::exception& e) {
      request.problem = e.what();
    }
  }
  const std::string& text = request.passphrase.Text();
  if (!request.given || text.size() > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buffer, text.data(), text.size());
  return static_cast<int>(text.size());
}

bool IsP256(EVP_PKEY* key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
  char group[64] = {};
  size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group), &length) != 1) return false;
  return std::strcmp(group, "prime256v1") == 0 || std::strcmp(group, "P-256") == 0;
}

Bytes ParseHex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw ReleaseToolError("hexadecimal text has an odd number of digits");
  Bytes bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
      throw ReleaseToolError("not a hexadecimal digit in the public key");
    }
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

PrivateKey PublicKeyFromHex(const std::string& publicKeyHex) {
  if (publicKeyHex.size() != 128) throw ReleaseToolError("the public key must be 128 hexadecimal digits (X then Y)");
  Bytes point = ParseHex(publicKeyHex);
  point.insert(point.begin(), 0x04);  // uncompressed point
  std::unique_ptr<OSSL_PARAM_BLD, ParamBuildDeleter> build(OSSL_PARAM_BLD_new());
  if (!build || OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1) {
    RaiseOpenSsl("cannot build the public key");
  }
  std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(build.get()));
  std::unique_ptr<EVP_PKEY_CTX, PkeyContextDeleter> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    RaiseOpenSsl("the public key is not a point on P-256");
  }
  PrivateKey owned(key);
  // fromdata does not check the point; a key off the curve must not verify anything.
  std::unique_ptr<EVP_PKEY_CTX, PkeyContextDeleter> check(EVP_PKEY_CTX_new(key, nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) RaiseOpenSsl("the public key is not a point on P-256");
  return owned;
}

}  // namespace

void KeyDeleter::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }

PrivateKey GenerateP256Key() {
  EVP_PKEY* key = EVP_EC_gen("prime256v1");
  if (key == nullptr) RaiseOpenSsl("cannot generate a P-256 key");
  return PrivateKey(key);
}

PrivateKey LoadP256PrivateKey(const std::filesystem::path& pemPath) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new_file(pemPath.c_str(), "rb"));
  if (!bio) throw ReleaseToolError("cannot read the key file " + pemPath.string());
  PassphraseRequest request;
  request.prompt = "Passphrase of " + pemPath.string() + ": ";
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, ProvidePassphrase, &request);
  if (key == nullptr && !request.problem.empty()) throw ReleaseToolError(request.problem);
  if (key == nullptr && request.asked && !request.given) {
    ERR_clear_error();
    throw ReleaseToolError("the key file " + pemPath.string() + " is encrypted: set " + kPassphraseVariable +
                           " to its passphrase, or run from a terminal to be asked for it");
  }
  if (key == nullptr && request.asked) {
    ERR_clear_error();
    throw ReleaseToolError("cannot open the key file " + pemPath.string() + ": wrong passphrase");
  }
  if (key == nullptr) RaiseOpenSsl("the key file " + pemPath.string() + " holds no PEM private key");
  PrivateKey owned(key);
  if (!IsP256(key)) throw ReleaseToolError("the key in " + pemPath.string() + " is not a P-256 (prime256v1) EC key");
  return owned;
}

void WritePrivateKeyPem(const PrivateKey& key, const std::filesystem::path& pemPath, const std::string* passphrase) {
  std::unique_ptr<X509_SIG, SealedKeyDeleter> sealed;
  if (passphrase != nullptr) {
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, KeyInfoDeleter> info(EVP_PKEY2PKCS8(key.get()));
    unsigned char salt[kSaltLength];
    if (!info || RAND_bytes(salt, sizeof(salt)) != 1) RaiseOpenSsl("cannot seal the key");
    X509_ALGOR* scheme = PKCS5_pbe2_set_scrypt(EVP_aes_256_cbc(), salt, sizeof(salt), nullptr, kScryptCost,
                                               kScryptBlockSize, kScryptParallelism);
    if (scheme == nullptr) RaiseOpenSsl("cannot seal the key");
    sealed.reset(PKCS8_set0_pbe(passphrase->data(), static_cast<int>(passphrase->size()), info.get(), scheme));
    if (!sealed) {
      X509_ALGOR_free(scheme);  // only a sealed key takes it over
      RaiseOpenSsl("cannot seal the key");
    }
  }
  const int fd = ::open(pemPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) {
    throw ReleaseToolError("cannot create " + pemPath.string() + ": " + std::strerror(errno));
  }
  FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    throw ReleaseToolError("cannot write " + pemPath.string());
  }
  const bool written = sealed ? PEM_write_PKCS8(file, sealed.get()) == 1
                              : PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    std::filesystem::remove(pemPath);
    RaiseOpenSsl("cannot write " + pemPath.string());
  }
}

std::string PublicKeyHex(const PrivateKey& key) {
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x) != 1 ||
      EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y) != 1) {
    BN_free(x);
    RaiseOpenSsl("cannot read the public key");
  }
  Bignum ownedX(x);
  Bignum ownedY(y);
  unsigned char raw[64];
  if (BN_bn2binpad(x, raw, 32) != 32 || BN_bn2binpad(y, raw + 32, 32) != 32) RaiseOpenSsl("cannot encode the public key");
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (const unsigned char b : raw) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

Bytes SignRelease(const PrivateKey& key, const Bytes& data) {
  std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
  size_t derLength = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &derLength, data.data(), data.size()) != 1) {
    RaiseOpenSsl("cannot sign");
  }
  Bytes der(derLength);
  if (EVP_DigestSign(context.get(), der.data(), &derLength, data.data(), data.size()) != 1) RaiseOpenSsl("cannot sign");
  const unsigned char* cursor = der.data();
  std::unique_ptr<ECDSA_SIG, SignatureDeleter> signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
  if (!signature) RaiseOpenSsl("cannot decode the signature");
  Bytes raw(64);
  if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), raw.data(), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), raw.data() + 32, 32) != 32) {
    RaiseOpenSsl("cannot encode the signature");
  }
  return raw;
}

bool VerifyRelease(const std::string& publicKeyHex, const Bytes& data, const Bytes& signature) {
  const PrivateKey key = PublicKeyFromHex(publicKeyHex);
  if (signature.size() != 64) return false;
  std::unique_ptr<ECDSA_SIG, SignatureDeleter> parsed(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (!parsed || r == nullptr || s == nullptr || ECDSA_SIG_set0(parsed.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    RaiseOpenSsl("cannot decode the signature");
  }
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(parsed.get(), &der);
  if (derLength <= 0) RaiseOpenSsl("cannot encode the signature");
  std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
  const bool valid = context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
                     EVP_DigestVerify(context.get(), der, static_cast<size_t>(derLength), data.data(), data.size()) == 1;
  OPENSSL_free(der);
  ERR_clear_error();
  return valid;
}

std::vector<std::string> ParsePublicKeyList(const std::string& list) {
  const ReleaseToolError malformed("the public key list must be 1 to " + std::to_string(kMostTrustedKeys) +
                                   " keys of 128 hexadecimal digits, separated by commas");
  std::vector<std::string> keys;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = list.find(',', start);
    keys.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (keys.back().empty() || keys.size() > kMostTrustedKeys) throw malformed;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    try {
      PublicKeyFromHex(keys[i]);
    } catch (const ReleaseToolError& e) {
      throw ReleaseToolError("key " + std::to_string(i + 1) + " of the list: " + e.what());
    }
  }
  return keys;
}

std::string LowerHex(const unsigned char* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex.push_back(kDigits[data[i] >> 4]);
    hex.push_back(kDigits[data[i] & 0x0F]);
  }
  return hex;
}

std::string Sha256Hex(const Bytes& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw ReleaseToolError("SHA-256 failed");
  }
  return LowerHex(digest, length);
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ReleaseToolError("cannot read " + path.string());
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ReleaseToolError("cannot read " + path.string());
  return data;
}

void WriteFileBytes(const std::filesystem::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) throw ReleaseToolError("cannot write " + path.string());
}

}  // namespace tessaline::release
