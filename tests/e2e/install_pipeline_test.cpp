// The install worker on its own, driven by a hidden window that records what
// it posts, against published releases of the sample application served
// over TLS; the prefix's files, registry and Start menu are the evidence.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "activation_recovery.h"
#include "install_state.h"
#include "install_test_support.h"
#include "install_worker.h"
#include "installation_leftovers.h"
#include "installation_lock.h"
#include "message_recorder.h"
#include "mode_selection.h"
#include "setup_entry.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace tessaline::testing;

class InstallPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetEverythingInstalled();
    ResetServer();
  }

  // One run of the worker, as the window would start it. `during` runs on
  // the test's thread while the worker runs on its own.
  std::vector<RecordedMessage> Run(const std::function<void(MessageRecorder&)>& during = {}) {
    cancelRequested = false;
    progressCounters.bytesTotal = 0;
    progressCounters.bytesDone = 0;
    progressCounters.bytesAtStart = 0;
    launchPath.clear();
    AddToStartMenu = true;
    MessageRecorder recorder;
    if (!recorder.HasWindow()) {
      ADD_FAILURE() << "no window could be made: is DISPLAY set?";
      return {RecordedMessage{}};
    }
    setupWindow = recorder.Window();
    std::thread worker(InstallWorker);
    if (during) during(recorder);
    worker.join();
    EXPECT_TRUE(recorder.WaitForFinished());
    setupWindow = nullptr;
    lines = recorder.StatusLines();
    return recorder.Messages();
  }

  static const RecordedMessage& Finished(const std::vector<RecordedMessage>& messages) {
    return messages.back();  // always the last act
  }
  static std::wstring FailureOf(const std::vector<RecordedMessage>& messages) {
    const RecordedMessage& last = Finished(messages);
    EXPECT_EQ(last.message, FinishedMessage);
    EXPECT_EQ(last.wParam, 0U);
    return last.text;
  }
  static std::vector<std::string> PartRequests() {
    std::vector<std::string> paths;
    for (const RecordedRequest& r : ServerRequests()) {
      if (r.path.rfind("/packages/", 0) == 0) paths.push_back(r.path);
    }
    return paths;
  }

  static fs::path KeptFolder() {
    return UserApplicationFolder() / L"resources" / L"fennor" / L"bin" / L"accelerations";
  }
  // Release 1.0.0 installed, with a file the user made in its kept folder.
  void InstallWithKeptData() {
    ServeRelease(L"v1.0.0");
    ASSERT_EQ(Finished(Run()).wParam, 1U);
    WriteBytes(KeptFolder() / L"user-model.bin", "learned by 1.0.0");
  }

  std::vector<std::wstring> lines;
};

constexpr wchar_t kWaiting[] = L"Waiting for another Tessaline Setup to finish\u2026";

// Another Setup of this user as far as the lock goes: a thread that holds it
// until released.
class LockHolder {
 public:
  LockHolder() {
    std::promise<void> held;
    std::future<void> taken = held.get_future();
    thread_ = std::thread([this, &held] {
      InstallationLock lock;
      lock.Acquire(nullptr, {});
      held.set_value();
      release_.get_future().wait();
    });
    taken.wait();
  }
  ~LockHolder() { Release(); }
  void Release() {
    if (!thread_.joinable()) return;
    release_.set_value();
    thread_.join();
  }

 private:
  std::promise<void> release_;
  std::thread thread_;
};

// What lies beside the installation folder, by name.
std::vector<std::wstring> ItemsBesideTheInstallation() {
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder())) {
    if (entry.path().filename() != L"Tessaline") names.push_back(entry.path().filename().native());
  }
  return names;
}

// Only the backup that the last run handed to its cleanup worker may remain.
void ExpectNoLeftoverBut(const std::vector<std::wstring>& planted) {
  int backups = 0;
  for (const std::wstring& name : ItemsBesideTheInstallation()) {
    const bool ownBackup = name.rfind(L".Tessaline-backup-", 0) == 0 &&
                           std::find(planted.begin(), planted.end(), name) == planted.end();
    EXPECT_TRUE(ownBackup) << "left behind: " << fs::path(name);
    backups += ownBackup ? 1 : 0;
  }
  EXPECT_LE(backups, 1);
}

std::vector<std::string> markedStages;

