// The release manifest is trusted only through an ECDSA P-256 signature made
// with the maker's key, whose public half is built into Setup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaline {

inline constexpr std::size_t kSignatureLength = 64;  // r then s, 32 bytes each, big-endian

// Returns when `signature` is a valid signature of the SHA-256 of exactly
// `manifest` under the built-in key; raises SetupError otherwise.
void VerifyManifestSignature(const std::vector<std::uint8_t>& manifest, const std::vector<std::uint8_t>& signature);

}  // namespace tessaline
