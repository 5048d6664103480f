// Writes the manifests and signatures that Setup's manifest-verification mode
// is tested against, signed with the test-only release key.
//   make-signature-fixtures --key tests/keys/test-only-release-key.pem
//                           --next-key tests/keys/test-only-next-release-key.pem --out DIR
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "release_signing.h"

namespace fs = std::filesystem;
using namespace tessaline::release;

namespace {

// The order n of the P-256 group, big-endian.
const Bytes kOrder = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                      0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// DER SEQUENCE { INTEGER r, INTEGER s } of a raw signature: what a generic
// signing tool emits.
Bytes ToDer(const Bytes& raw) {
  auto integer = [](const std::uint8_t* p) {
    Bytes v(p, p + 32);
    while (v.size() > 1 && v.front() == 0 && (v[1] & 0x80) == 0) v.erase(v.begin());
    if (v.front() & 0x80) v.insert(v.begin(), 0x00);
    v.insert(v.begin(), static_cast<std::uint8_t>(v.size()));
    v.insert(v.begin(), 0x02);
    return v;
  };
  Bytes body = integer(raw.data());
  const Bytes s = integer(raw.data() + 32);
  body.insert(body.end(), s.begin(), s.end());
  body.insert(body.begin(), static_cast<std::uint8_t>(body.size()));
  body.insert(body.begin(), 0x30);
  return body;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path keyPath;
  fs::path nextKeyPath;
  fs::path out;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--key") == 0) keyPath = argv[i + 1];
    if (std::strcmp(argv[i], "--next-key") == 0) nextKeyPath = argv[i + 1];
    if (std::strcmp(argv[i], "--out") == 0) out = argv[i + 1];
  }
  if (keyPath.empty() || nextKeyPath.empty() || out.empty()) {
    std::cerr << "usage: make-signature-fixtures --key KEY.pem --next-key KEY.pem --out DIR\n";
    return 2;
  }
  try {
    fs::create_directories(out);
    const PrivateKey key = LoadP256PrivateKey(keyPath);
    const Bytes manifest = Text(
        "{\"schemaVersion\":1,\"product\":\"Tessaline\",\"channel\":\"stable\",\"platform\":\"windows-x64\","
        "\"version\":\"1.0.0\"}");
    const Bytes signature = SignRelease(key, manifest);
    if (!VerifyRelease(PublicKeyHex(key), manifest, signature)) throw ReleaseToolError("self-check failed");

    WriteFileBytes(out / "manifest.json", manifest);
    WriteFileBytes(out / "manifest.json.sig", signature);

    Bytes changed = manifest;
    changed[changed.size() / 2] ^= 0x01;
    WriteFileBytes(out / "manifest-changed.json", changed);
    Bytes newline = manifest;
    newline.push_back('\n');
    WriteFileBytes(out / "manifest-newline.json", newline);

    WriteFileBytes(out / "empty.json", {});
    WriteFileBytes(out / "empty.json.sig", SignRelease(key, {}));

    WriteFileBytes(out / "sig-0.bin", {});
    WriteFileBytes(out / "sig-63.bin", Bytes(signature.begin(), signature.end() - 1));
    Bytes longer = signature;
    longer.push_back(0);
    WriteFileBytes(out / "sig-65.bin", longer);
    Bytes padded = signature;
    padded.resize(72, 0);
    WriteFileBytes(out / "sig-72.bin", padded);
    WriteFileBytes(out / "sig-der.bin", ToDer(signature));

    Bytes rAtOrder = signature;
    std::copy(kOrder.begin(), kOrder.end(), rAtOrder.begin());
    WriteFileBytes(out / "sig-r-order.bin", rAtOrder);
    Bytes sAtOrder = signature;
    std::copy(kOrder.begin(), kOrder.end(), sAtOrder.begin() + 32);
    WriteFileBytes(out / "sig-s-order.bin", sAtOrder);
    Bytes sAllOnes = signature;
    std::fill(sAllOnes.begin() + 32, sAllOnes.end(), 0xFF);
    WriteFileBytes(out / "sig-s-max.bin", sAllOnes);

    // The key a change of keys moves to, which the test build trusts too.
    WriteFileBytes(out / "manifest.json.next-key.sig", SignRelease(LoadP256PrivateKey(nextKeyPath), manifest));
    const PrivateKey other = GenerateP256Key();
    WriteFileBytes(out / "sig-other-key.bin", SignRelease(other, manifest));
  } catch (const std::exception& e) {
    std::cerr << "make-signature-fixtures: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
