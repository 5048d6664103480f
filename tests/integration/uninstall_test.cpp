// Quiet uninstall as the registered QuietUninstallString runs it: a launcher
// that hands over to a temporary copy, and the worker that removes.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/product_constants.h"
#include "installation/installation_lock.h"
#include "ui_driver.h"
#include "windows_test_support.h"
#include "winintegration/user_folders.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::RunProcess;
using testing::WriteBytes;

bool KeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Waits for the detached worker: the folder goes first, in one rename, and
// the entry right after it.
bool WaitUntilGone(const fs::path& path) {
  for (int i = 0; i < 200 && fs::exists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return !fs::exists(path);
}

bool WaitUntilNoKey() {
  for (int i = 0; i < 100 && KeyExists(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return !KeyExists();
}

// Sessions share only the global namespace: what a Setup of this user in
// another session holds, taken here by name.
UniqueHandle LockAsASetupInAnotherSessionHoldsIt() {
  HANDLE raw = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw);
  const UniqueHandle token(raw);
  std::vector<unsigned char> user(256);
  DWORD size = 0;
  wchar_t* sid = nullptr;
  if (!GetTokenInformation(token.Get(), TokenUser, user.data(), static_cast<DWORD>(user.size()), &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
    return UniqueHandle();
  }
  const UniqueLocalMemory owned(sid);
  const std::wstring name = std::wstring(L"Global\\Quorvant.Tessaline.Installation.") + sid;
  return UniqueHandle(CreateMutexW(nullptr, TRUE, name.c_str()));
}

TEST(QuietUninstall, RemovesShortcutEntryAndFolderAndKeepsTheCache) {
  const fs::path installation = UserApplicationFolder();
  fs::create_directories(installation / L"resources" / L"fennor" / L"bin" / L"accelerations");
  WriteBytes(installation / L"resources" / L"fennor" / L"bin" / L"accelerations" / L"kept.bin", "data");
  fs::copy_file(testing::SetupExecutable(), installation / L"TessalineUninstall.exe",
                fs::copy_options::overwrite_existing);
  const fs::path shortcut = StartMenuShortcutPath();
  fs::create_directories(shortcut.parent_path());
  WriteBytes(shortcut, "link");
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const fs::path cache = LocalAppDataFolder() / L"Quorvant" / L"InstallerCache" / L"1.0.0";
  fs::create_directories(cache);
  WriteBytes(cache / L"part.001", "cached");
  // What a run killed half-way left beside the installation: hidden copies of
  // the application go with it; what is not Setup's stays.
  const fs::path quorvant = installation.parent_path();
  const fs::path leftovers[] = {quorvant / L".Tessaline-backup-77-1", quorvant / L".Tessaline-staging-77-1",
                                quorvant / L".TessalineSetup-77-1.exe", quorvant / L".Tessaline-activation"};
  fs::create_directories(leftovers[0] / L"resources");
  fs::copy_file(testing::SetupExecutable(), leftovers[0] / L"Tessaline.exe");
  fs::create_directories(leftovers[1]);
  WriteBytes(leftovers[2], "copy");
  WriteBytes(leftovers[3], ".Tessaline-backup-77-1");
  fs::create_directories(quorvant / L"Other");
  WriteBytes(quorvant / L".TessalineSetup-77-1.txt", "not a copy of Setup");

  // The installed uninstaller runs from inside the folder it removes.
  EXPECT_EQ(RunProcess(installation / L"TessalineUninstall.exe", {L"--uninstall", L"--quiet"}), 0U);
  EXPECT_TRUE(WaitUntilGone(installation));
  EXPECT_TRUE(WaitUntilNoKey());
  EXPECT_FALSE(fs::exists(shortcut));
  EXPECT_TRUE(fs::is_directory(shortcut.parent_path()));
  EXPECT_TRUE(fs::exists(cache / L"part.001"));
  EXPECT_TRUE(fs::is_directory(installation.parent_path()));
  for (const fs::path& leftover : leftovers) EXPECT_TRUE(WaitUntilGone(leftover)) << leftover;
  EXPECT_TRUE(fs::is_directory(quorvant / L"Other"));
  EXPECT_TRUE(fs::exists(quorvant / L".TessalineSetup-77-1.txt"));

  // Nothing left to remove is not a failure.
  EXPECT_EQ(RunProcess(testing::SetupExecutable(), {L"--uninstall-worker", L"x", L"--quiet"}), 0U);
  EXPECT_EQ(RunProcess(testing::SetupExecutable(), {L"--quiet", L"--uninstall-worker"}), 2U);
  fs::remove_all(cache);
  fs::remove_all(quorvant / L"Other");
  fs::remove(quorvant / L".TessalineSetup-77-1.txt");
}

// Removing Tessaline from the Apps list while it runs: it is closed first, as
// an update closes it. Where the folder stays in use (here another program
// holds the folder itself: Wine, unlike Windows, would rename a folder that
// holds an open file), nothing is removed and the entry stays to try again.
TEST(QuietUninstall, ClosesTheRunningApplicationAndRemovesAllOrNothing) {
  const fs::path installation = UserApplicationFolder();
  const fs::path kept = installation / L"resources" / L"fennor" / L"bin" / L"accelerations";
  const auto install = [&] {
    fs::create_directories(kept);
    WriteBytes(kept / L"kept.bin", "data");
    fs::copy_file(testing::TestExecutableFolder() / L"sample-app" / L"Tessaline.exe", installation / L"Tessaline.exe",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(testing::SetupExecutable(), installation / L"TessalineUninstall.exe",
                  fs::copy_options::overwrite_existing);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  };
  ASSERT_NO_FATAL_FAILURE(install());
  {
    testing::StartedProcess running(installation / L"Tessaline.exe", {});
    ASSERT_TRUE(testing::WaitUntil([&] { return testing::FindProcessWindow(running.Id(), L"TessalineSampleWindow"); }));
    EXPECT_EQ(RunProcess(installation / L"TessalineUninstall.exe", {L"--uninstall", L"--quiet"}), 0U);
    EXPECT_TRUE(WaitUntilGone(installation));
    EXPECT_TRUE(running.EndsWithin(std::chrono::seconds(0)));
    EXPECT_TRUE(WaitUntilNoKey());
  }

  ASSERT_NO_FATAL_FAILURE(install());
  {
    const UniqueFile inUse(CreateFileW(installation.c_str(), FILE_LIST_DIRECTORY,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(inUse.Valid());
    EXPECT_EQ(RunProcess(testing::SetupExecutable(), {L"--uninstall-worker", L"0", L"--quiet"}), 1U);
  }
  EXPECT_TRUE(KeyExists());
  EXPECT_EQ(ReadBytes(kept / L"kept.bin"), "data");
  EXPECT_TRUE(fs::is_regular_file(installation / L"Tessaline.exe"));
  EXPECT_TRUE(fs::is_regular_file(installation / L"TessalineUninstall.exe"));

  // While another Setup of this user installs, in this session or in another
  // (a remote desktop, a scheduled task), the uninstall says that it waits,
  // and Cancel keeps Tessaline.
  for (const bool otherSession : {false, true}) {
    SCOPED_TRACE(otherSession ? "a Setup in another session" : "a Setup in this session");
    std::optional<InstallationLock> inThisSession;
    UniqueHandle inAnotherSession;
    if (otherSession) {
      inAnotherSession = LockAsASetupInAnotherSessionHoldsIt();
      ASSERT_TRUE(inAnotherSession.Valid());
    } else {
      ASSERT_TRUE(inThisSession.emplace().Acquire(nullptr, {}));
    }
    testing::StartedProcess worker(testing::SetupExecutable(), {L"--uninstall-worker", L"0"});
    HWND box = nullptr;
    ASSERT_TRUE(testing::WaitUntil([&] { return (box = testing::FindMessageBox(worker.Id())) != nullptr; }));
    EXPECT_EQ(testing::MessageBoxText(box).rfind(L"Waiting for another Tessaline Setup to finish\u2026", 0), 0U);
    testing::PressMessageBoxButton(box, IDCANCEL);
    ASSERT_TRUE(worker.EndsWithin(std::chrono::seconds(10)));
    EXPECT_EQ(worker.ExitCode(), 1U);
    if (inAnotherSession) ReleaseMutex(inAnotherSession.Get());
  }
  EXPECT_TRUE(KeyExists());
  EXPECT_TRUE(fs::is_regular_file(installation / L"Tessaline.exe"));
  EXPECT_EQ(RunProcess(testing::SetupExecutable(), {L"--uninstall-worker", L"0", L"--quiet"}), 0U);
  EXPECT_FALSE(fs::exists(installation));
  EXPECT_FALSE(KeyExists());

  // A file of the moved-aside folder that stays open (Wine moves the folder
  // although the file is open; on Windows a scanner opens it after the move)
  // once the entry and the shortcut are gone: Tessaline is removed, and what
  // is left the next Setup removes.
  ASSERT_NO_FATAL_FAILURE(install());
  {
    const UniqueFile open(CreateFileW((kept / L"kept.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(open.Valid());
    EXPECT_EQ(RunProcess(testing::SetupExecutable(), {L"--uninstall-worker", L"0", L"--quiet"}), 0U);
  }
  EXPECT_FALSE(fs::exists(installation));
  EXPECT_FALSE(KeyExists());
  for (const auto& entry : fs::directory_iterator(installation.parent_path())) fs::remove_all(entry.path());
}

}  // namespace
}  // namespace tessaline
