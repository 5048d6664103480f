// The signed description of one release: its version, the package and the
// parts it is downloaded in. Parsed only after its signature has verified.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

struct PackagePart {
  std::string name;    // UTF-8 file name of the part in the installer cache
  std::uint64_t size = 0;
  std::string sha256;  // expected digest text, 64 characters
  std::wstring url;    // exactly as written in the manifest
};

struct ReleaseManifest {
  std::string version;   // UTF-8, validated as a version later
  std::string filename;  // UTF-8 file name of the assembled package
  std::uint64_t size = 0;
  std::string sha256;
  std::vector<PackagePart> parts;  // in manifest order
  // The map of the package's content-defined chunks, which lets an update
  // reuse the installed version's bytes; nothing when the manifest names
  // none or names one that breaks a part's rules (Setup then downloads whole
  // parts, as a Setup that knows no chunk map does).
  std::optional<PackagePart> chunkMap;
  // The release's own Setup, which the installation carries in place of the
  // Setup that installs it: a fix or a new trusted key reaches every user
  // with the next update. Nothing when the manifest names none.
  std::optional<PackagePart> setup;
  // Until when the signing holds (Unix seconds), and the number the maker
  // raises at every signing; nothing where the manifest names none.
  std::optional<std::int64_t> expires;
  std::optional<std::uint64_t> sequence;
};

// The largest Setup a release may bring: many times today's, and still
// small enough that a hostile size cannot fill the disk.
inline constexpr std::uint64_t kReleaseSetupLimit = 64 * 1024 * 1024;

// The largest chunk map Setup fetches: enough for a package of about 28 GiB.
inline constexpr std::uint64_t kChunkMapLimit = 16 * 1024 * 1024;

// Validates the manifest bytes exactly as they were verified. Raises
// SetupError with the manifest's messages, or the JSON library's own errors.
ReleaseManifest ParseReleaseManifest(const std::vector<std::uint8_t>& bytes);

// True when `name` is one plain file name: no folder separators, no drive
// prefix, not "." or "..", and nothing Windows would open as another file, a
// stream or a device. Raises only for invalid UTF-8.
bool IsSafeFileName(std::string_view name);

}  // namespace tessaline
