#include "setup_entry.h"

#include <exception>
#include <fstream>

#include "cleanup.h"
#include "digest.h"
#include "lifecycle.h"
#include "mode_selection.h"
#include "signature.h"
#include "text_conversion.h"
#include "uninstall.h"

namespace tessaline {
namespace {

// The Setup window is not part of this build yet: the interactive mode fails
// with exit code 1.
int RunModeNotYetBuilt() { return 1; }

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
  (void)instance;
  (void)showCommand;
  try {
    const ModeChoice choice = SelectMode(SplitCommandLine(GetCommandLineW()));
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
      case SetupMode::Interactive:
        (void)HasUiPreviewSwitch(commandTail);
        return RunModeNotYetBuilt();
    }
  } catch (...) {
    // Setup has no console: the exit code is the only report of these modes.
  }
  return 1;
}

}  // namespace tessaline
