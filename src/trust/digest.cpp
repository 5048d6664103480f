#include "trust/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

#include "common/setup_error.h"
#include "common/unique_handle.h"

namespace tessaline {

std::vector<std::uint8_t> ReadSetupFile(const std::filesystem::path& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) throw SetupError("Unable to read a setup file");

  // The file may still grow while it is read; read until the end it has now.
  // Room for the file and one more chunk: the read that finds the end must
  // not reallocate, which would hold the file in memory three times over.
  constexpr DWORD kChunk = 1U << 20;
  std::vector<std::uint8_t> data;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0) {
    data.reserve(static_cast<std::size_t>(size.QuadPart) + kChunk);
  }
  std::size_t filled = 0;
  while (true) {
    data.resize(filled + kChunk);
    DWORD read = 0;
    if (!ReadFile(file.Get(), data.data() + filled, kChunk, &read, nullptr) || read == 0) break;
    filled += read;
  }
  data.resize(filled);
  return data;
}

Sha256Digest Sha256(const void* data, std::size_t length) {
  UniqueAlgorithmProvider provider;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(provider.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    throw SetupError("Windows SHA-256 is unavailable");
  }
  DWORD objectLength = 0;
  ULONG written = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(provider.Get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                        sizeof(objectLength), &written, 0))) {
    throw SetupError("Windows SHA-256 is unavailable");
  }
  // The hash takes a 32-bit length; a larger buffer would be hashed short.
  if (length > ULONG_MAX) throw SetupError("SHA-256 failed");

  std::vector<UCHAR> hashObject(objectLength, 0);
  Sha256Digest digest{};
  UniqueHash hash;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.Get(), hash.Put(), hashObject.data(), objectLength, nullptr, 0, 0)) ||
      !BCRYPT_SUCCESS(BCryptHashData(hash.Get(), static_cast<PUCHAR>(const_cast<void*>(data)),
                                     static_cast<ULONG>(length), 0)) ||
      !BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    throw SetupError("SHA-256 failed");
  }
  return digest;
}

std::string HexLower(const std::uint8_t* bytes, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::string FileSha256Hex(const std::filesystem::path& path) {
  const std::vector<std::uint8_t> content = ReadSetupFile(path);
  return HexLower(Sha256(content.data(), content.size()));
}

}  // namespace tessaline
