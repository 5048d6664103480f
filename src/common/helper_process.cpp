#include "helper_process.h"

#include <windows.h>

#include <vector>

#include "command_line.h"
#include "setup_error.h"
#include "unique_handle.h"

namespace tessaline {

std::wstring RunSuffix() { return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()); }

std::uint32_t RunInstallationHelper(const std::filesystem::path& program, const std::wstring& arguments,
                                    const std::filesystem::path& workingFolder, std::uint32_t timeoutMs) {
  const std::wstring text = QuoteCommandLineArgument(program.native()) + L" " + arguments;
  std::vector<wchar_t> commandLine(text.begin(), text.end());
  commandLine.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      workingFolder.c_str(), &startup, &info)) {
    RaiseWindowsError("Unable to start installation helper");
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle(info.hThread).Reset();

  if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.Get(), 1);
    throw SetupError("Installation helper timed out");
  }
  DWORD code = 0;
  GetExitCodeProcess(process.Get(), &code);
  return code;
}

}  // namespace tessaline
