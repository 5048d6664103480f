// Small-file reading and SHA-256 digests on the Windows cryptography API.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace tessaline {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The whole file, opened so that others may read, write and delete it
// meanwhile. Raises SetupError "Unable to read a setup file" when it cannot be
// opened; a read error after that ends the data where it happened. For small
// files only (a manifest, a report): whatever is hashed goes through
// Sha256Hasher instead.
std::vector<std::uint8_t> ReadSetupFile(const std::filesystem::path& path);

// One SHA-256 fed piece by piece, so that a file or a download is hashed as
// its bytes pass and never held whole; no length limit. Raises SetupError
// "SHA-256 failed" (or "Windows SHA-256 is unavailable").
class Sha256Hasher {
 public:
  Sha256Hasher();
  void Update(const void* data, std::size_t length);
  // Feeds the file from its start through one fixed buffer, at most `limit`
  // bytes, opened and ended as ReadSetupFile does; returns the bytes fed.
  std::uint64_t UpdateFromFile(const std::filesystem::path& path,
                               std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());
  // Ends the hash; the hasher takes nothing after it.
  Sha256Digest Finish();

 private:
  UniqueAlgorithmProvider provider_;
  std::vector<UCHAR> object_;
  UniqueHash hash_;
};

// SHA-256 of one buffer.
Sha256Digest Sha256(const void* data, std::size_t length);

// Two lower-case hexadecimal digits per byte, high nibble first.
std::string HexLower(const std::uint8_t* bytes, std::size_t length);
template <std::size_t N>
std::string HexLower(const std::array<std::uint8_t, N>& bytes) {
  return HexLower(bytes.data(), N);
}

// The file's SHA-256 in HexLower, streamed; raises as ReadSetupFile does.
std::string FileSha256Hex(const std::filesystem::path& path);

}  // namespace tessaline
