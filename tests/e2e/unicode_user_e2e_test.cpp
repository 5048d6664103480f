// Setup for a Windows user whose profile folder is named with a space and
// characters outside the ANSI code page. Everything Setup keeps lies in that
// profile, so every path it hands to tar.exe, the application, the cleanup
// worker, the uninstaller and the registry holds those characters. Runs in a
// Wine prefix of its own (unicode-user-prefix), made for that user.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "common/text_conversion.h"
#include "install_test_support.h"
#include "setup_run.h"
#include "ui_driver.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace tessaline::testing;

const std::wstring kUserName = L"Zo\u00EB \u00D8rsted \u674E";

// Runs a registered command line as the programs list would and returns its
// exit code.
DWORD RunCommandLine(std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    ADD_FAILURE() << "cannot start the command line: error " << GetLastError();
    return 0xDEAD;
  }
  const UniqueProcessInformation started(info);
  DWORD code = 0xDEAD;
  if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(info.hProcess, &code);
  return code;
}

// Lets Setup finish, then closes it, expecting "Tessaline is ready.".
void ExpectReady(SetupRun& setup) {
  ASSERT_NE(setup.Window(), nullptr);
  ASSERT_TRUE(setup.WaitForFinish());
  ASSERT_EQ(setup.Text(kStatus), L"Tessaline is ready.") << WideToUtf8(setup.Text(kDetail));
  SendMessageTimeoutW(setup.Window(), WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, nullptr);
  EXPECT_EQ(setup.ExitCode(), 0U);
}

TEST(UnicodeUserName, InstallsUpdatesAndUninstallsQuietly) {
  wchar_t localAppData[MAX_PATH * 2] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"LOCALAPPDATA", localAppData, MAX_PATH * 2), 0U);
  const std::wstring installation = std::wstring(localAppData) + L"\\Programs\\Quorvant\\Tessaline";
  // Proves nothing unless the profile is that user's and the name cannot
  // pass through the ANSI code page.
  ASSERT_NE(installation.find(L"\\" + kUserName + L"\\"), std::wstring::npos) << WideToUtf8(installation);
  ASSERT_FALSE(SurvivesAnsiCodePage(kUserName));
  ASSERT_EQ(UserApplicationFolder().native(), installation);
  ForgetEverythingInstalled();
  ResetServer();

  ServeRelease(L"v1.0.0");
  {
    SetupRun setup(SetupExecutable());
    ASSERT_NO_FATAL_FAILURE(ExpectReady(setup));
  }
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");
  EXPECT_TRUE(fs::is_regular_file(StartMenuShortcutPath()));
  const std::wstring uninstaller = L"\"" + installation + L"\\TessalineUninstall.exe\"";
  EXPECT_EQ(RegisteredText(L"InstallLocation"), installation);
  EXPECT_EQ(RegisteredText(L"DisplayIcon"), installation + L"\\Tessaline.exe,0");
  EXPECT_EQ(RegisteredText(L"UninstallString"), uninstaller + L" --uninstall");
  EXPECT_EQ(RegisteredText(L"QuietUninstallString"), uninstaller + L" --uninstall --quiet");

  // The user's data in a kept folder, under a name of their own script.
  const fs::path kept = fs::path(installation) / L"resources" / L"fennor" / L"bin" / L"accelerations";
  const std::string model = PatternBytes(70000, 11);
  WriteBytes(kept / (kUserName + L".bin"), model);

  ServeRelease(L"v1.1.0");
  {
    SetupRun setup(fs::path(installation) / L"TessalineSetup.exe");
    ASSERT_NO_FATAL_FAILURE(ExpectReady(setup));
  }
  EXPECT_EQ(RegisteredVersion(), L"1.1.0");
  EXPECT_EQ(ReadBytes(fs::path(installation) / L"sample-version.txt"), "1.1.0\n");
  EXPECT_EQ(ReadBytes(kept / (kUserName + L".bin")), model);
  EXPECT_EQ(ReadBytes(kept / L"shipped.bin"), "shipped with 1.0.0\n");
  // The cleanup worker, a copy in the user's temporary folder, removes the
  // backup once Setup has gone.
  EXPECT_TRUE(WaitUntil([] { return BackupFolders() == 0; }, std::chrono::seconds(40)));

  EXPECT_EQ(RunCommandLine(RegisteredText(L"QuietUninstallString")), 0U);
  // The launcher hands over to a worker copy, which removes and deregisters.
  EXPECT_TRUE(WaitUntil([&] { return !fs::exists(installation) && RegisteredVersion() == L"<none>"; },
                        std::chrono::seconds(60)));
  EXPECT_FALSE(fs::exists(StartMenuShortcutPath()));
}

}  // namespace
}  // namespace tessaline
