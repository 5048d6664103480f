#include "common/helper_process.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "common/command_line.h"
#include "common/setup_error.h"
#include "common/unique_handle.h"

namespace tessaline {

std::wstring RunSuffix() { return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()); }

namespace {

// A job that ends every process in it when its last handle closes; none
// when the system refuses one.
UniqueHandle CreateKillOnCloseJob() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job && !SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    job.Reset();
  }
  return job;
}

// One job holds every helper and ends them when Setup ends, however it ends:
// a Setup ended from Task Manager or by a crash must not leave the archive
// tool or the new version's self-test running, holding the staging folder
// that the next run removes. Setup never closes it; Windows does, at its end.
HANDLE SetupHelperJob() {
  static const HANDLE job = CreateKillOnCloseJob().Release();
  return job;
}

// Starts the program inside `jobs` from its first instruction, joining them
// in order, so that each job nests inside the one before it. Where the
// system cannot name the jobs at creation, the program starts suspended and
// joins them before it runs; a job it cannot join (a job of Setup's own that
// allows none inside it, or a second job before Windows 8, which cannot nest
// jobs) is left out. A hidden program gets no window, console or other. Of
// Setup's handles it inherits `standardInput` alone, as its standard input,
// when there is one.
bool StartInJobs(std::vector<HANDLE> jobs, const std::filesystem::path& program, std::vector<wchar_t>& commandLine,
                 const std::filesystem::path& workingFolder, bool hidden, HANDLE standardInput,
                 PROCESS_INFORMATION& info) {
  std::erase(jobs, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  DWORD flags = 0;
  if (hidden) {
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    flags = CREATE_NO_WINDOW;
  }
  const bool inherits = standardInput != nullptr;
  if (inherits) {
    startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = standardInput;
  }
  // One attempt with the jobs named, and one that joins them afterwards.
  for (const bool namingJobs : {true, false}) {
    if (namingJobs && jobs.empty()) continue;
    const DWORD count = (namingJobs ? 1 : 0) + (inherits ? 1 : 0);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    const bool listed = count > 0 && size != 0 && InitializeProcThreadAttributeList(attributes, count, 0, &size);
    if (count > 0 && !listed) continue;
    bool described = true;
    if (namingJobs) {
      described = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, jobs.data(),
                                            jobs.size() * sizeof(HANDLE), nullptr, nullptr);
    }
    if (described && inherits) {
      described = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &standardInput,
                                            sizeof(HANDLE), nullptr, nullptr);
    }
    startup.lpAttributeList = count > 0 ? attributes : nullptr;
    const DWORD creation = flags | (count > 0 ? EXTENDED_STARTUPINFO_PRESENT : 0) | (namingJobs ? 0 : CREATE_SUSPENDED);
    const bool started = described && CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherits,
                                                     creation, nullptr, workingFolder.c_str(), &startup.StartupInfo, &info);
    const DWORD error = GetLastError();
    if (listed) DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    if (!started) continue;
    if (!namingJobs) {
      for (const HANDLE job : jobs) AssignProcessToJobObject(job, info.hProcess);
      ResumeThread(info.hThread);
    }
    return true;
  }
  return false;
}

// The helper's own job, inside Setup's, holds whatever the helper starts
// (the self-test may start processes): they end with it, on a time-out or
// when the job's handle closes.
struct StartedHelper {
  UniqueHandle job;
  UniqueHandle process;

  void End() const {
    if (job) TerminateJobObject(job.Get(), 1);
    TerminateProcess(process.Get(), 1);  // also when it could not join its job
  }
};

StartedHelper StartHelper(const std::filesystem::path& program, const std::wstring& arguments,
                          const std::filesystem::path& workingFolder, HANDLE standardInput) {
  const std::wstring text = QuoteCommandLineArgument(program.native()) + L" " + arguments;
  std::vector<wchar_t> commandLine(text.begin(), text.end());
  commandLine.push_back(L'\0');
  StartedHelper helper{CreateKillOnCloseJob(), {}};
  PROCESS_INFORMATION info{};
  if (!StartInJobs({SetupHelperJob(), helper.job.Get()}, program, commandLine, workingFolder, true, standardInput,
                   info)) {
    RaiseWindowsError("Unable to start installation helper");
  }
  helper.process.Reset(info.hProcess);
  UniqueHandle(info.hThread).Reset();
  return helper;
}

std::uint32_t ExitCodeOf(const StartedHelper& helper) {
  DWORD code = 0;
  GetExitCodeProcess(helper.process.Get(), &code);
  return code;
}

class PipeInput final : public HelperInput {
 public:
  PipeInput(HANDLE pipe, HANDLE process, std::atomic<std::uint64_t>& lastTaken, std::atomic<bool>& waitingOnSetup)
      : pipe_(pipe), process_(process), lastTaken_(lastTaken), waitingOnSetup_(waitingOnSetup) {}