TEST_F(InstallPipeline, InstallsWhenNothingIsInstalled) {
  ServeRelease(L"v1.0.0");
  // The marks that measurements split the pipeline by, in the worker's order.
  markedStages.clear();
  stageObserver = [](const char* stage) { markedStages.emplace_back(stage); };
  const auto messages = Run();
  stageObserver = nullptr;
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(markedStages, (std::vector<std::string>{"manifest", "download", "assemble and verify", "close application",
                                                    "extract", "smoke test", "activation", "finished"}));
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"Checking the Quorvant release\u2026", L"Downloading Tessaline\u2026",
                                               L"Verifying the downloaded package\u2026",
                                               L"Closing Tessaline if it is running\u2026", L"Installing Tessaline\u2026"}));
  ASSERT_EQ(messages[1].message, ReleaseInfoMessage);
  EXPECT_EQ(messages[1].decision->action, LifecycleAction::Install);
  EXPECT_EQ(messages[1].decision->installedVersion, "");
  EXPECT_EQ(messages[1].decision->availableVersion, "1.0.0");

  const fs::path installation = UserApplicationFolder();
  EXPECT_EQ(launchPath, installation / L"Tessaline.exe");
  for (const wchar_t* file : {L"Tessaline.exe", L"TessalineSetup.exe", L"TessalineUninstall.exe", L"sample-version.txt"}) {
    EXPECT_TRUE(fs::is_regular_file(installation / file)) << file;
  }
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");
  EXPECT_TRUE(fs::is_regular_file(StartMenuShortcutPath()));
  EXPECT_TRUE(fs::is_regular_file(InstallerCache() / L"1.0.0" / L"Tessaline-1.0.0-windows-x64.tar.gz"));
  EXPECT_EQ(progressCounters.bytesDone.load(), progressCounters.bytesTotal.load());
  // Nothing of the run is left beside the installation.
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder())) {
    EXPECT_EQ(entry.path().filename(), L"Tessaline") << entry.path();
  }
  EXPECT_EQ(PartRequests().size(), 3U);
}

