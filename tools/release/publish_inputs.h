// Checks of what the maker hands to `publish`, made before anything is
// written. Each check either returns the value in the form publish uses or
// throws ReleaseToolError with a message that says what to change.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tessaline::release {

// Setup hashes a part and the assembled package in one call whose length is
// a 32-bit count, so neither may be larger than this.
inline constexpr std::uint64_t kLargestVerifiableFile = 0xFFFFFFFFull;

inline constexpr std::uint64_t kDefaultPartSize = 64ull * 1024 * 1024;

// Setup downloads the Setup a release names into storage bounded by memory
// and by the signed size, and refuses one larger than this before it reads a
// byte; the limit here is the Windows side's, so publish never writes a
// release whose Setup no Setup would fetch.
inline constexpr std::uint64_t kLargestSetupFile = 64ull * 1024 * 1024;

// The version must pass Setup's own grammar and must be usable verbatim as a
// Windows folder name (Setup's installer cache), inside the package file name
// and inside a part URL: build metadata after '+' is not checked by the
// grammar, so it is checked here.
void CheckReleaseVersion(std::string_view version);

// The size of the Setup to publish: a regular file of 1 to kLargestSetupFile bytes.
std::uint64_t CheckSetupFile(const std::filesystem::path& setup);

// Tessaline-<version>-windows-x64.tar.gz, for a version CheckReleaseVersion accepts.
std::string PackageFileName(std::string_view version);

// A decimal byte count from 1 to kLargestVerifiableFile.
std::uint64_t ParsePartSize(std::string_view text);

struct PackageBaseUrl {
  std::string url;   // as given; part URLs are url + part name
  std::string path;  // its path without the leading '/', empty for the host's root
};

// An absolute https:// URL with a host, ending in '/', whose path can be laid
// out as folders under the package host's site folder.
PackageBaseUrl ParsePackageBaseUrl(std::string_view text);

}  // namespace tessaline::release
