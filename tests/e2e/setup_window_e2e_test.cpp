// The real TessalineSetup.exe in its window, driven like a person would:
// read the texts, click, answer the boxes; then the prefix's files, registry
// and Start menu say what happened.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "install_test_support.h"
#include "setup_run.h"
#include "ui_driver.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace tessaline::testing;

// Whether the installed application runs; it is ended if so.
bool InstalledAppIsRunning() {
  const std::wstring target = (UserApplicationFolder() / L"Tessaline.exe").native();
  const auto installedCopy = [&](const PROCESSENTRY32W&, const std::wstring& image) {
    return _wcsicmp(image.c_str(), target.c_str()) == 0;
  };
  return RunningProcesses(installedCopy, true) > 0;
}

class SetupWindowEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetEverythingInstalled();
    ResetServer();
  }
};

TEST_F(SetupWindowEndToEnd, PreviewShowsSampleProgressAndClosesOnTheButton) {
  SetupRun setup(DownloadedSetup(), L"--ui-preview");
  ASSERT_NE(setup.Window(), nullptr);
  EXPECT_EQ(setup.Title(), L"Install Tessaline");
  EXPECT_EQ(setup.Text(kStatus), L"Downloading Tessaline\u2026");
  ASSERT_TRUE(WaitUntil([&] { return setup.Text(kDetail).rfind(L"115.4 of 274.8 MB", 0) == 0; }));
  setup.Picture(L"preview");
  EXPECT_TRUE(ServerRequests().empty());  // no worker in the preview
  // As a screen reader reads it: the texts by what they show, the owner-drawn
  // action by the caption it draws, the bar by its own name. Wine's proxies
  // stop there: they give every control the client role and the bar no
  // value, where Windows' give static text, check box, push button (the
  // owner-drawn one too) and progress bar with its value ("41%"). Windows
  // would also name the bar after the status line above it, had Setup not
  // named it; Wine names it by its window text and leaves that naming
  // unimplemented, so here the bar's name holds either way.
  const auto accessibleName = [&](int id) { return ReadAccessible(GetDlgItem(setup.Window(), id)).name; };
  EXPECT_EQ(accessibleName(kStatus), L"Downloading Tessaline\u2026");
  EXPECT_EQ(accessibleName(kDetail).rfind(L"115.4 of 274.8 MB", 0), 0U) << accessibleName(kDetail);
  EXPECT_EQ(accessibleName(kProgress), L"Progress");
  EXPECT_EQ(accessibleName(kCheckbox), L"Add Tessaline to Start menu");
  EXPECT_EQ(accessibleName(kAction), L"Cancel");
  // The keyboard alone: the focus starts on the action, Tab reaches the
  // check box and Space toggles it; Enter presses the default action from
  // anywhere, which closes the preview.
  EXPECT_TRUE(WaitUntil([&] { return FocusedControl(setup.Window()) == kAction; }, std::chrono::seconds(5)));
  PressKey(setup.Window(), VK_TAB);
  EXPECT_TRUE(WaitUntil([&] { return FocusedControl(setup.Window()) == kCheckbox; }, std::chrono::seconds(5)));
  PressKey(setup.Window(), VK_SPACE);
  EXPECT_TRUE(WaitUntil([&] { return !IsChecked(setup.Window(), kCheckbox); }, std::chrono::seconds(5)));
  PressKey(setup.Window(), VK_RETURN);
  EXPECT_EQ(setup.ExitCode(), 0U);
}

