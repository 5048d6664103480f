// The user's update task, against the prefix's real Task Scheduler.
//
// Wine 8 keeps a definition's settings and registration info and nothing of
// its triggers, principal and actions: it stores "<Triggers/>", an empty
// <Principal> and no <Exec> whatever it was given, and it cannot make a logon
// or a time trigger through the object model at all (E_NOTIMPL). So the
// registered task is checked for what the scheduler kept, and the rest in the
// definition Setup hands it.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/current_user.h"
#include "common/setup_error.h"
#include "common/unique_handle.h"
#include "winintegration/update_task.h"
#include "xml_fields.h"

namespace tessaline {
namespace {

using Microsoft::WRL::ComPtr;
using testing::ReadXml;
using testing::XmlFields;
namespace fs = std::filesystem;

TEST(UpdateTaskXml, RunsTheGivenSetupAtLogonAndEveryFourHoursAsTheUserUnelevated) {
  using namespace std::chrono;
  // Characters XML must escape, and some outside the ANSI code page. Wine's
  // reader takes a bare '&' as text, where Windows' refuses the document; a
  // name that reads like an entity shows a missing escape under Wine too.
  const fs::path setup = L"C:\\Users\\Zo\u00eb O'Brien \u674e\\AppData\\Local\\Programs\\Quorvant & R&amp;D\\"
                         L"Tessaline\\TessalineSetup.exe";
  const std::wstring account = L"WORKGROUP\\Zo\u00eb O'Brien & R&amp;D \u674e";
  // The last evening of a year: the first periodic run falls into the next.
  const XmlFields task = ReadXml(UpdateTaskXml(setup, account, sys_days{2026y / December / 31} + 22h + 30min + 15s));
  ASSERT_TRUE(task.read);

  EXPECT_EQ(task.Children(L"Task/Actions"), std::set<std::wstring>{L"Exec"});
  EXPECT_EQ(task.Count(L"Task/Actions/Exec"), 1);
  EXPECT_EQ(task[L"Task/Actions/Exec/Command"], setup.native());
  EXPECT_EQ(task[L"Task/Actions/Exec/Arguments"], L"--update");

  EXPECT_EQ(task.Children(L"Task/Triggers"), (std::set<std::wstring>{L"LogonTrigger", L"TimeTrigger"}));
  EXPECT_EQ(task.Count(L"Task/Triggers/LogonTrigger"), 1);
  EXPECT_EQ(task[L"Task/Triggers/LogonTrigger/UserId"], account);  // this user's logon, not anyone's
  EXPECT_EQ(task[L"Task/Triggers/LogonTrigger/Delay"], L"PT5M");
  EXPECT_EQ(task.Count(L"Task/Triggers/TimeTrigger"), 1);
  EXPECT_EQ(task[L"Task/Triggers/TimeTrigger/StartBoundary"], L"2027-01-01T02:30:15Z");
  EXPECT_EQ(task[L"Task/Triggers/TimeTrigger/Repetition/Interval"], L"PT4H");
  EXPECT_EQ(task.Children(L"Task/Triggers/TimeTrigger/Repetition"), std::set<std::wstring>{L"Interval"})
      << "a Duration or a StopAtDurationEnd would end the repetition";
  EXPECT_EQ(task[L"Task/Triggers/TimeTrigger/EndBoundary"], L"<absent>");
  EXPECT_EQ(task[L"Task/Triggers/TimeTrigger/RandomDelay"], L"PT1H");

  EXPECT_EQ(task.Count(L"Task/Principals/Principal"), 1);
  EXPECT_EQ(task[L"Task/Principals/Principal/UserId"], account);
  EXPECT_EQ(task[L"Task/Principals/Principal/LogonType"], L"InteractiveToken");
  EXPECT_EQ(task[L"Task/Principals/Principal/RunLevel"], L"LeastPrivilege");
  EXPECT_EQ(task[L"Task/Actions@Context"], task[L"Task/Principals/Principal@id"]);
  // Wine reads every other policy as IgnoreNew, so only here can it show.
  EXPECT_EQ(task[L"Task/Settings/MultipleInstancesPolicy"], L"IgnoreNew");
}

UniqueBstr Bstr(const std::wstring& text) { return UniqueBstr(SysAllocString(text.c_str())); }

ComPtr<ITaskFolder> RootTaskFolder() {
  ComPtr<ITaskService> service;
  ComPtr<ITaskFolder> root;
  const VARIANT none{};
  if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&service))) ||
      FAILED(service->Connect(none, none, none, none)) || FAILED(service->GetFolder(Bstr(L"\\").Get(), &root))) {
    throw std::runtime_error("cannot reach the Task Scheduler");
  }
  return root;
}

// The registered definition of task `name`; empty when there is none.
std::wstring StoredXml(const std::wstring& name) {
  ComPtr<IRegisteredTask> task;
  UniqueBstr xml;
  if (FAILED(RootTaskFolder()->GetTask(Bstr(name).Get(), &task)) || FAILED(task->get_Xml(xml.Put()))) return {};
  return xml.Get();
}

