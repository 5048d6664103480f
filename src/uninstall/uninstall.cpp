#include "uninstall/uninstall.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "common/command_line.h"
#include "common/file_system.h"
#include "common/helper_process.h"
#include "common/product_constants.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "installation/close_application.h"
#include "installation/installation_lock.h"
#include "installation/kept_folders.h"
#include "installation/leftovers.h"
#include "installation/temporary_items.h"
#include "winintegration/update_task.h"
#include "winintegration/user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

constexpr DWORD kLauncherWaitMs = 30000;
constexpr auto kMoveAsideWindow = std::chrono::seconds(5);
// Putting the folder back after a failure is retried as long as any move of
// the installation: until it is back, it lies under a name no Apps list entry
// points to.
constexpr auto kMoveBackWindow = std::chrono::seconds(kMoveWindowSeconds);
// A scanner that opens a file of the removed folder for a moment must not
// leave it behind; what stays longer, the next Setup removes.
constexpr auto kRemovalWindow = std::chrono::seconds(5);

// The user chose to keep Tessaline while the removal waited.
struct UninstallCancelled {};

void ShowFailure(const std::exception& failure, bool quiet) {
  if (quiet) return;
  std::wstring text;
  try {
    text = Utf8ToWide(failure.what());
  } catch (const std::exception&) {
    text = L"Tessaline could not be removed.";
  }
  MessageBoxW(nullptr, text.c_str(), L"Tessaline Uninstall", MB_ICONERROR);
}

void StartWorkerCopy(bool quiet) {
  const fs::path copy =
      fs::temp_directory_path() / (kUninstallCopyPrefix + std::to_wstring(GetCurrentProcessId()) + L".exe");
  fsops::CopyFile(SetupExecutablePath(), copy, fs::copy_options::overwrite_existing);
  std::wstring text = QuoteCommandLineArgument(copy.native()) + L" --uninstall-worker " +
                      std::to_wstring(GetCurrentProcessId());
  if (quiet) text += L" --quiet";
  if (!StartIndependentProcess(copy, text, copy.parent_path())) {
    RaiseWindowsError("Unable to start the Tessaline uninstaller");
  }
}

