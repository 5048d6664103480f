// process-starter: starts a program as Setup starts its workers, for the
// tests that end a starter at any moment.
//   process-starter once PROGRAM [ARGUMENT...]   starts it and exits (1 when it cannot)
//   process-starter loop PROGRAM [ARGUMENT...]   starts it every 20 ms until ended
//   process-starter sleep MILLISECONDS [FILE]    the program to start: waits, then
//                                                writes FILE when given
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <string>

#include "common/command_line.h"
#include "common/helper_process.h"
#include "common/unique_handle.h"

using namespace tessaline;

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"sleep") == 0) {
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    if (argc >= 4) {
      const UniqueFile file(
          CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file) return 1;
    }
    return 0;
  }
  if (argc < 3 || (std::wcscmp(argv[1], L"once") != 0 && std::wcscmp(argv[1], L"loop") != 0)) {
    std::fputws(L"usage: process-starter once|loop PROGRAM [ARGUMENT...] | sleep MILLISECONDS [FILE]\n", stderr);
    return 2;
  }
  const std::filesystem::path program = argv[2];
  std::wstring commandLine = QuoteCommandLineArgument(program.native());
  for (int i = 3; i < argc; ++i) commandLine += L" " + QuoteCommandLineArgument(argv[i]);
  const std::filesystem::path folder = program.parent_path();
  if (std::wcscmp(argv[1], L"once") == 0) return StartIndependentProcess(program, commandLine, folder) ? 0 : 1;
  for (;;) {
    StartIndependentProcess(program, commandLine, folder);
    Sleep(20);
  }
}
