// Deleting the previous version's backup folder after Setup has exited, from
// a temporary copy of Setup that holds no file of the installation.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tessaline {

// Copies `setupCopy` to <temp>\TessalineCleanup-<pid>.exe and starts it as the
// cleanup worker for `backupFolder`. Only the first existence test can fail
// towards the caller; everything after it is best effort.
void CleanupLauncher(const std::filesystem::path& backupFolder, const std::filesystem::path& setupCopy);

// Waits (bounded) for `launcherProcessId` to end, then removes `backupFolder`
// if it really is a backup folder of Setup. Exit code 0 when the folder is
// gone, 1 otherwise.
int CleanupWorker(std::uint32_t launcherProcessId, const std::filesystem::path& backupFolder);

// Schedules `executable` for deletion at the next restart of Windows, but
// only when it is a temporary copy (it lies in the temporary folder): a
// worker started by hand from a downloaded or installed Setup must not have
// that Setup deleted.
void ScheduleTemporaryCopyDeletion(const std::filesystem::path& executable);

// Whether `folder` is a backup folder directly inside `quorvantFolder`.
bool IsBackupFolderLocation(const std::filesystem::path& folder, const std::filesystem::path& quorvantFolder);

}  // namespace tessaline