// The box an uninstall shows while another Setup holds the installation:
// Cancel keeps Tessaline. It is dismissed once the lock is taken, and on
// every way out.
class WaitingBox {
 public:
  WaitingBox() = default;
  WaitingBox(const WaitingBox&) = delete;
  WaitingBox& operator=(const WaitingBox&) = delete;
  ~WaitingBox() {
    if (!thread_.joinable()) return;
    // The box may not exist yet, or may already be gone.
    while (!gone_.load()) {
      EnumThreadWindows(
          threadId_.load(),
          [](HWND window, LPARAM) -> BOOL {
            PostMessageW(window, WM_COMMAND, IDOK, 0);
            return TRUE;
          },
          0);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    thread_.join();
  }

  void Show() {
    thread_ = std::thread([this] {
      threadId_ = GetCurrentThreadId();
      const int answer = MessageBoxW(nullptr,
                                     L"Waiting for another Tessaline Setup to finish\u2026\n\nTessaline will be "
                                     L"removed once it has finished. Choose Cancel to keep Tessaline.",
                                     L"Tessaline Uninstall", MB_OKCANCEL | MB_ICONINFORMATION);
      if (answer == IDCANCEL) cancelled_ = true;
      gone_ = true;
    });
  }
  const std::atomic<bool>* Cancelled() const { return &cancelled_; }

 private:
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> gone_{false};
  std::atomic<DWORD> threadId_{0};
  std::thread thread_;
};

// How long a quiet uninstall waits for another Setup of the user: longer
// than an installation stage takes, and every wait of a Setup on a server
// is bounded, so a holder still there by then is stuck.
constexpr auto kQuietLockWait = std::chrono::minutes(5);

// Takes the installation lock; false when the user chose to keep Tessaline.
// A quiet uninstall that cannot have it in time fails.
bool AcquireLock(InstallationLock& lock, bool quiet) {
  if (quiet) {
    if (lock.Acquire(nullptr, {}, kQuietLockWait)) return true;
    throw SetupError("Unable to remove Tessaline: another Tessaline Setup is still running");
  }
  WaitingBox box;
  // A Cancel that came as the lock was taken still counts.
  return lock.Acquire(box.Cancelled(), [&box] { box.Show(); }) && !box.Cancelled()->load();
}

// Everything of the installation goes, or nothing does: the folder is first
// moved aside in one rename, which fails while any file in it is in use, and
// only then do the shortcut and the registration entry go.
void RemoveInstallation(bool quiet) {
  const fs::path installation = UserApplicationFolder();
  const fs::path quorvant = QuorvantProgramsFolder();
  if (installation.parent_path() != quorvant) throw SetupError("Unsafe Tessaline uninstall location");
  // Not while a Setup of this user installs; a Setup that died gives it up.
  InstallationLock lock;
  if (!AcquireLock(lock, quiet)) throw UninstallCancelled();
  const fs::path executable = installation / L"Tessaline.exe";
  if (!CloseRunningApplication(executable) || IsApplicationRunning(executable)) {
    throw SetupError("Unable to remove Tessaline: Tessaline is running and could not be closed");
  }
  const fs::path removed = quorvant / (kRemovalPrefix + RunSuffix());
  if (fsops::Exists(installation)) {
    const unsigned long code = TryMoveFor(installation, removed, 0, kMoveAsideWindow);
    if (code != 0) throw SetupError("Unable to remove Tessaline: " + WindowsErrorDescription(code), code);
  }
  try {
    RemoveStartMenuShortcut();
    // Before the entry: a task left behind would start a Setup that is gone.
    // It is no reason to keep Tessaline, and the removal goes on without it.
    {
      const ComInitialization com(COINIT_APARTMENTTHREADED);
      try {
        RemoveUpdateTask();
      } catch (const std::exception&) {
      }
    }
    const LSTATUS deleted = RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath);
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
      throw SetupError("Unable to remove Tessaline: " + WindowsErrorDescription(static_cast<unsigned long>(deleted)));
    }
  } catch (...) {
    // The entry stays: the folder goes back under it, to try again. Should
    // even that fail, the next Setup puts it back while the entry exists.
    std::error_code ignored;
    if (fs::exists(removed, ignored)) TryMoveFor(removed, installation, 0, kMoveBackWindow);
    throw;
  }
  // Tessaline is removed: the Apps list has no entry to try again with. What
  // cannot be deleted now is a leftover that the next Setup removes.
  // A link inside the installation must never lead the removal elsewhere.
  const auto deadline = std::chrono::steady_clock::now() + kRemovalWindow;
  std::error_code error;
  while (fsops::RemoveTree(removed, error), error && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  // What a killed run left: hidden copies of the application among them.
  RemoveAllInstallationLeftovers(quorvant, error);
  fs::remove(ActivationJournalPath(quorvant), error);
  ScheduleTemporaryCopyDeletion(SetupExecutablePath());
}

}  // namespace

int UninstallLauncher(bool quiet) {
  if (!quiet && MessageBoxW(nullptr, L"Remove Tessaline from this computer?", L"Uninstall Tessaline",
                            MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return 0;
  }
  try {
    StartWorkerCopy(quiet);
  } catch (const std::exception& failure) {
    ShowFailure(failure, quiet);
    return 1;
  }
  return 0;
}

int UninstallWorker(std::uint32_t launcherProcessId, bool quiet) {
  {
    UniqueHandle launcher(OpenProcess(SYNCHRONIZE, FALSE, launcherProcessId));
    if (launcher) WaitForSingleObject(launcher.Get(), kLauncherWaitMs);
  }
  try {
    RemoveInstallation(quiet);
  } catch (const UninstallCancelled&) {
    return 1;
  } catch (const std::exception& failure) {
    ShowFailure(failure, quiet);
    return 1;
  }
  if (!quiet) MessageBoxW(nullptr, L"Tessaline was removed from this computer.", L"Tessaline", MB_ICONINFORMATION);
  return 0;
}

}  // namespace tessaline
