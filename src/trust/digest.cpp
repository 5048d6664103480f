#include "trust/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <climits>

#include "common/file_system.h"
#include "common/setup_error.h"

namespace tessaline {
namespace {

UniqueFile OpenSetupFile(const std::filesystem::path& path) {
  UniqueFile file = fsops::OpenForSharedReading(path);
  if (!file) throw SetupError("Unable to read a setup file");
  return file;
}

constexpr DWORD kChunk = 1U << 20;

}  // namespace

std::vector<std::uint8_t> ReadSetupFile(const std::filesystem::path& path) {
  const UniqueFile file = OpenSetupFile(path);

  // The file may still grow while it is read; read until the end it has now.
  // Room for the file and one more chunk: the read that finds the end must
  // not reallocate, which would hold the file in memory three times over.
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

Sha256Hasher::Sha256Hasher() {
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(provider_.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    throw SetupError("Windows SHA-256 is unavailable");
  }
  DWORD objectLength = 0;
  ULONG written = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(provider_.Get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                        sizeof(objectLength), &written, 0))) {
    throw SetupError("Windows SHA-256 is unavailable");
  }
  object_.assign(objectLength, 0);
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider_.Get(), hash_.Put(), object_.data(), objectLength, nullptr, 0, 0))) {
    throw SetupError("SHA-256 failed");
  }
}

void Sha256Hasher::Update(const void* data, std::size_t length) {
  // The hash takes a 32-bit length: a longer buffer goes in slices.
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (length > 0) {
    const ULONG slice = static_cast<ULONG>(std::min<std::size_t>(length, ULONG_MAX));
    if (!BCRYPT_SUCCESS(BCryptHashData(hash_.Get(), bytes, slice, 0))) throw SetupError("SHA-256 failed");
    bytes += slice;
    length -= slice;
  }
}

std::uint64_t Sha256Hasher::UpdateFromFile(const std::filesystem::path& path, std::uint64_t limit) {
  const UniqueFile file = OpenSetupFile(path);
  std::vector<std::uint8_t> buffer(kChunk);
  std::uint64_t fed = 0;
  while (fed < limit) {
    const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(kChunk, limit - fed));
    DWORD read = 0;
    if (!ReadFile(file.Get(), buffer.data(), wanted, &read, nullptr) || read == 0) break;
    Update(buffer.data(), read);
    fed += read;
  }
  return fed;
}

Sha256Digest Sha256Hasher::Finish() {
  Sha256Digest digest{};
  if (!BCRYPT_SUCCESS(BCryptFinishHash(hash_.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    throw SetupError("SHA-256 failed");
  }
  return digest;
}

Sha256Digest Sha256(const void* data, std::size_t length) {
  Sha256Hasher hasher;
  hasher.Update(data, length);
  return hasher.Finish();
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
  Sha256Hasher hasher;
  hasher.UpdateFromFile(path);
  return HexLower(hasher.Finish());
}

}  // namespace tessaline
