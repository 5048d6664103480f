// A stand-in for the system's tar.exe where the system has none: extracts a
// gzip-compressed tar archive, carefully, and nothing else.
// Exit codes: 0 extracted, 1 refused or failed (reason on stderr), 2 usage.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "extract_error.h"
#include "extractor.h"
#include "tar_arguments.h"

namespace {

void PrintError(const std::string& line) {
  const std::string text = "tar: " + line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::optional<tessaline::tar::ExtractCommand> command = tessaline::tar::ParseTarArguments(arguments);
  if (!command) {
    PrintError("usage: tar -xf <archive> -C <folder>");
    return 2;
  }
  try {
    tessaline::tar::ExtractArchive(command->archive, command->target);
    return 0;
  } catch (const std::exception& failure) {
    PrintError(failure.what());
    return 1;
  }
}
