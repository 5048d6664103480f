#include "entry/mode_selection.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <optional>

#include "common/unique_handle.h"

namespace tessaline {
namespace {

std::optional<std::size_t> FindSwitch(const std::vector<std::wstring>& arguments, const wchar_t* name) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (CompareStringOrdinal(arguments[i].c_str(), -1, name, -1, TRUE) == CSTR_EQUAL) return i;
  }
  return std::nullopt;
}

// Leading decimal digits; text that is not a number gives 0.
std::uint32_t ParseProcessId(const std::wstring& text) {
  return static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 10));
}

// The operands of the switch at `index`, or nullopt when fewer than `count` follow.
std::optional<std::vector<std::wstring>> Operands(const std::vector<std::wstring>& arguments, std::size_t index,
                                                  std::size_t count) {
  if (arguments.size() - index - 1 < count) return std::nullopt;
  const auto first = arguments.begin() + static_cast<std::ptrdiff_t>(index + 1);
  return std::vector<std::wstring>(first, first + static_cast<std::ptrdiff_t>(count));
}

}  // namespace

ModeChoice SelectMode(const std::vector<std::wstring>& arguments) {
  ModeChoice choice;
  choice.quiet = FindSwitch(arguments, L"--quiet").has_value();

  struct Rule {
    const wchar_t* name;
    SetupMode mode;
    std::size_t operands;
  };
  static constexpr Rule kRules[] = {
      {L"--uninstall-worker", SetupMode::UninstallWorker, 1},
      {L"--cleanup-worker", SetupMode::CleanupWorker, 2},
      {L"--uninstall", SetupMode::UninstallLauncher, 0},
      {L"--verify-manifest", SetupMode::VerifyManifest, 2},
      {L"--lifecycle-probe", SetupMode::LifecycleProbe, 3},
      {L"--update", SetupMode::UnattendedUpdate, 0},
  };
  for (const Rule& rule : kRules) {
    const std::optional<std::size_t> index = FindSwitch(arguments, rule.name);
    if (!index) continue;
    std::optional<std::vector<std::wstring>> operands = Operands(arguments, *index, rule.operands);
    if (!operands) {
      choice.mode = SetupMode::MissingArguments;
      return choice;
    }
    choice.mode = rule.mode;
    choice.operands = std::move(*operands);
    if (rule.mode == SetupMode::UninstallWorker || rule.mode == SetupMode::CleanupWorker) {
      choice.processId = ParseProcessId(choice.operands.front());
    }
    return choice;
  }
  choice.mode = SetupMode::Interactive;
  return choice;
}

std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine) {
  int count = 0;
  UniqueLocalMemory list(CommandLineToArgvW(commandLine, &count));
  std::vector<std::wstring> arguments;
  if (!list) return arguments;
  wchar_t** const elements = static_cast<wchar_t**>(list.Get());
  for (int i = 1; i < count; ++i) arguments.emplace_back(elements[i]);
  return arguments;
}

bool HasUiPreviewSwitch(const wchar_t* commandTail) {
  return commandTail != nullptr && std::wcsstr(commandTail, L"--ui-preview") != nullptr;
}

}  // namespace tessaline
