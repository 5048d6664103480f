// The choice of one mode per process from the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessaline {

enum class SetupMode {
  UninstallWorker,
  CleanupWorker,
  UninstallLauncher,
  VerifyManifest,
  LifecycleProbe,
  UnattendedUpdate,
  Interactive,
  MissingArguments,  // a mode switch without the arguments it needs: exit code 2
};

struct ModeChoice {
  SetupMode mode = SetupMode::Interactive;
  bool quiet = false;
  std::uint32_t processId = 0;         // the two workers
  std::vector<std::wstring> operands;  // what follows the mode switch, as many as it takes
};

// `arguments` are the command-line elements after the program path. Switches
// match whole elements without regard to letter case; the modes are tried in
// a fixed order whatever their position on the command line.
ModeChoice SelectMode(const std::vector<std::wstring>& arguments);

// The split command line without element 0. The system's list is released
// before this returns.
std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine);

// Whether the raw command-line tail holds "--ui-preview" anywhere, letter
// case counting: a plain substring search, not an argument match.
bool HasUiPreviewSwitch(const wchar_t* commandTail);

}  // namespace tessaline