  bool Failed() override {
    if (WaitForSingleObject(process_, kEndWaitMs) != WAIT_OBJECT_0) return true;
    DWORD code = 0;
    return !GetExitCodeProcess(process_, &code) || code != 0;
  }

  bool WaitWithoutLimit(const std::function<bool()>& wait) override {
    waitingOnSetup_.store(true);
    const auto restart = [this] {
      lastTaken_.store(GetTickCount64());
      waitingOnSetup_.store(false);
    };
    try {
      const bool result = wait();
      restart();
      return result;
    } catch (...) {
      restart();
      throw;
    }
  }

  bool Write(const void* data, std::size_t size) override {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0 && reading_) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, kPipeBufferSize));
      // Fails once the helper's end is closed: it ended, or was ended.
      reading_ = WriteFile(pipe_, bytes, chunk, &wrote, nullptr) != 0;
      lastTaken_.store(GetTickCount64());
      bytes += wrote;
      size -= wrote;
    }
    return reading_;
  }

  static constexpr DWORD kPipeBufferSize = 1 << 20;
  // How long a helper that was ended, or that stopped reading, may take to
  // be gone: a process held in a driver's I/O can take a while.
  static constexpr DWORD kEndWaitMs = 30000;

 private:
  HANDLE pipe_;
  HANDLE process_;
  std::atomic<std::uint64_t>& lastTaken_;
  std::atomic<bool>& waitingOnSetup_;
  bool reading_ = true;
};

}  // namespace

std::uint32_t RunInstallationHelper(const std::filesystem::path& program, const std::wstring& arguments,
                                    const std::filesystem::path& workingFolder, std::uint32_t timeoutMs) {
  const StartedHelper helper = StartHelper(program, arguments, workingFolder, nullptr);
  if (WaitForSingleObject(helper.process.Get(), timeoutMs) != WAIT_OBJECT_0) {
    helper.End();
    throw HelperTimedOut();
  }
  return ExitCodeOf(helper);
}

std::uint32_t RunInstallationHelperWithInput(const std::filesystem::path& program, const std::wstring& arguments,
                                             const std::filesystem::path& workingFolder,
                                             const std::function<void(HelperInput&)>& feed,
                                             std::uint32_t idleTimeoutMs) {
  UniqueHandle reading;
  UniqueHandle writing;
  if (!CreatePipe(reading.Put(), writing.Put(), nullptr, PipeInput::kPipeBufferSize) ||
      !SetHandleInformation(reading.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    RaiseWindowsError("Unable to start installation helper");
  }
  const StartedHelper helper = StartHelper(program, arguments, workingFolder, reading.Get());
  // Only the helper may hold the reading end: its writes fail once it ends.
  reading.Reset();

  // Ends a helper that has taken nothing for the time limit; runs until the
  // helper has ended, by itself or so.
  std::atomic<std::uint64_t> lastTaken{GetTickCount64()};
  std::atomic<bool> waitingOnSetup{false};
  std::atomic<bool> timedOut{false};
  const auto watch = [&] {
    while (WaitForSingleObject(helper.process.Get(), 250) == WAIT_TIMEOUT) {
      if (waitingOnSetup.load()) continue;
      const std::uint64_t last = lastTaken.load();
      const std::uint64_t now = GetTickCount64();
      if (now > last && now - last >= idleTimeoutMs) {
        timedOut.store(true);
        helper.End();
        WaitForSingleObject(helper.process.Get(), PipeInput::kEndWaitMs);
        return;
      }
    }
  };
  std::thread watchdog;
  try {
    watchdog = std::thread(watch);
    PipeInput input(writing.Get(), helper.process.Get(), lastTaken, waitingOnSetup);
    feed(input);
  } catch (...) {
    helper.End();
    writing.Reset();
    if (watchdog.joinable()) watchdog.join();
    throw;
  }
  // The end of the input, which the helper reads as the end of its data.
  writing.Reset();
  watchdog.join();
  if (timedOut.load()) throw HelperTimedOut();
  return ExitCodeOf(helper);
}

// CreateProcess makes the new process with its first thread suspended and
// lets it run only at its end. A Setup ended in between (from Task Manager,
// by a crash) would leave a worker that never runs and never ends, holding
// its copy of Setup. So the worker starts inside a job of its own that ends
// it should its starter end first; once it runs, the job lets it outlive
// Setup.
bool StartIndependentProcess(const std::filesystem::path& program, const std::wstring& commandLine,
                             const std::filesystem::path& workingFolder) {
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  const UniqueHandle guard = CreateKillOnCloseJob();
  PROCESS_INFORMATION info{};
  if (!StartInJobs({guard.Get()}, program, line, workingFolder, false, nullptr, info)) return false;
  UniqueHandle process(info.hProcess);
  UniqueHandle(info.hThread).Reset();
  if (!guard) return true;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (SetInformationJobObject(guard.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) return true;
  // Still bound to Setup's life: a worker that would die with it is no worker.
  const DWORD error = GetLastError();
  TerminateProcess(process.Get(), 1);
  SetLastError(error);
  return false;
}

}  // namespace tessaline
