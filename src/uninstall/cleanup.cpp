#include "uninstall/cleanup.h"

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/file_system.h"
#include "common/setup_error.h"
#include "common/unique_handle.h"
#include "installation/kept_folders.h"
#include "installation/leftovers.h"
#include "installation/temporary_items.h"
#include "winintegration/user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

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
  // Kept data that was not carried (the application wrote its first data
  // while the update ran) is the user's: the next Setup carries it.
  if (HoldsKeptData(backupFolder)) throw SetupError("Unable to remove the previous Tessaline version");

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