TEST_F(InstallPipeline, UpdatesKeepingTheDataFoldersAndRepairsTheSameVersion) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  const fs::path installation = UserApplicationFolder();
  const fs::path kept = KeptFolder();
  fs::create_directories(installation / L"stray");

  ServeRelease(L"v1.1.0");
  const auto update = Run();
  ASSERT_EQ(Finished(update).wParam, 1U) << Finished(update).text;
  EXPECT_EQ(update[1].decision->action, LifecycleAction::Update);
  EXPECT_EQ(update[1].decision->installedVersion, "1.0.0");
  EXPECT_EQ(lines.back(), L"Updating Tessaline\u2026");
  EXPECT_EQ(ReadBytes(installation / L"sample-version.txt"), "1.1.0\n");
  EXPECT_EQ(ReadBytes(kept / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_EQ(ReadBytes(kept / L"shipped.bin"), "shipped with 1.0.0\n");  // the old folder replaced the package's
  EXPECT_FALSE(fs::exists(installation / L"stray"));
  EXPECT_EQ(RegisteredVersion(), L"1.1.0");
  // The old version waits in a backup folder for the cleanup worker.
  int backups = 0;
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder())) {
    backups += entry.path().filename().native().rfind(L".Tessaline-backup-", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(backups, 1);

  const auto repair = Run();
  ASSERT_EQ(Finished(repair).wParam, 1U) << Finished(repair).text;
  EXPECT_EQ(repair[1].decision->action, LifecycleAction::Repair);
  EXPECT_EQ(lines.back(), L"Repairing Tessaline\u2026");
  EXPECT_EQ(ReadBytes(kept / L"user-model.bin"), "learned by 1.0.0");
}

TEST_F(InstallPipeline, RefusesADowngradeBeforeCreatingAnything) {
  ServeRelease(L"v1.0.0");
  ASSERT_EQ(Finished(Run()).wParam, 1U);
  fs::remove_all(InstallerCache());
  ServeRelease(L"v0.9.0");
  const auto messages = Run();
  EXPECT_EQ(messages[1].decision->action, LifecycleAction::BlockDowngrade);
  EXPECT_EQ(FailureOf(messages), L"A newer Tessaline 1.0.0 is already installed. Setup will not downgrade it to 0.9.0.");
  EXPECT_FALSE(fs::exists(InstallerCache() / L"0.9.0"));
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");
}

TEST_F(InstallPipeline, ReusesEveryCachedPartWithoutFetchingIt) {
  ServeRelease(L"v1.0.0");
  ASSERT_EQ(Finished(Run()).wParam, 1U);
  ResetServer();
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(progressCounters.bytesAtStart.load(), progressCounters.bytesTotal.load());
  EXPECT_TRUE(PartRequests().empty());
}

TEST_F(InstallPipeline, DiscardsAnOversizeCachedPart) {
  ServeRelease(L"v1.0.0");
  const fs::path cache = InstallerCache() / L"1.0.0";
  fs::create_directories(cache);
  WriteBytes(cache / L"Tessaline-1.0.0-windows-x64.tar.gz.001", std::string(262144 + 999, 'x'));
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(progressCounters.bytesAtStart.load(), 262144U);  // counted at the part's size
  EXPECT_EQ(progressCounters.bytesDone.load(), progressCounters.bytesTotal.load());
  EXPECT_EQ(PartRequests().size(), 3U);
}

TEST_F(InstallPipeline, InstallsASinglePartPackage) {
  ServeRelease(L"single");
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(PartRequests().size(), 1U);
}

TEST_F(InstallPipeline, APartThatFailsForGoodStopsTheOthersWithItsOwnText) {
  ServeRelease(L"v1.1.0");
  fs::remove(ServedPartsFolder(L"v1.1.0") / L"Tessaline-1.1.0-windows-x64.tar.gz.002");
  const auto messages = Run();
  EXPECT_EQ(FailureOf(messages), L"GitHub returned HTTP 404");
  EXPECT_TRUE(cancelRequested.load());
  EXPECT_FALSE(fs::exists(UserApplicationFolder()));
}

TEST_F(InstallPipeline, ACancelDuringTheManifestStopsBeforeAnyPart) {
  ServeRelease(L"v1.0.0");
  cancelRequested = true;
  MessageRecorder recorder;
  setupWindow = recorder.Window();
  InstallWorker();
  ASSERT_TRUE(recorder.WaitForFinished());
  setupWindow = nullptr;
  EXPECT_EQ(FailureOf(recorder.Messages()), L"Installation cancelled");
  EXPECT_TRUE(PartRequests().empty());
  EXPECT_EQ(ServerRequests().size(), 2U);  // the manifest and its signature were still checked
}

TEST_F(InstallPipeline, RefusesPartsWhoseWholeDoesNotMatch) {
  ServeRelease(L"wrong-package-digest");
  EXPECT_EQ(FailureOf(Run()), L"The complete package failed verification");
  const fs::path partial = InstallerCache() / L"1.1.0" / L"Tessaline-1.1.0-windows-x64.tar.gz.partial";
  EXPECT_TRUE(fs::exists(partial));
  ResetServer();
  EXPECT_EQ(FailureOf(Run()), L"The complete package failed verification");
  EXPECT_TRUE(PartRequests().empty());
}

TEST_F(InstallPipeline, RefusesUntrustedOrUnsafeReleases) {
  ServeRelease(L"bad-signature");
  EXPECT_EQ(FailureOf(Run()), L"The release manifest is not signed by Quorvant");
  ServeRelease(L"unsafe-version");
  EXPECT_EQ(FailureOf(Run()), L"Unsafe Tessaline release metadata");
  EXPECT_FALSE(fs::exists(LocalAppDataFolder() / L"escaped"));
  EXPECT_FALSE(fs::exists(InstallerCache()));
  EXPECT_TRUE(PartRequests().empty());
}

TEST_F(InstallPipeline, AFailingSmokeTestLeavesThePreviousInstallationUntouched) {
  ServeRelease(L"v1.0.0");
  ASSERT_EQ(Finished(Run()).wParam, 1U);
  ServeRelease(L"smoke-fails");
  EXPECT_EQ(FailureOf(Run()), L"Tessaline failed its startup test");
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.0.0\n");
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");
  ServeRelease(L"bad-report");
  EXPECT_EQ(FailureOf(Run()), L"Tessaline startup validation failed");
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder())) {
    EXPECT_EQ(entry.path().filename(), L"Tessaline") << "left behind: " << entry.path();
  }
}

