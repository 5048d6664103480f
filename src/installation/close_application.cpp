#include "installation/close_application.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace tessaline {
namespace {

constexpr DWORD kCloseWaitMs = 10000;
constexpr DWORD kTerminateWaitMs = 5000;

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

struct RunningCopy {
  DWORD id = 0;
  // Held from identification to the end: while it is open, the id cannot
  // pass to another program that would then be closed or ended instead.
  UniqueHandle process;
};

std::vector<RunningCopy> FindCopies(const std::wstring& target) {
  const std::wstring fileName = std::filesystem::path(target).filename().native();
  std::vector<RunningCopy> found;
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  std::wstring image(32768, L'\0');
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    if (!EqualsIgnoringAsciiCase(entry.szExeFile, fileName)) continue;
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID));
    if (!process) continue;
    DWORD length = static_cast<DWORD>(image.size());
    if (QueryFullProcessImageNameW(process.Get(), 0, image.data(), &length) &&
        EqualsIgnoringAsciiCase(std::wstring(image.data(), length), target)) {
      found.push_back(RunningCopy{entry.th32ProcessID, std::move(process)});
    }
  }
  return found;
}

BOOL CALLBACK PostCloseToWindowOf(HWND window, LPARAM processId) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(processId)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

bool CloseRunningApplication(const std::filesystem::path& executable) {
  const std::wstring target = executable.native();
  bool allEnded = true;
  for (const RunningCopy& copy : FindCopies(target)) {
    EnumWindows(PostCloseToWindowOf, static_cast<LPARAM>(copy.id));
    if (WaitForSingleObject(copy.process.Get(), kCloseWaitMs) == WAIT_TIMEOUT) {
      TerminateProcess(copy.process.Get(), 0);
      allEnded = WaitForSingleObject(copy.process.Get(), kTerminateWaitMs) == WAIT_OBJECT_0 && allEnded;
    }
  }
  return allEnded;
}

bool IsApplicationRunning(const std::filesystem::path& executable) { return !FindCopies(executable.native()).empty(); }

}  // namespace tessaline
