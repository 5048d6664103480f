#include "install/cleanup_launch.h"

#include <windows.h>

#include <string>

#include "common/command_line.h"
#include "common/file_system.h"
#include "common/helper_process.h"
#include "installation/temporary_items.h"

namespace fs = std::filesystem;

namespace tessaline {

void CleanupLauncher(const fs::path& backupFolder, const fs::path& setupCopy) {
  try {
    if (!fsops::Exists(backupFolder)) return;
    const fs::path copy =
        fs::temp_directory_path() / (kCleanupCopyPrefix + std::to_wstring(GetCurrentProcessId()) + L".exe");
    fsops::CopyFile(setupCopy, copy, fs::copy_options::overwrite_existing);
    const std::wstring commandLine = QuoteCommandLineArgument(copy.native()) + L" --cleanup-worker " +
                                     std::to_wstring(GetCurrentProcessId()) + L" " +
                                     QuoteCommandLineArgument(backupFolder.native());
    StartIndependentProcess(copy, commandLine, copy.parent_path());
  } catch (const std::exception&) {
    // The backup folder simply stays; the installation it follows succeeded.
  }
}

}  // namespace tessaline
