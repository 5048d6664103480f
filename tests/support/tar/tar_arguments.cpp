#include "tar_arguments.h"

namespace tessaline::tar {
namespace {

// A cluster of single-letter options ("xf"): only x and f, with f last
// because it takes the next argument as its value.
bool ReadCluster(const std::wstring& letters, bool& extract, bool& wantsArchive) {
  if (letters.empty()) return false;
  for (std::size_t i = 0; i < letters.size(); ++i) {
    if (letters[i] == L'x') {
      extract = true;
    } else if (letters[i] == L'f' && i + 1 == letters.size() && !wantsArchive) {
      wantsArchive = true;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<ExtractCommand> ParseTarArguments(const std::vector<std::wstring>& arguments) {
  bool extract = false;
  std::optional<std::wstring> archive;
  std::optional<std::wstring> target;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    bool wantsArchive = false;
    if (argument == L"-C") {
      if (target || i + 1 == arguments.size()) return std::nullopt;
      target = arguments[++i];
      continue;
    }
    const bool dashed = argument.size() > 1 && argument[0] == L'-' && argument[1] != L'-';
    const bool oldStyle = i == 0 && !argument.empty() && argument[0] != L'-';
    if (!dashed && !oldStyle) return std::nullopt;
    if (!ReadCluster(dashed ? argument.substr(1) : argument, extract, wantsArchive)) return std::nullopt;
    if (wantsArchive) {
      if (archive || i + 1 == arguments.size()) return std::nullopt;
      archive = arguments[++i];
    }
  }
  if (!extract || !archive || !target || archive->empty() || target->empty()) return std::nullopt;
  return ExtractCommand{*archive, *target};
}

}  // namespace tessaline::tar