TEST_F(InstallPipeline, PutsThePreviousVersionBackWhenActivationFails) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  const fs::path installation = UserApplicationFolder();
  const fs::path kept = KeptFolder();

  // The new package holds a folder where Setup's copy must go: placing the
  // copies fails after the old installation was moved aside.
  ServeRelease(L"blocks-setup-copy");
  const std::wstring failure = FailureOf(Run());
  EXPECT_EQ(failure.rfind(L"copy_file: ", 0), 0U) << failure;
  EXPECT_EQ(ReadBytes(installation / L"sample-version.txt"), "1.0.0\n");
  EXPECT_EQ(ReadBytes(kept / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_TRUE(fs::is_regular_file(installation / L"TessalineSetup.exe"));
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder())) {
    EXPECT_EQ(entry.path().filename(), L"Tessaline") << "left behind: " << entry.path();
  }
}

TEST_F(InstallPipeline, LeavesNoShortcutWhenTheUserSaysSo) {
  ServeRelease(L"v1.0.0");
  ASSERT_EQ(Finished(Run()).wParam, 1U);
  ASSERT_TRUE(fs::exists(StartMenuShortcutPath()));
  cancelRequested = false;
  AddToStartMenu = false;
  MessageRecorder recorder;
  setupWindow = recorder.Window();
  InstallWorker();
  ASSERT_TRUE(recorder.WaitForFinished());
  setupWindow = nullptr;
  EXPECT_EQ(recorder.Messages().back().wParam, 1U);
  EXPECT_FALSE(fs::exists(StartMenuShortcutPath()));
}

TEST_F(InstallPipeline, WaitsWhileAnotherSetupHoldsTheInstallationAndCanBeCancelledMeanwhile) {
  ServeRelease(L"v1.0.0");
  LockHolder other;
  const auto cancelled = Run([](MessageRecorder& recorder) {
    EXPECT_TRUE(recorder.WaitForStatus(kWaiting, std::chrono::seconds(60)));
    cancelRequested = true;
  });
  EXPECT_EQ(FailureOf(cancelled), L"Installation cancelled");
  EXPECT_FALSE(fs::exists(InstallerCache()));
  EXPECT_TRUE(PartRequests().empty());

  const auto waited = Run([&other](MessageRecorder& recorder) {
    EXPECT_TRUE(recorder.WaitForStatus(kWaiting, std::chrono::seconds(60)));
    other.Release();
  });
  ASSERT_EQ(Finished(waited).wParam, 1U) << Finished(waited).text;
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"Checking the Quorvant release\u2026", kWaiting,
                                               L"Downloading Tessaline\u2026", L"Verifying the downloaded package\u2026",
                                               L"Closing Tessaline if it is running\u2026", L"Installing Tessaline\u2026"}));
}

TEST_F(InstallPipeline, ASetupKilledWhileItHoldsTheInstallationDoesNotBlockTheNext) {
  ServeRelease(L"slow");
  {
    StartedProcess setup(SetupExecutable(), {});
    // It holds the lock from before its first part request.
    bool downloading = false;
    for (int i = 0; i < 600 && !downloading; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      for (const RecordedRequest& r : ServerRequests()) downloading = downloading || r.path.find("/packages/") != std::string::npos;
    }
    ASSERT_TRUE(downloading);
    setup.Terminate(1);
    ASSERT_TRUE(setup.EndsWithin(std::chrono::seconds(10)));
  }
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kWaiting), 0);
}

// The states an update leaves when it is stopped between its moves, built
// as the activation would have left them: its journal, the old version in
// its backup folder, the run's other items beside it.
class InterruptedUpdate : public InstallPipeline {
 protected:
  void SetUp() override {
    InstallPipeline::SetUp();
    ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
    const fs::path quorvant = QuorvantProgramsFolder();
    WriteActivationJournal(quorvant, quorvant / backupName);
    fs::create_directories(quorvant / L".Tessaline-staging-4242-1" / L"Tessaline");
    WriteBytes(quorvant / L".TessalineSetup-4242-1.exe", "the killed run's copy");
    fs::rename(UserApplicationFolder(), quorvant / backupName);
    ServeRelease(L"v1.1.0");
  }

  void ExpectTheUpdateDoneWithTheUserData() {
    EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
    EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
    EXPECT_EQ(RegisteredVersion(), L"1.1.0");
    EXPECT_FALSE(fs::exists(ActivationJournalPath(QuorvantProgramsFolder())));
    ExpectNoLeftoverBut({backupName});
  }

