// Splitting the package into the parts Setup downloads, hashing each part and
// the whole package and cutting it into the chunks of its chunk map, in one
// streaming pass (a package can be gigabytes).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tessaline::release {

struct PackagePartFile {
  std::string name;
  std::uint64_t size = 0;
  std::string sha256;  // 64 lower-case hexadecimal digits
};

struct SplitPackage {
  std::uint64_t size = 0;
  std::string sha256;
  std::vector<PackagePartFile> parts;
  PackagePartFile chunkMap;  // "<package name>.chunks", beside the parts
};

// "<package name>.001" for index 1 of count; three digits, more when count needs them.
std::string PartFileName(const std::string& packageName, std::size_t index, std::size_t count);

// Called after each part with the parts and bytes done so far.
using SplitProgress = std::function<void(std::size_t partsDone, std::size_t partCount, std::uint64_t bytes)>;

// "<package name>.chunks".
std::string ChunkMapFileName(const std::string& packageName);

// Writes parts of `partSize` bytes (the last one shorter) and the package's
// chunk map (default chunker limits) into `folder`, flushed to disk. The
// package must not change meanwhile.
SplitPackage SplitPackageFile(const std::filesystem::path& package, const std::string& packageName,
                              std::uint64_t partSize, const std::filesystem::path& folder,
                              const SplitProgress& progress);

}  // namespace tessaline::release
