#include "cleanup.h"

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "command_line.h"
#include "file_system.h"
#include "helper_process.h"
#include "setup_error.h"
#include "unique_handle.h"
#include "user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

constexpr wchar_t kBackupPrefix[] = L".Tessaline-backup-";
constexpr std::size_t kBackupPrefixLength = 18;
constexpr DWORD kLauncherWaitMs = 30000;
constexpr auto kRemovalWindow = std::chrono::seconds(30);
constexpr auto kRemovalPause = std::chrono::milliseconds(500);

void ScheduleOwnDeletion() {
  try {
    ScheduleTemporaryCopyDeletion(SetupExecutablePath());
  } catch (const std::exception&) {
    // Nothing to schedule when the own path cannot be read.
  }
}

void RemoveBackupFolder(const fs::path& backupFolder) {
  const fs::path quorvant = QuorvantProgramsFolder();
  if (!IsBackupFolderLocation(backupFolder, quorvant)) throw SetupError("Unsafe Tessaline cleanup location");

  const auto start = std::chrono::steady_clock::now();
  while (true) {
    std::error_code error;
    fsops::RemoveTree(backupFolder, error);
    if (!error || !fsops::Exists(backupFolder)) break;
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + kRemovalPause);
    if (std::chrono::steady_clock::now() >= start + kRemovalWindow) break;
  }
  if (fsops::Exists(backupFolder)) throw SetupError("Unable to remove the previous Tessaline version");
}

}  // namespace

void ScheduleTemporaryCopyDeletion(const fs::path& executable) {
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  if (error || temp / executable.filename() != executable) return;
  MoveFileExW(executable.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool IsBackupFolderLocation(const fs::path& folder, const fs::path& quorvantFolder) {
  if (folder.parent_path() != quorvantFolder) return false;
  const std::wstring name = folder.filename().native();
  return name.size() >= kBackupPrefixLength && name.compare(0, kBackupPrefixLength, kBackupPrefix) == 0;
}

void CleanupLauncher(const fs::path& backupFolder, const fs::path& setupCopy) {
  if (!fsops::Exists(backupFolder)) return;
  try {
    const fs::path temp = fs::temp_directory_path();
    const fs::path copy = temp / (L"TessalineCleanup-" + std::to_wstring(GetCurrentProcessId()) + L".exe");
    fsops::CopyFile(setupCopy, copy, fs::copy_options::overwrite_existing);
    const std::wstring commandLine = QuoteCommandLineArgument(copy.native()) + L" --cleanup-worker " +
                                     std::to_wstring(GetCurrentProcessId()) + L" " +
                                     QuoteCommandLineArgument(backupFolder.native());
    StartIndependentProcess(copy, commandLine, copy.parent_path());
  } catch (const std::exception&) {
    // The backup folder simply stays; the installation it follows succeeded.
  }
}

int CleanupWorker(std::uint32_t launcherProcessId, const fs::path& backupFolder) {
  {
    UniqueHandle launcher(OpenProcess(SYNCHRONIZE, FALSE, launcherProcessId));
    if (launcher) WaitForSingleObject(launcher.Get(), kLauncherWaitMs);
  }
  int code = 0;
  try {
    RemoveBackupFolder(backupFolder);
  } catch (const std::exception&) {
    code = 1;
  }
  ScheduleOwnDeletion();
  return code;
}

}  // namespace tessaline
