// Whole-file reading and SHA-256 digests on the Windows cryptography API.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tessaline {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The whole file, opened so that others may read, write and delete it
// meanwhile. Raises SetupError "Unable to read a setup file" when it cannot be
// opened; a read error after that ends the data where it happened.
std::vector<std::uint8_t> ReadSetupFile(const std::filesystem::path& path);

// SHA-256 of one buffer below 4 GiB, hashed in a single call.
Sha256Digest Sha256(const void* data, std::size_t length);

// Two lower-case hexadecimal digits per byte, high nibble first.
std::string HexLower(const std::uint8_t* bytes, std::size_t length);
template <std::size_t N>
std::string HexLower(const std::array<std::uint8_t, N>& bytes) {
  return HexLower(bytes.data(), N);
}

// HexLower(Sha256(ReadSetupFile(path))).
std::string FileSha256Hex(const std::filesystem::path& path);

}  // namespace tessaline
