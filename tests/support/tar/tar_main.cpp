// A stand-in for the system's tar.exe where the system has none: extracts a
// gzip-compressed tar archive, carefully, and nothing else.
// Exit codes: 0 extracted, 1 refused or failed (reason on stderr), 2 usage.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "extract_error.h"
#include "extractor.h"
#include "tar_arguments.h"

namespace {

// Windows' own tar.exe has a narrow main: its arguments arrive in the ANSI
// code page, so a character outside it reaches the program already replaced
// (by '?' or a look-alike). Wine would hand a wmain the exact UTF-16 text;
// reading them narrow, as Windows does, keeps the bench from forgiving a
// Setup that passes such paths.
std::wstring FromAnsi(const char* argument) {
  const int length = static_cast<int>(std::strlen(argument));
  if (length == 0) return {};
  const int needed = MultiByteToWideChar(CP_ACP, 0, argument, length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(needed > 0 ? needed : 0), L'\0');
  if (needed > 0) MultiByteToWideChar(CP_ACP, 0, argument, length, wide.data(), needed);
  return wide;
}

void PrintError(const std::string& line) {
  const std::string text = "tar: " + line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(FromAnsi(argv[i]));
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