// Tessaline's tasks in the root folder: one file each where Wine (and
// Windows) keep the definitions.
std::set<std::wstring> TessalineTasks() {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  std::set<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(fs::path(system) / L"Tasks")) {
    if (entry.path().filename().native().rfind(L"Tessaline", 0) == 0) names.insert(entry.path().filename());
  }
  return names;
}

// A task whose every setting differs from the update task's.
void RegisterStaleTask(const std::wstring& name) {
  const VARIANT none{};
  ASSERT_EQ(RootTaskFolder()->RegisterTask(
                Bstr(name).Get(),
                Bstr(L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
                     L"<RegistrationInfo><Author>Someone else</Author></RegistrationInfo><Settings>"
                     L"<DisallowStartIfOnBatteries>true</DisallowStartIfOnBatteries>"
                     L"<StopIfGoingOnBatteries>true</StopIfGoingOnBatteries>"
                     L"<StartWhenAvailable>false</StartWhenAvailable>"
                     L"<RunOnlyIfNetworkAvailable>false</RunOnlyIfNetworkAvailable>"
                     L"<AllowStartOnDemand>false</AllowStartOnDemand><Enabled>false</Enabled>"
                     L"<ExecutionTimeLimit>PT72H</ExecutionTimeLimit></Settings></Task>")
                    .Get(),
                TASK_CREATE, none, none, TASK_LOGON_INTERACTIVE_TOKEN, none, nullptr),
            S_OK);
}

// What the scheduler kept of the update task `name`.
void ExpectUpdateTaskSettings(const std::wstring& name) {
  const XmlFields stored = ReadXml(StoredXml(name));
  ASSERT_TRUE(stored.read);
  EXPECT_EQ(stored[L"Task/RegistrationInfo/Author"], L"Quorvant Inc.");
  EXPECT_EQ(stored[L"Task/Settings/DisallowStartIfOnBatteries"], L"false");
  EXPECT_EQ(stored[L"Task/Settings/StopIfGoingOnBatteries"], L"false");
  EXPECT_EQ(stored[L"Task/Settings/StartWhenAvailable"], L"true");
  EXPECT_EQ(stored[L"Task/Settings/RunOnlyIfNetworkAvailable"], L"true");
  EXPECT_EQ(stored[L"Task/Settings/AllowStartOnDemand"], L"true");
  EXPECT_EQ(stored[L"Task/Settings/Enabled"], L"true");
  EXPECT_EQ(stored[L"Task/Settings/ExecutionTimeLimit"], L"PT1H");
}

// The message of the SetupError `step` raises; empty when it succeeds.
std::string FailureOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const SetupError& e) {
    return e.what();
  }
  return {};
}

// The user's task replaces a stale one of its name in place, leaves another
// user's alone, and goes; removing it again is fine. Without COM on the
// calling thread, both say so.
TEST(UpdateTask, IsTheUsersOwnReplacedInPlaceAndRemoved) {
  const ComInitialization com(COINIT_APARTMENTTHREADED);
  const std::wstring name = L"Tessaline Update " + CurrentUserSid("no SID");
  const std::wstring otherUsers = L"Tessaline Update S-1-5-21-1004336348-1177238915-682003330-1001";
  for (const std::wstring& task : {name, otherUsers}) RootTaskFolder()->DeleteTask(Bstr(task).Get(), 0);
  RegisterStaleTask(name);
  RegisterStaleTask(otherUsers);
  const fs::path setup = L"C:\\users\\someone\\AppData\\Local\\Programs\\Quorvant\\Tessaline\\TessalineSetup.exe";

  ASSERT_EQ(FailureOf([&] { RegisterUpdateTask(setup); }), "");
  ExpectUpdateTaskSettings(name);
  EXPECT_EQ(TessalineTasks(), (std::set<std::wstring>{name, otherUsers}));
  EXPECT_EQ(ReadXml(StoredXml(otherUsers))[L"Task/Settings/ExecutionTimeLimit"], L"PT72H");
  ASSERT_EQ(FailureOf([&] { RegisterUpdateTask(setup); }), "");  // the next update registers it again
  ExpectUpdateTaskSettings(name);
  EXPECT_EQ(TessalineTasks(), (std::set<std::wstring>{name, otherUsers}));

  ASSERT_EQ(FailureOf(RemoveUpdateTask), "");
  EXPECT_EQ(StoredXml(name), L"");
  EXPECT_EQ(TessalineTasks(), std::set<std::wstring>{otherUsers});
  EXPECT_EQ(FailureOf(RemoveUpdateTask), "");
  RootTaskFolder()->DeleteTask(Bstr(otherUsers).Get(), 0);

  std::string registering, removing;
  std::thread([&] {
    registering = FailureOf([&] { RegisterUpdateTask(setup); });
    removing = FailureOf(RemoveUpdateTask);
  }).join();
  EXPECT_EQ(registering, "Unable to schedule Tessaline updates (starting the Task Scheduler's interface: 0x800401F0)");
  EXPECT_EQ(removing,
            "Unable to remove the scheduled Tessaline updates (starting the Task Scheduler's interface: 0x800401F0)");
  EXPECT_EQ(StoredXml(name), L"");
}

}  // namespace
}  // namespace tessaline