  const std::wstring backupName = L".Tessaline-backup-4242-1";
};

TEST_F(InterruptedUpdate, CutOffAfterTheOldVersionWasMovedAside) {
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(lines.back(), L"Updating Tessaline\u2026");
  ExpectTheUpdateDoneWithTheUserData();
}

TEST_F(InterruptedUpdate, CutOffAfterTheNewVersionWasMovedIn) {
  // The new version in place: the package's files only, no kept data and no
  // copies of Setup.
  const fs::path installation = UserApplicationFolder();
  fs::copy(QuorvantProgramsFolder() / backupName, installation, fs::copy_options::recursive);
  fs::remove(installation / L"TessalineSetup.exe");
  fs::remove(installation / L"TessalineUninstall.exe");
  fs::remove_all(KeptFolder());
  fs::create_directories(KeptFolder());
  WriteBytes(KeptFolder() / L"shipped.bin", "shipped with 1.1.0\n");
  WriteBytes(installation / L"sample-version.txt", "1.1.0\n");

  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  ExpectTheUpdateDoneWithTheUserData();
}

TEST_F(InstallPipeline, RemovesTheBackupOfAFinishedUpdateInsteadOfRestoringIt) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  // A cleanup worker that could not delete it: no journal names it.
  const fs::path stale = QuorvantProgramsFolder() / L".Tessaline-backup-4242-2";
  fs::copy(UserApplicationFolder(), stale, fs::copy_options::recursive);
  WriteBytes(stale / L"resources" / L"fennor" / L"bin" / L"accelerations" / L"user-model.bin", "older data");

  // The temporary copies earlier cleanup and uninstall workers ran from:
  // Windows deletes them at a restart only for an administrator.
  const fs::path temp = fs::temp_directory_path();
  const fs::path workerCopies[] = {temp / L"TessalineCleanup-4242.exe", temp / L"TessalineUninstall-4242.exe"};
  for (const fs::path& copy : workerCopies) fs::copy_file(SetupExecutable(), copy, fs::copy_options::overwrite_existing);
  WriteBytes(temp / L"TessalineCleanup-notes.txt", "not a copy of Setup");

  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  ExpectNoLeftoverBut({stale.filename().native()});
  for (const fs::path& copy : workerCopies) EXPECT_FALSE(fs::exists(copy)) << copy;
  EXPECT_TRUE(fs::exists(temp / L"TessalineCleanup-notes.txt"));
  fs::remove(temp / L"TessalineCleanup-notes.txt");
}

fs::path FindSetupCopy() {
  const std::wstring_view prefix = L".TessalineSetup-";
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder())) {
    const std::wstring name = entry.path().filename().native();
    if (std::wstring_view(name).substr(0, prefix.size()) == prefix) return entry.path();
  }
  return {};
}

UniqueFile heldSetupCopy;

TEST_F(InstallPipeline, ACopyOfSetupThatCannotBeDeletedDoesNotUndoAFinishedUpdate) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  ServeRelease(L"v1.1.0");
  // Open without delete sharing from just before the activation: deleting
  // the copy, its last step, fails.
  stageObserver = [](const char* stage) {
    if (std::string(stage) != "activation") return;
    heldSetupCopy.Reset(CreateFileW(FindSetupCopy().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  const auto messages = Run();
  stageObserver = nullptr;
  EXPECT_TRUE(heldSetupCopy.Valid());
  heldSetupCopy.Reset();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_EQ(RegisteredVersion(), L"1.1.0");

  // The copy left behind goes with the next run.
  ASSERT_EQ(Finished(Run()).wParam, 1U);
  EXPECT_EQ(FindSetupCopy(), fs::path());
}

}  // namespace
}  // namespace tessaline

// The installation copies this program as Setup and may start that copy as
// the cleanup worker: it must then act as Setup does, not run the tests.
int main(int argc, char** argv) {
  const tessaline::ModeChoice choice = tessaline::SelectMode(tessaline::SplitCommandLine(GetCommandLineW()));
  if (choice.mode != tessaline::SetupMode::Interactive) {
    return tessaline::RunSetup(GetModuleHandleW(nullptr), L"", SW_HIDE);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
