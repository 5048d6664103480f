// The application package: a gzip-compressed tar of the application folder's
// contents (Tessaline.exe at the archive's top), which Windows' own tar.exe
// unpacks. Entries are sorted and carry fixed metadata (mtime 0, owner 0 and
// no owner names, modes 0755 for folders and 0644 for files), so the same
// folder always gives the same package bytes. The compressor starts afresh at
// every entry, so an unchanged file also gives the same bytes inside the
// package of a folder where other files changed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tessaline::release {

struct PackageEntry {
  std::filesystem::path source;  // on disk
  std::string archivePath;       // relative, '/'-separated, UTF-8
  bool isFolder = false;
  std::uint64_t size = 0;  // files only
};

struct PackageContents {
  std::vector<PackageEntry> entries;  // folders before their contents, names in byte order
  std::uint64_t fileCount = 0;
  std::uint64_t fileBytes = 0;
};

// Lists the folder for packing. Refuses a folder without a regular file
// Tessaline.exe at its top, symbolic links, special files, and names that
// Windows cannot create or would merge (reserved device names, forbidden
// characters, a trailing dot or space, names differing only in letter case,
// invalid UTF-8). Reads no file contents.
PackageContents ScanApplicationFolder(const std::filesystem::path& folder);

// Called after each file with the files and bytes packed so far.
using PackProgress = std::function<void(std::uint64_t files, std::uint64_t bytes)>;

// Writes the package to `package` (created or truncated) and flushes it to
// disk. Fails if a file's size changed since the scan.
void WritePackageArchive(const PackageContents& contents, const std::filesystem::path& package,
                         const PackProgress& progress);

// Why Windows cannot hold a file or folder of this name, or empty when it can.
std::string WindowsNameProblem(const std::string& name);

}  // namespace tessaline::release
