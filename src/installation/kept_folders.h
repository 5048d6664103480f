// The folders whose content belongs to the user and survives updates, and
// the folder moves that carry them and swap installations.
#pragma once

#include <chrono>
#include <filesystem>

namespace tessaline {

// The kept folders, relative to an installation folder, in the order handled.
inline constexpr const wchar_t* kPreservedFolders[] = {L"resources\\fennor\\bin\\accelerations",
                                                       L"resources\\fennor\\bin\\cache\\accelerations"};
inline constexpr std::size_t kPreservedFolderCount = std::size(kPreservedFolders);

// Whether kept folder `index` of `root` is a folder with entries. Raises a
// file-system failure ("status", "is_empty") on anything but "not found".
bool HasKeptData(const std::filesystem::path& root, std::size_t index);

// Whether any kept folder of `root` holds data; a folder that cannot be
// examined counts as holding data.
bool HoldsKeptData(const std::filesystem::path& root);

// Renames `from` to `to` with `flags`, retrying every 250 ms for `window`.
// Returns 0 once it succeeds, else the Windows error of the last attempt.
unsigned long TryMoveFor(const std::filesystem::path& from, const std::filesystem::path& to, unsigned long flags,
                         std::chrono::milliseconds window);

// How long every move of a folder is retried: a scanner, an indexer or a
// program just closed may hold a file in it for a while.
inline constexpr int kMoveWindowSeconds = 20;

// Renames `from` to `to`, retrying every 250 ms until `seconds` have passed.
void MoveWithRetry(const std::filesystem::path& from, const std::filesystem::path& to, int seconds);

// Renames a folder, creating the parents of `to` and retrying as
// MoveWithRetry does; "rename" on failure.
void MoveFolder(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace tessaline
