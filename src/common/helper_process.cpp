#include "common/helper_process.h"

#include <windows.h>

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
// jobs) is left out. A hidden program gets no window, console or other.
bool StartInJobs(std::vector<HANDLE> jobs, const std::filesystem::path& program, std::vector<wchar_t>& commandLine,
                 const std::filesystem::path& workingFolder, bool hidden, PROCESS_INFORMATION& info) {
  std::erase(jobs, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  DWORD flags = 0;
  if (hidden) {
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    flags = CREATE_NO_WINDOW;
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!jobs.empty() && size != 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
    const bool named = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, jobs.data(),
                                                 jobs.size() * sizeof(HANDLE), nullptr, nullptr);
    startup.lpAttributeList = attributes;
    const bool started = named && CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                                 flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, workingFolder.c_str(),
                                                 &startup.StartupInfo, &info);
    DeleteProcThreadAttributeList(attributes);
    if (started) return true;
  }
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags | CREATE_SUSPENDED, nullptr,
                      workingFolder.c_str(), &startup.StartupInfo, &info)) {
    return false;
  }
  for (const HANDLE job : jobs) AssignProcessToJobObject(job, info.hProcess);
  ResumeThread(info.hThread);
  return true;
}

}  // namespace

std::uint32_t RunInstallationHelper(const std::filesystem::path& program, const std::wstring& arguments,
                                    const std::filesystem::path& workingFolder, std::uint32_t timeoutMs) {
  const std::wstring text = QuoteCommandLineArgument(program.native()) + L" " + arguments;
  std::vector<wchar_t> commandLine(text.begin(), text.end());
  commandLine.push_back(L'\0');

  // The helper's own job, inside Setup's, holds whatever the helper starts
  // (the self-test may start processes): they end with it, on a time-out or
  // when this handle closes.
  const UniqueHandle helperJob = CreateKillOnCloseJob();
  PROCESS_INFORMATION info{};
  if (!StartInJobs({SetupHelperJob(), helperJob.Get()}, program, commandLine, workingFolder, true, info)) {
    RaiseWindowsError("Unable to start installation helper");
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle(info.hThread).Reset();

  if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
    if (helperJob) TerminateJobObject(helperJob.Get(), 1);
    TerminateProcess(process.Get(), 1);  // also when it could not join its job
    throw SetupError("Installation helper timed out");
  }
  DWORD code = 0;
  GetExitCodeProcess(process.Get(), &code);
  return code;
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
  if (!StartInJobs({guard.Get()}, program, line, workingFolder, false, info)) return false;
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