TEST_F(SetupWindowEndToEnd, InstallsUpdatesAndRepairsThenLaunches) {
  ServeRelease(L"slow");
  {
    SetupRun setup(DownloadedSetup());
    ASSERT_NE(setup.Window(), nullptr);
    EXPECT_EQ(setup.Title(), L"Install Tessaline");
    ASSERT_TRUE(WaitUntil([&] { return setup.Description() == L"Install Tessaline 1.0.0 for your Windows account."; }));
    // The parts drop once and pause before resuming: the progress line shows.
    ASSERT_TRUE(WaitUntil([&] { return setup.Text(kDetail).find(L" MB  \u00B7  ") != std::wstring::npos; }))
        << setup.Text(kDetail);
    setup.Picture(L"downloading");
    ASSERT_TRUE(setup.WaitForFinish());
    EXPECT_EQ(setup.Text(kStatus), L"Tessaline is ready.");
    EXPECT_EQ(setup.Text(kDetail), L"Installation completed successfully.");
    EXPECT_EQ(setup.Text(kAction), L"Launch");
    setup.Picture(L"ready");
    Click(setup.Window(), kAction);
    EXPECT_EQ(setup.ExitCode(), 0U);
    EXPECT_TRUE(WaitUntil([] { return InstalledAppIsRunning(); }, std::chrono::seconds(20)));
  }
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");
  EXPECT_TRUE(fs::exists(StartMenuShortcutPath()));

  const fs::path kept = UserApplicationFolder() / L"resources" / L"fennor" / L"bin" / L"accelerations";
  fs::create_directories(kept);
  const std::string model = PatternBytes(70000, 7);
  WriteBytes(kept / L"model.bin", model);
  ServeRelease(L"v1.1.0");
  {
    // Started from inside the folder it replaces, it goes on from a copy:
    // Windows would not move a folder holding its running image aside.
    SetupRun setup(UserApplicationFolder() / L"TessalineSetup.exe");
    EXPECT_TRUE(setup.Relaunched());
    EXPECT_EQ(setup.ImagePath().filename().native().rfind(L"TessalineSetup-", 0), 0U) << setup.ImagePath();
    ASSERT_TRUE(WaitUntil([&] { return setup.Title() == L"Update Tessaline"; }));
    EXPECT_EQ(setup.Description(), L"Update 1.0.0 to 1.1.0 for your Windows account.");
    ASSERT_TRUE(setup.WaitForFinish());
    EXPECT_EQ(setup.Text(kStatus), L"Tessaline is ready.");
    EXPECT_EQ(BackupFolders(), 1);
    SendMessageTimeoutW(setup.Window(), WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, nullptr);  // closes once finished
    EXPECT_EQ(setup.ExitCode(), 0U);
  }
  EXPECT_EQ(ReadBytes(kept / L"model.bin"), model);
  EXPECT_EQ(RegisteredVersion(), L"1.1.0");
  // The cleanup worker removes the backup once Setup has gone.
  EXPECT_TRUE(WaitUntil([] { return BackupFolders() == 0; }, std::chrono::seconds(40))) << DescribeLeftovers();

  SetupRun repair(DownloadedSetup());
  ASSERT_TRUE(WaitUntil([&] { return repair.Title() == L"Repair Tessaline"; }));
  EXPECT_EQ(repair.Description(), L"Repair Tessaline 1.1.0 using the verified release.");
  ASSERT_TRUE(repair.WaitForFinish());
  EXPECT_EQ(repair.Text(kAction), L"Launch");
}

TEST_F(SetupWindowEndToEnd, RefusesADowngradeAndOffersClose) {
  ServeRelease(L"v1.1.0");
  {
    SetupRun setup(DownloadedSetup());
    ASSERT_TRUE(setup.WaitForFinish());
    Click(setup.Window(), kAction);
    setup.ExitCode();
  }
  EXPECT_TRUE(WaitUntil([] { return InstalledAppIsRunning(); }, std::chrono::seconds(20)));
  ServeRelease(L"v1.0.0");
  SetupRun setup(DownloadedSetup());
  ASSERT_TRUE(setup.WaitForFinish());
  EXPECT_EQ(setup.Title(), L"Tessaline is newer");
  EXPECT_EQ(setup.Description(), L"Installed 1.1.0 is newer than available 1.0.0.");
  EXPECT_EQ(setup.Text(kStatus), L"Tessaline could not be installed.");
  EXPECT_EQ(setup.Text(kDetail), L"A newer Tessaline 1.1.0 is already installed. Setup will not downgrade it to 1.0.0.");
  EXPECT_EQ(setup.Text(kAction), L"Close");
  Click(setup.Window(), kAction);
  EXPECT_EQ(setup.ExitCode(), 0U);
  EXPECT_FALSE(InstalledAppIsRunning());  // "Close" never starts the application
}

// The Setup a user downloads is signed after the build: the signature must
// not keep it from installing, and the copy Setup keeps is the signed file.
TEST_F(SetupWindowEndToEnd, TheSignedSetupInstallsAndKeepsItsSignedCopy) {
  const fs::path signedSetup = TestExecutableFolder() / L"signed" / L"TessalineSetup.exe";
  ASSERT_TRUE(fs::exists(signedSetup));
  ServeRelease(L"v1.0.0");
  SetupRun setup(signedSetup);
  ASSERT_NE(setup.Window(), nullptr);
  ASSERT_TRUE(setup.WaitForFinish());
  EXPECT_EQ(setup.Text(kStatus), L"Tessaline is ready.");
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"TessalineSetup.exe"), ReadBytes(signedSetup));
  SendMessageTimeoutW(setup.Window(), WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, nullptr);
  EXPECT_EQ(setup.ExitCode(), 0U);
}

