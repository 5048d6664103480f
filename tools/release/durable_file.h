// Files a release site is made of, written so that a power cut after a
// rename finds the renamed file whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace tessaline::release {

// Creates `path` (which must not exist), writes `data` and flushes it to disk.
void WriteDurably(const std::filesystem::path& path, std::string_view data);
inline void WriteDurably(const std::filesystem::path& path, const std::vector<std::uint8_t>& data) {
  WriteDurably(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

// Flushes a folder's entries, so that renames within it survive a power cut.
// False with errno set when the system refuses.
bool SyncFolder(const std::filesystem::path& folder);

}  // namespace tessaline::release
