// One run of the real TessalineSetup.exe in its window, for the end-to-end
// tests: start it, read its texts, wait for it to finish.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "install_test_support.h"
#include "ui_driver.h"

namespace tessaline::testing {

inline constexpr int kProgress = 101;
inline constexpr int kStatus = 102;
inline constexpr int kDetail = 103;
inline constexpr int kAction = 104;
inline constexpr int kCheckbox = 106;

inline std::filesystem::path ScreenshotFolder() { return TestExecutableFolder() / L"screenshots"; }

// One Setup process and its window.
class SetupRun {
 public:
  explicit SetupRun(const std::filesystem::path& program, const std::wstring& arguments = L"") {
    std::wstring commandLine = L"\"" + program.native() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info_)) {
      ADD_FAILURE() << "cannot start " << program << ": error " << GetLastError();
      return;
    }
    owner_ = UniqueProcessInformation(info_);
    WaitUntil([this] { return (window_ = FindProcessWindow(info_.dwProcessId, L"TessalineSetupWindow")) != nullptr ||
                              Ended(); });
    if (window_ == nullptr) FollowRelaunch();
  }
  ~SetupRun() {
    if (info_.hProcess == nullptr) return;
    if (!Ended()) TerminateProcess(info_.hProcess, 99);
  }
  SetupRun(const SetupRun&) = delete;
  SetupRun& operator=(const SetupRun&) = delete;

  HWND Window() const { return window_; }
  // Whether the Setup started went on in a temporary copy of itself.
  bool Relaunched() const { return relaunched_; }
  std::filesystem::path ImagePath() const {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    return QueryFullProcessImageNameW(info_.hProcess, 0, path, &size) ? std::filesystem::path(path) : std::filesystem::path();
  }
  DWORD ProcessId() const { return info_.dwProcessId; }
  std::wstring Text(int id) const { return ControlText(window_, id); }
  // The title and the description have no id: second and fourth child.
  std::wstring Title() const { return TextOf(Children(window_).at(1)); }
  std::wstring Description() const { return TextOf(Children(window_).at(3)); }
  bool Ended() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_OBJECT_0; }
  // As the Task Manager ends it: no chance to clean up.
  void Kill() const {
    TerminateProcess(info_.hProcess, 1);
    WaitForSingleObject(info_.hProcess, 10000);
  }
  bool WaitForFinish() {
    return WaitUntil([this] { const std::wstring b = Text(kAction); return b == L"Launch" || b == L"Close"; },
                     std::chrono::seconds(120));
  }
  DWORD ExitCode(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    if (WaitForSingleObject(info_.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return 0xDEAD;
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
  }
  // The most memory the process has held in RAM so far.
  SIZE_T PeakWorkingSet() const {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!K32GetProcessMemoryInfo(info_.hProcess, &counters, sizeof(counters))) {
      ADD_FAILURE() << "GetProcessMemoryInfo failed: " << GetLastError();
      return 0;
    }
    return counters.PeakWorkingSetSize;
  }
  void Picture(const std::wstring& name) const {
    std::filesystem::create_directories(ScreenshotFolder());
    SaveWindowPicture(window_, ScreenshotFolder() / (name + L".png"));
  }

 private:
  // A Setup that ended at once with 0 may have started itself again from a
  // temporary copy: the window is then that copy's.
  void FollowRelaunch() {
    DWORD code = 1;
    if (!GetExitCodeProcess(info_.hProcess, &code) || code != 0) return;
    DWORD child = 0;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
      if (entry.th32ParentProcessID == info_.dwProcessId) child = entry.th32ProcessID;
    });
    const HANDLE process = child != 0 ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, child) : nullptr;
    if (process == nullptr) return;
    owner_.process.Reset(process);
    info_.hProcess = process;
    info_.dwProcessId = child;
    relaunched_ = true;
    WaitUntil([this] { return (window_ = FindProcessWindow(info_.dwProcessId, L"TessalineSetupWindow")) != nullptr ||
                              Ended(); });
  }

  PROCESS_INFORMATION info_{};
  UniqueProcessInformation owner_;  // info_'s handles
  HWND window_ = nullptr;
  bool relaunched_ = false;
};

inline std::filesystem::path DownloadedSetup() { return SetupExecutable(); }

inline int BackupFolders() {
  int count = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(QuorvantProgramsFolder(), ignored)) {
    count += entry.path().filename().native().rfind(L".Tessaline-backup-", 0) == 0 ? 1 : 0;
  }
  return count;
}

// What lies in the Quorvant folder, two levels deep, and which programs run:
// for the message of a test that found a run's leftovers.
inline std::string DescribeLeftovers() {
  std::wstring text = L"in the Quorvant folder:";
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(QuorvantProgramsFolder(), ignored)) {
    text += L"\n  " + entry.path().filename().native();
    if (entry.path().filename() == L"Tessaline") continue;
    for (const auto& inner : std::filesystem::directory_iterator(entry.path(), ignored)) {
      text += L"\n    " + inner.path().filename().native();
    }
  }
  text += L"\nrunning:";
  ForEachProcess([&text](const PROCESSENTRY32W& process) {
    text += L" " + std::wstring(process.szExeFile) + L"(" + std::to_wstring(process.th32ProcessID) + L")";
  });
  return std::filesystem::path(text).string();
}

}  // namespace tessaline::testing