TEST_F(SetupWindowEndToEnd, CancelsDuringTheDownloadAndALaterRunResumes) {
  ServeRelease(L"slow");
  // A release service that sends its manifest a byte a second: the close box
  // ends the fetch at once, and the window offers Close.
  ArmFault("trickle=1000", "/api/v1/packages/tessaline/stable/windows-x64/manifest");
  {
    SetupRun setup(DownloadedSetup());
    ASSERT_TRUE(WaitUntil([] {
      const auto requests = ServerRequests();
      return !requests.empty() && requests.front().bytesSent > 0;
    }));
    PostMessageW(setup.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return setup.Text(kAction) == L"Close"; }, std::chrono::seconds(20)));
    EXPECT_EQ(setup.Text(kStatus), L"Installation cancelled.");
    PostMessageW(setup.Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(setup.ExitCode(), 0U);
  }
  ResetServer();
  {
    SetupRun setup(DownloadedSetup());
    ASSERT_TRUE(WaitUntil([&] { return setup.Text(kDetail).find(L" MB  \u00B7  ") != std::wstring::npos; }));
    // Every part has its first 100 kB before the cancel, so that the later
    // run resumes each of them from there.
    ASSERT_TRUE(WaitUntil([] {
      int started = 0;
      std::error_code ignored;
      for (const auto& entry : fs::directory_iterator(InstallerCache() / L"1.0.0", ignored)) {
        started += entry.file_size(ignored) == 100000 ? 1 : 0;
      }
      return started >= 3;
    }));
    // Esc, as the close box, only asks for cancellation: the window stays.
    PressKey(setup.Window(), VK_ESCAPE);
    ASSERT_TRUE(setup.WaitForFinish());
    EXPECT_FALSE(setup.Ended());
    EXPECT_EQ(setup.Text(kStatus), L"Installation cancelled.");
    EXPECT_EQ(setup.Text(kDetail), L"Installation cancelled");
    EXPECT_EQ(setup.Text(kAction), L"Close");
    EXPECT_EQ(ReadAccessible(GetDlgItem(setup.Window(), kAction)).name, L"Close");
    setup.Picture(L"cancelled");
    // Once finished, Esc closes it.
    PressKey(setup.Window(), VK_ESCAPE);
    EXPECT_EQ(setup.ExitCode(), 0U);
  }
  EXPECT_FALSE(fs::exists(UserApplicationFolder()));
  SetupRun again(DownloadedSetup());
  ASSERT_TRUE(again.WaitForFinish());
  EXPECT_EQ(again.Text(kStatus), L"Tessaline is ready.");
  int resumed = 0;
  for (const RecordedRequest& request : ServerRequests()) resumed += request.range == "bytes=100000-" ? 1 : 0;
  EXPECT_GE(resumed, 3);
}

TEST_F(SetupWindowEndToEnd, ReportsUntrustedOrBrokenReleasesAndKeepsTheInstallation) {
  ServeRelease(L"v1.0.0");
  {
    SetupRun setup(DownloadedSetup());
    ASSERT_TRUE(setup.WaitForFinish());
  }
  struct Case {
    const wchar_t* release;
    std::wstring detail;
  };
  const Case cases[] = {
      {L"bad-signature", L"The release manifest is not signed by Quorvant"},
      {L"smoke-fails", L"Tessaline failed its startup test"},
      {L"tampered", L"Downloaded part verification failed: Tessaline-1.1.0-windows-x64.tar.gz.003"},
  };
  // A part that fails for good stops the other downloads, but the user did
  // not cancel: the window says the installation failed.
  for (const Case& c : cases) {
    ServeRelease(c.release);
    SetupRun setup(DownloadedSetup());
    ASSERT_TRUE(setup.WaitForFinish()) << c.release;
    EXPECT_EQ(setup.Text(kStatus), L"Tessaline could not be installed.") << c.release;
    EXPECT_EQ(setup.Text(kDetail), c.detail) << c.release;
    if (std::wstring(c.release) == L"smoke-fails") setup.Picture(L"failed");
    EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.0.0\n") << c.release;
    EXPECT_EQ(RegisteredVersion(), L"1.0.0");
  }
}

