#include "winintegration/update_task.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string>
#include <string_view>

#include "common/current_user.h"
#include "common/setup_error.h"
#include "common/unique_handle.h"

namespace tessaline {
namespace {

using Microsoft::WRL::ComPtr;
using namespace std::chrono_literals;

// After a logon the desktop, its start-up programs and the user are all busy;
// a few minutes later a check costs nobody anything and is still early.
constexpr std::chrono::minutes kLogonDelay = 5min;
// Often enough that a fix reaches a machine left on all day within a working
// day, rarely enough that each installation asks the release service only a
// few times a day.
constexpr std::chrono::minutes kCheckInterval = 4h;
// Each periodic run starts up to this much later, at random, so that machines
// woken or booted at the same hour do not all ask the release service at once.
constexpr std::chrono::minutes kCheckSpread = 1h;
// An update on a working connection takes minutes; a run still going after
// this is stuck and is stopped, and the next run resumes what it downloaded.
constexpr std::chrono::minutes kRunTimeLimit = 1h;
// The first periodic run comes one interval after the registration: the
// installation or update that registers the task has just checked.
constexpr std::chrono::minutes kFirstCheckAfterRegistration = kCheckInterval;

constexpr char kRegisterFailure[] = "Unable to schedule Tessaline updates";
constexpr char kRemoveFailure[] = "Unable to remove the scheduled Tessaline updates";

// An XML duration in whole hours or minutes ("PT4H", "PT5M").
std::wstring Duration(std::chrono::minutes duration) {
  const auto minutes = duration.count();
  return minutes % 60 == 0 ? L"PT" + std::to_wstring(minutes / 60) + L"H" : L"PT" + std::to_wstring(minutes) + L"M";
}

// An XML date and time in UTC, to the second ("2027-01-01T02:30:15Z").
std::wstring UtcDateTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(time);
  const auto day = floor<days>(seconds);
  const year_month_day date{day};
  const hh_mm_ss clock{seconds - day};
  wchar_t text[32] = {};
  std::swprintf(text, std::size(text), L"%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

// Text as XML character data: a path or an account may hold '&' or '\''.
std::wstring Escaped(std::wstring_view text) {
  std::wstring escaped;
  for (const wchar_t c : text) {
    switch (c) {
      case L'&': escaped += L"&amp;"; break;
      case L'<': escaped += L"&lt;"; break;
      case L'>': escaped += L"&gt;"; break;
      case L'"': escaped += L"&quot;"; break;
      case L'\'': escaped += L"&apos;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

// Raises SetupError `failure` naming the step and the HRESULT.
void Check(HRESULT result, const char* failure, const char* step) {
  if (SUCCEEDED(result)) return;
  char code[16] = {};
  std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(result));
  throw SetupError(std::string(failure) + " (" + step + ": " + code + ")", static_cast<unsigned long>(result));
}

UniqueBstr Bstr(std::wstring_view text, const char* failure) {
  UniqueBstr owned(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
  if (!owned) Check(E_OUTOFMEMORY, failure, "allocating a string");
  return owned;
}

// A VARIANT argument that borrows `text`, whose owner frees it.
VARIANT StringArgument(const UniqueBstr& text) {
  VARIANT argument{};
  argument.vt = VT_BSTR;
  argument.bstrVal = text.Get();
  return argument;
}

struct TaskScheduler {
  ComPtr<ITaskService> service;
  ComPtr<ITaskFolder> root;
};

// The local Task Scheduler as this user, and its root folder.
TaskScheduler ConnectTaskScheduler(const char* failure) {
  TaskScheduler scheduler;
  Check(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&scheduler.service)),
        failure, "starting the Task Scheduler's interface");
  const VARIANT none{};  // VT_EMPTY: this computer, this user
  Check(scheduler.service->Connect(none, none, none, none), failure, "connecting to the Task Scheduler");
  Check(scheduler.service->GetFolder(Bstr(L"\\", failure).Get(), &scheduler.root), failure,
        "opening the root task folder");
  return scheduler;
}

std::wstring UpdateTaskName(const char* failure) { return L"Tessaline Update " + CurrentUserSid(failure); }

}  // namespace

std::wstring UpdateTaskXml(const std::filesystem::path& installedSetup, const std::wstring& account,
                           std::chrono::system_clock::time_point registeredAt) {
  const std::wstring user = Escaped(account);
  // Schema 1.2, which every Task Scheduler since Vista reads, holds all of
  // it. Without a working folder the task starts in System32, where every
  // mode of Setup works anyway. Not hidden: the user may see and turn off
  // what runs as them.
  return LR"(<?xml version="1.0" encoding="UTF-16"?>
<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">
  <RegistrationInfo>
    <Author>Quorvant Inc.</Author>
    <Description>Keeps Tessaline up to date for this user.</Description>
  </RegistrationInfo>
  <Triggers>
    <LogonTrigger>
      <UserId>)" + user + LR"(</UserId>
      <Delay>)" + Duration(kLogonDelay) + LR"(</Delay>
    </LogonTrigger>
    <TimeTrigger>
      <StartBoundary>)" + UtcDateTime(registeredAt + kFirstCheckAfterRegistration) + LR"(</StartBoundary>
      <Repetition>
        <Interval>)" + Duration(kCheckInterval) + LR"(</Interval>
      </Repetition>
      <RandomDelay>)" + Duration(kCheckSpread) + LR"(</RandomDelay>
    </TimeTrigger>
  </Triggers>
  <Principals>
    <Principal id="User">
      <UserId>)" + user + LR"(</UserId>
      <LogonType>InteractiveToken</LogonType>
      <RunLevel>LeastPrivilege</RunLevel>
    </Principal>
  </Principals>
  <Settings>
    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>
    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>
    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>
    <StartWhenAvailable>true</StartWhenAvailable>
    <RunOnlyIfNetworkAvailable>true</RunOnlyIfNetworkAvailable>
    <AllowStartOnDemand>true</AllowStartOnDemand>
    <Enabled>true</Enabled>
    <Hidden>false</Hidden>
    <ExecutionTimeLimit>)" + Duration(kRunTimeLimit) + LR"(</ExecutionTimeLimit>
  </Settings>
  <Actions Context="User">
    <Exec>
      <Command>)" + Escaped(installedSetup.native()) + LR"(</Command>
      <Arguments>--update</Arguments>
    </Exec>
  </Actions>
</Task>
)";
}

void RegisterUpdateTask(const std::filesystem::path& installedSetup) {
  const std::wstring name = UpdateTaskName(kRegisterFailure);
  const std::wstring account = CurrentUserAccount(kRegisterFailure);
  const TaskScheduler scheduler = ConnectTaskScheduler(kRegisterFailure);
  // One XML document rather than the definition's objects one by one: the
  // same definition either way on Windows, but Wine refuses logon and time
  // triggers made as objects, so only this way can the bench register it.
  ComPtr<ITaskDefinition> definition;
  Check(scheduler.service->NewTask(0, &definition), kRegisterFailure, "creating the task definition");
  const std::wstring xml = UpdateTaskXml(installedSetup, account, std::chrono::system_clock::now());
  Check(definition->put_XmlText(Bstr(xml, kRegisterFailure).Get()), kRegisterFailure, "reading the task definition");
  const UniqueBstr user = Bstr(account, kRegisterFailure);
  const VARIANT none{};  // no password: the task runs with the user's token while they are logged on
  ComPtr<IRegisteredTask> registered;
  Check(scheduler.root->RegisterTaskDefinition(Bstr(name, kRegisterFailure).Get(), definition.Get(),
                                               TASK_CREATE_OR_UPDATE, StringArgument(user), none,
                                               TASK_LOGON_INTERACTIVE_TOKEN, none, &registered),
        kRegisterFailure, "registering the task");
}

void RemoveUpdateTask() {
  const std::wstring name = UpdateTaskName(kRemoveFailure);
  const TaskScheduler scheduler = ConnectTaskScheduler(kRemoveFailure);
  const HRESULT result = scheduler.root->DeleteTask(Bstr(name, kRemoveFailure).Get(), 0);
  if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) {
    return;  // never registered, or already removed
  }
  Check(result, kRemoveFailure, "deleting the task");
}

}  // namespace tessaline
