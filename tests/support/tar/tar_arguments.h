// The one command shape this tar understands: extract one archive into one
// folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessaline::tar {

struct ExtractCommand {
  std::wstring archive;
  std::wstring target;
};

// Accepts -xf <archive>, -x -f <archive> or the old dashless xf <archive>,
// with -C <folder> before or after; nullopt for anything else.
std::optional<ExtractCommand> ParseTarArguments(const std::vector<std::wstring>& arguments);

}  // namespace tessaline::tar