// A release service that never ends its answer: Setup refuses it by its
// announced length and holds no more memory than when it fails at once.
TEST_F(SetupWindowEndToEnd, RefusesAnEndlessManifestOrSignatureWithoutHoldingIt) {
  const std::string manifest = "/api/v1/packages/tessaline/stable/windows-x64/manifest";
  ServeRelease(L"v1.0.0");
  const auto failureAndPeak = [](std::wstring& detail) {
    SetupRun setup(DownloadedSetup());
    EXPECT_TRUE(setup.WaitForFinish());
    detail = setup.Text(kDetail);
    return setup.PeakWorkingSet();
  };
  std::wstring detail;
  ArmFault("status=503", manifest);
  const SIZE_T idle = failureAndPeak(detail);
  ASSERT_EQ(detail, L"Release service returned HTTP 503");

  struct Case {
    std::string path;
    const wchar_t* failure;
  };
  for (const Case& c : {Case{manifest, L"Oversized Tessaline release manifest"},
                        Case{manifest + ".sig", L"Invalid Quorvant release signature"}}) {
    ResetServer();
    ArmFault("endless", c.path);
    const SIZE_T peak = failureAndPeak(detail);
    EXPECT_EQ(detail, c.failure);
    EXPECT_LT(peak, idle + 6 * 1024 * 1024) << c.path << ": idle " << idle << " bytes, peak " << peak;
    for (const RecordedRequest& request : ServerRequests()) {
      EXPECT_LT(request.bytesSent, kEndlessBodyCap) << request.path;
    }
  }
  EXPECT_EQ(RegisteredVersion(), L"<none>");
}

TEST_F(SetupWindowEndToEnd, WithoutTheShortcutThenUninstalledThroughTheProgramsList) {
  ServeRelease(L"v1.0.0");
  {
    SetupRun setup(DownloadedSetup());
    ASSERT_NE(setup.Window(), nullptr);
    ASSERT_TRUE(IsChecked(setup.Window(), kCheckbox));
    Click(setup.Window(), kCheckbox);
    ASSERT_TRUE(setup.WaitForFinish());
    EXPECT_FALSE(IsChecked(setup.Window(), kCheckbox));
  }
  EXPECT_FALSE(fs::exists(StartMenuShortcutPath()));

  wchar_t command[1024] = {};
  DWORD size = sizeof(command);
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kUninstallKeyPath, L"UninstallString", RRF_RT_REG_SZ, nullptr, command,
                         &size),
            ERROR_SUCCESS);
  const fs::path uninstaller = UserApplicationFolder() / L"TessalineUninstall.exe";
  ASSERT_EQ(std::wstring(command), L"\"" + uninstaller.native() + L"\" --uninstall");

  const auto answer = [&](int button) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = command;
    EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    const UniqueProcessInformation started(info);
    HWND box = nullptr;
    EXPECT_TRUE(WaitUntil([&] { return (box = FindMessageBox(info.dwProcessId)) != nullptr; }));
    EXPECT_EQ(MessageBoxText(box), L"Remove Tessaline from this computer?");
    PressMessageBoxButton(box, button);
    WaitForSingleObject(info.hProcess, 20000);
    DWORD code = 99;
    GetExitCodeProcess(info.hProcess, &code);
    return code;
  };
  EXPECT_EQ(answer(IDNO), 0U);
  EXPECT_TRUE(fs::exists(uninstaller));
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");

  EXPECT_EQ(answer(IDYES), 0U);
  // The worker, a temporary copy, confirms when it is done.
  HWND done = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    struct Find {
      HWND box = nullptr;
    } find;
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
          wchar_t name[64] = {};
          GetClassNameW(w, name, 64);
          if (std::wstring(name) == L"#32770" && IsWindowVisible(w) &&
              MessageBoxText(w) == L"Tessaline was removed from this computer.") {
            reinterpret_cast<Find*>(p)->box = w;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&find));
    return (done = find.box) != nullptr;
  }));
  PressMessageBoxButton(done, IDOK);
  EXPECT_FALSE(fs::exists(UserApplicationFolder()));
  EXPECT_EQ(RegisteredVersion(), L"<none>");
  EXPECT_TRUE(fs::exists(InstallerCache() / L"1.0.0"));
}

}  // namespace
}  // namespace tessaline
