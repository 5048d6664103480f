// The cleanup worker as Setup starts it: a process given a launcher's id and
// a folder, which it deletes only when it is a backup folder of Setup.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>

#include "common/file_system.h"
#include "ui_driver.h"
#include "uninstall/cleanup.h"
#include "windows_test_support.h"
#include "winintegration/user_folders.h"

namespace tessaline {
namespace {

using testing::RunProcess;
using testing::SetupExecutable;
using testing::WriteBytes;

namespace fs = std::filesystem;

class CleanupWorkerProcess : public ::testing::Test {
 protected:
  fs::path quorvant = QuorvantProgramsFolder();

  fs::path MakeFolder(const fs::path& path) {
    fs::create_directories(path / L"resources");
    WriteBytes(path / L"Tessaline.exe", "old");
    WriteBytes(path / L"resources" / L"data.bin", "old data");
    return path;
  }
  DWORD Clean(const fs::path& folder, const std::wstring& processId = L"0") {
    return RunProcess(SetupExecutable(), {L"--cleanup-worker", processId, folder.native()});
  }
};

TEST_F(CleanupWorkerProcess, RemovesABackupFolderAndAnswersZeroWhenItIsGone) {
  const fs::path backup = MakeFolder(quorvant / L".Tessaline-backup-4242-1");
  EXPECT_EQ(Clean(backup), 0U);
  EXPECT_FALSE(fs::exists(backup));
  EXPECT_EQ(Clean(backup), 0U);  // already absent
  const fs::path bare = MakeFolder(quorvant / L".Tessaline-backup-");
  EXPECT_EQ(Clean(bare, L"not a number"), 0U);
  EXPECT_FALSE(fs::exists(bare));
}

TEST_F(CleanupWorkerProcess, DeletesNothingOutsideTheBackupFolders) {
  testing::ScratchFolder elsewhere;
  const fs::path outside = MakeFolder(elsewhere / L".Tessaline-backup-1-2");
  const fs::path installation = MakeFolder(UserApplicationFolder());
  const fs::path shortName = MakeFolder(quorvant / L".Tessaline-backup");
  const fs::path noDot = MakeFolder(quorvant / L"Tessaline-backup-1-2");
  const fs::path wrongCase = MakeFolder(quorvant / L".tessaline-backup-1-2");
  const fs::path nested = MakeFolder(quorvant / L".Tessaline-backup-1-2" / L"inner");
  for (const fs::path& folder : {outside, installation, shortName, noDot, wrongCase, nested}) {
    EXPECT_EQ(Clean(folder), 1U) << folder;
    EXPECT_TRUE(fs::exists(folder / L"resources" / L"data.bin")) << folder;
  }
  EXPECT_EQ(Clean(L"relative\\.Tessaline-backup-1"), 1U);
  EXPECT_EQ(Clean(quorvant / L".." / L"Quorvant" / L".Tessaline-backup-x"), 1U);
  EXPECT_EQ(RunProcess(SetupExecutable(), {L"--cleanup-worker", L"1"}), 2U);
  for (const fs::path& folder : {installation, shortName, noDot, wrongCase, nested.parent_path()}) {
    fs::remove_all(folder);
  }
}

TEST_F(CleanupWorkerProcess, WaitsForTheProcessThatStartedIt) {
  const fs::path backup = MakeFolder(quorvant / L".Tessaline-backup-wait");
  // A launcher that is still running: a process of our own that ends later.
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION launcher{};
  std::wstring commandLine = L"cmd.exe /c exit 0";
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                             &startup, &launcher));
  const UniqueProcessInformation launcherOwner(launcher);
  std::wstring workerLine = L"\"" + SetupExecutable().native() + L"\" --cleanup-worker " +
                            std::to_wstring(launcher.dwProcessId) + L" \"" + backup.native() + L"\"";
  PROCESS_INFORMATION worker{};
  ASSERT_TRUE(CreateProcessW(SetupExecutable().c_str(), workerLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &worker));
  const UniqueProcessInformation workerOwner(worker);
  // While the launcher lives, the worker waits and the folder stays.
  EXPECT_EQ(WaitForSingleObject(worker.hProcess, 1500), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(fs::exists(backup));
  ResumeThread(launcher.hThread);
  EXPECT_EQ(WaitForSingleObject(worker.hProcess, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 99;
  GetExitCodeProcess(worker.hProcess, &code);
  EXPECT_EQ(code, 0U);
  EXPECT_FALSE(fs::exists(backup));
}

fs::path ProcessStarter() { return testing::TestExecutableFolder() / L"process-starter.exe"; }

// The workers Setup leaves behind must outlive it.
TEST(StartIndependentProcess, TheStartedProcessOutlivesItsStarter) {
  testing::ScratchFolder scratch;
  const fs::path mark = scratch / L"ran";
  ASSERT_EQ(RunProcess(ProcessStarter(), {L"once", ProcessStarter().native(), L"sleep", L"1000", mark.native()}), 0U);
  EXPECT_TRUE(testing::WaitUntil([&] { return fs::exists(mark); }, std::chrono::seconds(20)));
}

// A process starts with its first thread suspended and runs only once its
// starter lets it go at the end of CreateProcess: a starter ended before that
// (a Setup ended from Task Manager while it starts its cleanup worker) must
// not leave a process behind that never runs and never ends.
TEST(StartIndependentProcess, AStarterEndedAtAnyMomentLeavesNothingThatNeverEnds) {
  for (int round = 0; round < 10; ++round) {
    const testing::StartedProcess starter(ProcessStarter(), {L"loop", ProcessStarter().native(), L"sleep", L"200"});
    Sleep(static_cast<DWORD>(150 + round * 37 % 200));
    starter.Terminate(1);
    ASSERT_TRUE(starter.EndsWithin(std::chrono::seconds(10)));
  }
  // Each one that ran ends 200 ms after it started.
  const auto stillRunning = [](bool end) {
    return testing::RunningProcesses(
        [](const PROCESSENTRY32W& entry, const std::wstring&) {
          return _wcsicmp(entry.szExeFile, L"process-starter.exe") == 0;
        },
        end);
  };
  EXPECT_TRUE(testing::WaitUntil([&] { return stillRunning(false) == 0; }, std::chrono::seconds(15)))
      << stillRunning(false) << " started processes never ended";
  stillRunning(true);
}

TEST(RemoveTree, RemovesLinksWithoutFollowingThem) {
  testing::ScratchFolder scratch;
  const fs::path keep = scratch / L"user documents";
  fs::create_directories(keep);
  WriteBytes(keep / L"precious.txt", "keep me");
  const fs::path tree = scratch / L"tree";
  fs::create_directories(tree / L"sub");
  WriteBytes(tree / L"sub" / L"file.bin", "x");
  // Deeper than a plain path may be on Windows.
  fs::path deep = tree / L"sub";
  while (deep.native().size() < 300) deep /= L"a-folder-of-the-application";
  fs::create_directories(deep);
  WriteBytes(deep / L"model.bin", "x");
  SetFileAttributesW((tree / L"sub" / L"file.bin").c_str(), FILE_ATTRIBUTE_READONLY);
  const bool linked = CreateSymbolicLinkW((tree / L"link").c_str(), keep.c_str(),
                                          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  std::error_code error;
  fsops::RemoveTree(tree, error);
  EXPECT_FALSE(error) << error.message();
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(testing::ReadBytes(keep / L"precious.txt"), "keep me") << (linked ? "through a link" : "no link made");
  fsops::RemoveTree(scratch / L"absent", error);
  EXPECT_FALSE(error);
}

}  // namespace
}  // namespace tessaline
