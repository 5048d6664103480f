#include "entry/setup_entry.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <exception>
#include <fstream>
#include <optional>

#include "common/command_line.h"
#include "common/file_system.h"
#include "common/helper_process.h"
#include "common/install_session.h"
#include "common/text_conversion.h"
#include "entry/mode_selection.h"
#include "install/install_worker.h"
#include "install/unattended_update.h"
#include "installation/temporary_items.h"
#include "trust/digest.h"
#include "trust/lifecycle.h"
#include "trust/signature.h"
#include "ui/setup_window.h"
#include "uninstall/cleanup.h"
#include "uninstall/uninstall.h"
#include "winintegration/user_folders.h"

namespace tessaline {
namespace {

// Windows refuses to rename a folder that holds a running program's image,
// so a Setup run from inside the installation (its TessalineSetup.exe,
// started by the application, the scheduled task or the user) could never
// move it aside. Such a Setup goes on from a temporary copy, as the
// uninstaller does: this copies itself there and returns the copy, or
// nothing when it runs from elsewhere or cannot be copied (it then goes on
// from where it is).
std::optional<std::filesystem::path> CopyAwayFromTheInstallation() {
  try {
    const std::wstring self = SetupExecutablePath().native();
    const std::wstring installation = UserApplicationFolder().native() + L"\\";
    if (self.size() <= installation.size() ||
        CompareStringOrdinal(self.c_str(), static_cast<int>(installation.size()), installation.c_str(),
                             static_cast<int>(installation.size()), TRUE) != CSTR_EQUAL) {
      return std::nullopt;
    }
    const std::filesystem::path copy = std::filesystem::temp_directory_path() /
                                       (kRelaunchCopyPrefix + std::to_wstring(GetCurrentProcessId()) + L".exe");
    fsops::CopyFile(self, copy, std::filesystem::copy_options::overwrite_existing);
    return copy;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The window goes on in the copy, and this process ends.
bool RelaunchedFromATemporaryCopy(const wchar_t* commandTail) {
  const std::optional<std::filesystem::path> copy = CopyAwayFromTheInstallation();
  if (!copy) return false;
  const std::wstring commandLine = QuoteCommandLineArgument(copy->native()) + L" " + commandTail;
  return StartIndependentProcess(*copy, commandLine, copy->parent_path());
}

// The update without a window. Its exit code is its report, so a run from
// the installation waits for the copy it goes on in and ends with its code:
// the task and the application see the real result. The copy ends with it.
int RunUnattendedUpdate() {
  if (const std::optional<std::filesystem::path> copy = CopyAwayFromTheInstallation()) {
    try {
      return static_cast<int>(RunInstallationHelper(*copy, L"--update", copy->parent_path(), INFINITE));
    } catch (const std::exception&) {
      // Not started: it goes on from here.
    }
  }
  InstallSession session;
  UnattendedUpdate host;
  InstallWorker(session, host);
  return host.ExitCode();
}

// Windows refuses to rename a folder that a process has as its current
// folder. A Setup that Tessaline starts inherits the installation folder
// (the Start-menu shortcut's working folder), and every update would then
// roll back; every mode works from System32 instead.
void LeaveTheStartingFolder() {
  wchar_t system[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH + 1);
  if (length > 0 && length <= MAX_PATH) SetCurrentDirectoryW(system);
}

int RunInteractiveMode(HINSTANCE instance, const wchar_t* commandTail, int showCommand) {
  const bool uiPreview = HasUiPreviewSwitch(commandTail);
  if (!uiPreview && RelaunchedFromATemporaryCopy(commandTail)) return 0;
  const ComInitialization com(COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&controls);

  SetupWindow window(uiPreview);
  if (!window.Create(instance, showCommand)) return 1;
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Tab, Space, Enter and Esc work as in a dialog.
    // The focus is shown once the keyboard is used, as Windows' own dialogs
    // do; Wine's dialog navigation does not say so by itself.
    if ((message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) && !window.ShowsFocusCues()) {
      SendMessageW(window.Handle(), WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    }
    if (IsDialogMessageW(window.Handle(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace

int RunManifestVerification(const std::wstring& manifestPath, const std::wstring& signaturePath) {
  const std::vector<std::uint8_t> manifest = ReadSetupFile(manifestPath);
  const std::vector<std::uint8_t> signature = ReadSetupFile(signaturePath);
  VerifyManifestSignature(manifest, signature);
  return 0;
}

int RunLifecycleProbe(const std::wstring& installed, const std::wstring& available, const std::wstring& outputPath) {
  std::string installedText = WideToUtf8(installed);
  const std::string availableText = WideToUtf8(available);
  if (installedText == "none") installedText.clear();

  // Validate before the output file is touched.
  const LifecycleDecision decision = DecideLifecycle(installedText, availableText);

  std::ofstream output(std::filesystem::path(outputPath), std::ios::binary | std::ios::trunc);
  if (!output) return 1;
  output << LifecycleActionText(decision.action) << '\n';
  output.close();
  return output.fail() ? 1 : 0;
}

int RunSetup(HINSTANCE instance, const wchar_t* commandTail, int showCommand) {
  try {
    ModeChoice choice = SelectMode(SplitCommandLine(GetCommandLineW()));
    // The check modes' files are named as the caller sees them.
    if (choice.mode == SetupMode::VerifyManifest) {
      for (std::wstring& file : choice.operands) file = std::filesystem::absolute(file).native();
    } else if (choice.mode == SetupMode::LifecycleProbe) {
      choice.operands[2] = std::filesystem::absolute(choice.operands[2]).native();
    }
    LeaveTheStartingFolder();
    switch (choice.mode) {
      case SetupMode::MissingArguments:
        return 2;
      case SetupMode::CleanupWorker:
        return CleanupWorker(choice.processId, choice.operands[1]);
      case SetupMode::UninstallWorker:
        return UninstallWorker(choice.processId, choice.quiet);
      case SetupMode::UninstallLauncher:
        return UninstallLauncher(choice.quiet);
      case SetupMode::VerifyManifest:
        return RunManifestVerification(choice.operands[0], choice.operands[1]);
      case SetupMode::LifecycleProbe:
        return RunLifecycleProbe(choice.operands[0], choice.operands[1], choice.operands[2]);
      case SetupMode::UnattendedUpdate:
        return RunUnattendedUpdate();
      case SetupMode::Interactive:
        return RunInteractiveMode(instance, commandTail, showCommand);
    }
  } catch (...) {
    // Setup has no console: the exit code is the only report of these modes.
  }
  return 1;
}

}  // namespace tessaline
