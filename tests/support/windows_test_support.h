// Helpers shared by the Windows tests: where things are, running a process,
// scratch folders.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/unique_handle.h"

namespace tessaline::testing {

inline std::filesystem::path TestExecutableFolder() {
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path();
}

inline std::filesystem::path SetupExecutable() { return TestExecutableFolder() / L"TessalineSetup.exe"; }

// A process the test starts and does not wait for; ended when the test is.
// `flags` are CreateProcessW's (CREATE_SUSPENDED: it runs at Resume());
// `environment`, when given, is the whole environment block, "NAME=value"
// strings each ended by a zero, the block by one more.
class StartedProcess {
 public:
  StartedProcess(const std::filesystem::path& program, const std::vector<std::wstring>& arguments, DWORD flags = 0,
                 const std::wstring* environment = nullptr) {
    std::wstring commandLine = QuoteCommandLineArgument(program.native());
    for (const std::wstring& argument : arguments) commandLine += L" " + QuoteCommandLineArgument(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (environment != nullptr) flags |= CREATE_UNICODE_ENVIRONMENT;
    void* block = environment != nullptr ? const_cast<wchar_t*>(environment->c_str()) : nullptr;
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, block, nullptr,
                        &startup, &info)) {
      throw std::runtime_error("cannot start " + program.string() + ": CreateProcessW failed: " +
                               std::to_string(GetLastError()));
    }
    process_.Reset(info.hProcess);
    thread_.Reset(info.hThread);
    id_ = info.dwProcessId;
  }
  void Resume() const { ResumeThread(thread_.Get()); }
  HANDLE Handle() const { return process_.Get(); }
  ~StartedProcess() {
    if (process_ && !EndsWithin(std::chrono::milliseconds(0))) {
      TerminateProcess(process_.Get(), 99);
      WaitForSingleObject(process_.Get(), 5000);
    }
  }
  StartedProcess(StartedProcess&&) = default;
  StartedProcess& operator=(StartedProcess&&) = delete;

  DWORD Id() const { return id_; }
  bool EndsWithin(std::chrono::milliseconds limit) const {
    return WaitForSingleObject(process_.Get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  }
  DWORD ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(process_.Get(), &code);
    return code;
  }
  void Terminate(UINT code) const { TerminateProcess(process_.Get(), code); }

 private:
  UniqueHandle process_;
  UniqueHandle thread_;
  DWORD id_ = 0;
};

// The current folder of another 64-bit process, as its process parameters
// hold it; empty when they cannot be read.
inline std::wstring CurrentFolderOf(HANDLE process) {
  using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  const auto query =
      reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  struct {
    void* exitStatus;
    char* peb;
    void* other[4];
  } basic{};  // ProcessBasicInformation
  constexpr std::size_t kParametersInPeb = 0x20;
  constexpr std::size_t kCurrentFolderInParameters = 0x38;
  char* parameters = nullptr;
  struct {
    USHORT length;
    USHORT capacity;
    wchar_t* buffer;
  } folder{};  // UNICODE_STRING
  if (query == nullptr || query(process, 0, &basic, sizeof(basic), nullptr) != 0 ||
      !ReadProcessMemory(process, basic.peb + kParametersInPeb, &parameters, sizeof(parameters), nullptr) ||
      !ReadProcessMemory(process, parameters + kCurrentFolderInParameters, &folder, sizeof(folder), nullptr)) {
    return {};
  }
  std::wstring text(folder.length / sizeof(wchar_t), L'\0');
  if (!ReadProcessMemory(process, folder.buffer, text.data(), folder.length, nullptr)) return {};
  return text;
}

// Starts `program` with the arguments (each quoted), waits up to `timeout` and
// returns its exit code; a process still running then is killed and fails the
// caller with an exception.
inline DWORD RunProcess(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                        std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  const StartedProcess process(program, arguments);
  if (!process.EndsWithin(timeout)) throw std::runtime_error("process did not end in time");
  return process.ExitCode();
}

// A fresh folder under the temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    static int counter = 0;
    path_ = std::filesystem::path(temp) /
            (L"tessaline-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::wstring& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write a test file");
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Calls `visit` with every running process, in the system's snapshot order.
inline void ForEachProcess(const std::function<void(const PROCESSENTRY32W&)>& visit) {
  const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    visit(entry);
  }
}

// How many running processes `matches` picks, given each one's snapshot entry
// and full image path; with `end`, each of them is ended too.
inline int RunningProcesses(const std::function<bool(const PROCESSENTRY32W&, const std::wstring&)>& matches,
                            bool end = false) {
  int count = 0;
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    const UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
    wchar_t image[4096] = {};
    DWORD length = 4096;
    if (!process || !QueryFullProcessImageNameW(process.Get(), 0, image, &length)) return;
    if (WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0) return;  // ended, not yet gone
    if (!matches(entry, std::wstring(image, length))) return;
    ++count;
    if (end) {
      TerminateProcess(process.Get(), 1);
      WaitForSingleObject(process.Get(), 10000);
    }
  });
  return count;
}

}  // namespace tessaline::testing
