// Deleting the previous version's backup folder after Setup has exited, from
// a temporary copy of Setup that holds no file of the installation.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tessaline {

// Waits (bounded) for `launcherProcessId` to end, then removes `backupFolder`
// if it really is a backup folder of Setup. Exit code 0 when the folder is
// gone, 1 otherwise.
int CleanupWorker(std::uint32_t launcherProcessId, const std::filesystem::path& backupFolder);

}  // namespace tessaline
