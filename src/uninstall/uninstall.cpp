#include "uninstall.h"

#include <windows.h>

#include <filesystem>
#include <string>

#include "cleanup.h"
#include "command_line.h"
#include "file_system.h"
#include "helper_process.h"
#include "installation_leftovers.h"
#include "installation_lock.h"
#include "product_constants.h"
#include "setup_error.h"
#include "text_conversion.h"
#include "unique_handle.h"
#include "user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

constexpr DWORD kLauncherWaitMs = 30000;

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
      fs::temp_directory_path() / (L"TessalineUninstall-" + std::to_wstring(GetCurrentProcessId()) + L".exe");
  fsops::CopyFile(SetupExecutablePath(), copy, fs::copy_options::overwrite_existing);
  std::wstring text = QuoteCommandLineArgument(copy.native()) + L" --uninstall-worker " +
                      std::to_wstring(GetCurrentProcessId());
  if (quiet) text += L" --quiet";
  if (!StartIndependentProcess(copy, text, copy.parent_path())) {
    RaiseWindowsError("Unable to start the Tessaline uninstaller");
  }
}

void RemoveInstallation() {
  const fs::path installation = UserApplicationFolder();
  const fs::path quorvant = QuorvantProgramsFolder();
  if (installation.parent_path() != quorvant) throw SetupError("Unsafe Tessaline uninstall location");
  // Not while a Setup of this user installs; a Setup that died gives it up.
  InstallationLock lock;
  lock.Acquire(nullptr, {});
  RemoveStartMenuShortcut();
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath);
  // A link inside the installation must never lead the removal elsewhere.
  std::error_code error;
  fsops::RemoveTree(installation, error);
  if (error) throw SetupError("Unable to remove Tessaline: " + ErrorDescription(error));
  // What a killed run left: hidden copies of the application among them.
  RemoveInstallationLeftovers(quorvant, error);
  if (error) throw SetupError("Unable to remove Tessaline: " + ErrorDescription(error));
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
    RemoveInstallation();
  } catch (const std::exception& failure) {
    ShowFailure(failure, quiet);
    return 1;
  }
  if (!quiet) MessageBoxW(nullptr, L"Tessaline was removed from this computer.", L"Tessaline", MB_ICONINFORMATION);
  return 0;
}

}  // namespace tessaline
