// Setups that overlap or are cut off, run as a person would meet them: two
// started a moment apart for one update, and updates ended from outside at
// moments spread over their installation stage.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "install_test_support.h"
#include "setup_run.h"
#include "ui_driver.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace tessaline::testing;

fs::path UserDataFile() {
  return UserApplicationFolder() / L"resources" / L"fennor" / L"bin" / L"accelerations" / L"model.bin";
}

// Nothing of any run is left beside the installation folder.
bool OnlyTheInstallationRemains() {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder(), ignored)) {
    if (entry.path().filename() != L"Tessaline") return false;
  }
  return true;
}

void CloseWhenReady(SetupRun& setup) {
  ASSERT_TRUE(setup.WaitForFinish());
  EXPECT_EQ(setup.Text(kStatus), L"Tessaline is ready.") << setup.Text(kDetail);
  SendMessageTimeoutW(setup.Window(), WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, nullptr);
  EXPECT_EQ(setup.ExitCode(), 0U);
}

// What a killed Setup had started that still runs: the archive tool, the
// new version's self-test, its cleanup worker; with `end`, they are ended too.
int LeftRunningByKilledRun(DWORD setupId, bool end) {
  const std::wstring staging = (QuorvantProgramsFolder() / L".Tessaline-staging-").native();
  return RunningProcesses(
      [&](const PROCESSENTRY32W& entry, const std::wstring& image) {
        return entry.th32ParentProcessID == setupId || _wcsicmp(entry.szExeFile, L"tar.exe") == 0 ||
               image.rfind(staging, 0) == 0;
      },
      end);
}

class InterruptedSetups : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetEverythingInstalled();
    ResetServer();
  }

  // Release 1.0.0 installed through Setup, and a file the user made in one
  // of the kept folders.
  void InstallWithUserData() {
    ServeRelease(L"v1.0.0");
    SetupRun setup(DownloadedSetup());
    ASSERT_NO_FATAL_FAILURE(CloseWhenReady(setup));
    fs::create_directories(UserDataFile().parent_path());
    WriteBytes(UserDataFile(), model);
  }

  void ExpectUpdatedWithTheUserData() {
    EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
    EXPECT_EQ(RegisteredVersion(), L"1.1.0");
    EXPECT_TRUE(ReadBytes(UserDataFile()) == model);
    // The cleanup worker removes the backup once Setup has gone.
    EXPECT_TRUE(WaitUntil(OnlyTheInstallationRemains, std::chrono::seconds(40))) << DescribeLeftovers();
  }

  const std::string model = PatternBytes(70000, 11);
};

TEST_F(InterruptedSetups, TwoSetupsStartedAMomentApartBothEndReady) {
  for (const int gapMs : {100, 600, 1500}) {
    SCOPED_TRACE("started " + std::to_string(gapMs) + " ms apart");
    SetUp();
    ASSERT_NO_FATAL_FAILURE(InstallWithUserData());
    ServeRelease(L"slow-update");  // the first Setup is still downloading when the second starts
    SetupRun first(DownloadedSetup());
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    SetupRun second(DownloadedSetup());
    ASSERT_NO_FATAL_FAILURE(CloseWhenReady(first));
    ASSERT_NO_FATAL_FAILURE(CloseWhenReady(second));
    ExpectUpdatedWithTheUserData();
  }
}

TEST_F(InterruptedSetups, UpdatesEndedAcrossTheirInstallationStageLoseNothing) {
  ASSERT_NO_FATAL_FAILURE(InstallWithUserData());
  ServeRelease(L"v1.1.0");
  // A whole update first: how long the installation stage lasts here decides
  // the moments at which the next ones are ended.
  std::chrono::steady_clock::duration stage{};
  {
    SetupRun setup(DownloadedSetup());
    ASSERT_TRUE(WaitUntil([&] { return setup.Text(kStatus) == L"Updating Tessaline\u2026"; }));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(setup.WaitForFinish());
    stage = std::chrono::steady_clock::now() - start;
    ASSERT_NO_FATAL_FAILURE(CloseWhenReady(setup));
  }
  ExpectUpdatedWithTheUserData();

  // Repairs move the installation exactly as updates do.
  constexpr int kMoments = 5;
  for (int moment = 0; moment < kMoments; ++moment) {
    const auto delay = stage * moment / kMoments;
    SCOPED_TRACE("ended " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()) +
                 " ms into the installation stage");
    DWORD killedId = 0;
    {
      SetupRun killed(DownloadedSetup());
      killedId = killed.ProcessId();
      ASSERT_TRUE(WaitUntil([&] { return killed.Text(kStatus) == L"Repairing Tessaline\u2026"; }));
      std::this_thread::sleep_for(delay);
      killed.Kill();
    }
    // The helpers end with the Setup that started them, as they do when its
    // process tree is ended, so that they hold nothing the next run removes;
    // a cleanup worker it had started does its work and ends, and one it was
    // still starting never runs.
    EXPECT_TRUE(WaitUntil([&] { return LeftRunningByKilledRun(killedId, false) == 0; }, std::chrono::seconds(10)))
        << DescribeLeftovers();
    LeftRunningByKilledRun(killedId, true);
    SetupRun next(DownloadedSetup());
    ASSERT_NO_FATAL_FAILURE(CloseWhenReady(next));
    ExpectUpdatedWithTheUserData();
  }
}

}  // namespace
}  // namespace tessaline
