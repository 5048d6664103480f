// Handing the previous version's backup folder to a cleanup worker that
// deletes it once Setup has exited.
#pragma once

#include <filesystem>

namespace tessaline {

// Copies `setupCopy` to <temp>\TessalineCleanup-<pid>.exe and starts it as the
// cleanup worker for `backupFolder`. Best effort: a backup that stays is
// removed by the next run.
void CleanupLauncher(const std::filesystem::path& backupFolder, const std::filesystem::path& setupCopy);

}  // namespace tessaline
