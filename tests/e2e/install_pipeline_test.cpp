// The install worker on its own, driven by a hidden window that records what
// it posts, against published releases of the sample application served
// over TLS; the prefix's files, registry and Start menu are the evidence.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/current_user.h"
#include "common/install_session.h"
#include "common/text_conversion.h"
#include "entry/mode_selection.h"
#include "entry/setup_entry.h"
#include "install/install_worker.h"
#include "install/unattended_update.h"
#include "install_test_support.h"
#include "installation/activation_journal.h"
#include "installation/installation_lock.h"
#include "installation/temporary_items.h"
#include "message_recorder.h"
#include "ui_driver.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace tessaline::testing;

// A release's chunk map lies beside its parts on the package host.
bool IsChunkMapPath(const std::string& path) { return fs::path(path).extension() == L".chunks"; }

class InstallPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetEverythingInstalled();
    ResetServer();
  }

  // One run of the worker, as the window would start it. `during` runs on
  // the test's thread while the worker runs on its own.
  std::vector<RecordedMessage> Run(const std::function<void(MessageRecorder&)>& during = {}) {
    // A fresh session for every run, as every Setup process has; what observes
    // the stages stays.
    const StageObserver observer = session->stageObserver.load();
    session = std::make_unique<InstallSession>();
    session->stageObserver = observer;
    MessageRecorder recorder;
    if (!recorder.HasWindow()) {
      ADD_FAILURE() << "no window could be made: is DISPLAY set?";
      return {RecordedMessage{}};
    }
    session->window = recorder.Window();
    std::thread worker([this] { InstallWorker(*session); });
    if (during) during(recorder);
    worker.join();
    EXPECT_TRUE(recorder.WaitForFinished());
    session->window = nullptr;
    lines = recorder.StatusLines();
    return recorder.Messages();
  }

  // One update as `--update` runs it, in this process; its exit code.
  // `metered` stands for the system's answer about the connection.
  int RunUnattended(std::function<bool()> metered = [] { return false; }) {
    const StageObserver observer = session->stageObserver.load();
    session = std::make_unique<InstallSession>();
    session->stageObserver = observer;
    UnattendedUpdate host(std::move(metered));
    InstallWorker(*session, host);
    return host.ExitCode();
  }
  // The record's lines, each split at its tabs.
  static std::vector<std::vector<std::string>> UpdateRecord() {
    std::vector<std::vector<std::string>> lines;
    std::istringstream text(ReadBytes(UpdateRecordPath()));
    for (std::string line; std::getline(text, line);) {
      std::vector<std::string> fields;
      std::istringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      lines.push_back(fields);
    }
    return lines;
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
      if (r.path.rfind("/packages/", 0) == 0 && !IsChunkMapPath(r.path)) paths.push_back(r.path);
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
  std::unique_ptr<InstallSession> session = std::make_unique<InstallSession>();
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
  if (!fs::exists(QuorvantProgramsFolder())) return names;
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

// Every file and folder under `root`, relative and in order.
std::vector<fs::path> TreeOf(const fs::path& root) {
  std::vector<fs::path> items;
  for (const auto& entry : fs::recursive_directory_iterator(root)) items.push_back(fs::relative(entry.path(), root));
  std::sort(items.begin(), items.end());
  return items;
}

fs::path FindStagedShippedFile() {
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder())) {
    if (!StartsWith(entry.path().filename().native(), kStagingPrefix)) continue;
    for (const auto& inner : fs::recursive_directory_iterator(entry.path())) {
      if (inner.path().filename() == L"shipped.bin") return inner.path();
    }
  }
  return {};
}

// A virus scanner or an indexer that opens the new version's file in a kept
// folder just as the activation begins, without delete sharing: the package's
// copy of the folder cannot be replaced and the update fails.
UniqueFile heldShippedFile;
void HoldShippedFileFromTheActivation(const char* stage) {
  if (std::string(stage) != "activation") return;
  heldShippedFile.Reset(CreateFileW(FindStagedShippedFile().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::vector<std::string> markedStages;

// A scanner that opens the kept folder in the freshly renamed backup, without
// delete sharing, as the carry begins, and lets it go a moment later: the
// folder cannot be moved until then.
UniqueFile heldBackupFolder;
bool scannerHeld = false;
std::thread scanner;
void HoldTheBackupsKeptFolderForAMoment(const char* stage) {
  if (std::string(stage) != "carrying-kept-folder" || scanner.joinable()) return;
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder())) {
    const fs::path kept = entry.path() / L"resources\\fennor\\bin\\accelerations";
    if (!StartsWith(entry.path().filename().native(), kBackupPrefix) || !fs::is_directory(kept)) continue;
    heldBackupFolder.Reset(CreateFileW(kept.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  scannerHeld = heldBackupFolder.Valid();
  scanner = std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    heldBackupFolder.Reset();
  });
}

TEST_F(InstallPipeline, InstallsWhenNothingIsInstalled) {
  ServeRelease(L"v1.0.0");
  // The marks that measurements split the pipeline by, in the worker's order.
  markedStages.clear();
  session->stageObserver = [](const char* stage) { markedStages.emplace_back(stage); };
  const auto messages = Run();
  session->stageObserver = nullptr;
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  // The stream starts with the download; the last part may arrive before
  // the stream has taken the first.
  const auto verify = std::find(markedStages.begin(), markedStages.end(), "verify");
  ASSERT_NE(verify, markedStages.end());
  EXPECT_GT(verify - markedStages.begin(), 2);
  markedStages.erase(verify);
  EXPECT_EQ(markedStages, (std::vector<std::string>{"manifest", "download", "extract", "unpacking",
                                                    "close application", "smoke test", "activation", "moving-old-aside",
                                                    "moving-new-in", "registering", "finished"}));
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"Checking the Quorvant release\u2026", L"Downloading Tessaline\u2026",
                                               L"Verifying the downloaded package\u2026",
                                               L"Closing Tessaline if it is running\u2026", L"Installing Tessaline\u2026"}));
  ASSERT_EQ(messages[1].message, ReleaseInfoMessage);
  EXPECT_EQ(messages[1].decision->action, LifecycleAction::Install);
  EXPECT_EQ(messages[1].decision->installedVersion, "");
  EXPECT_EQ(messages[1].decision->availableVersion, "1.0.0");

  const fs::path installation = UserApplicationFolder();
  EXPECT_EQ(session->launchPath, installation / L"Tessaline.exe");
  for (const wchar_t* file : {L"Tessaline.exe", L"TessalineSetup.exe", L"TessalineUninstall.exe", L"sample-version.txt"}) {
    EXPECT_TRUE(fs::is_regular_file(installation / file)) << file;
  }
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");
  EXPECT_TRUE(fs::is_regular_file(StartMenuShortcutPath()));
  // The parts are unpacked as one stream: the cache holds the parts, and
  // the package is never written whole.
  for (const auto& entry : fs::directory_iterator(InstallerCache() / L"1.0.0")) {
    EXPECT_EQ(entry.path().filename().native().rfind(L"Tessaline-1.0.0-windows-x64.tar.gz.", 0), 0U) << entry.path();
    EXPECT_NE(entry.path().extension(), L".partial") << entry.path();
  }
  EXPECT_EQ(session->progressCounters.bytesDone.load(), session->progressCounters.bytesTotal.load());
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
  // The application, started again while the update ran, writes its first
  // data into the other kept folder just before the old version moves aside.
  session->stageObserver = [](const char* stage) {
    if (std::string(stage) != "moving-old-aside") return;
    const fs::path second = UserApplicationFolder() / L"resources\\fennor\\bin\\cache\\accelerations";
    fs::create_directories(second);
    WriteBytes(second / L"first.bin", "written during the update");
  };
  const auto update = Run();
  session->stageObserver = nullptr;
  ASSERT_EQ(Finished(update).wParam, 1U) << Finished(update).text;
  EXPECT_EQ(ReadBytes(installation / L"resources\\fennor\\bin\\cache\\accelerations\\first.bin"),
            "written during the update");
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
  // The cache keeps what the next run needs, the installed version's parts
  // and its chunk map, and no package and no other version.
  std::vector<fs::path> parts{L"1.1.0"};
  for (const fs::path& part : TreeOf(ServedPartsFolder(L"v1.1.0"))) parts.push_back(L"1.1.0" / part);
  EXPECT_EQ(TreeOf(InstallerCache()), parts);

  // The kept folder stays in use for a moment after the old version moved
  // aside; it is carried once it is free.
  ResetServer();
  session->stageObserver = HoldTheBackupsKeptFolderForAMoment;
  const auto repair = Run();
  session->stageObserver = nullptr;
  ASSERT_TRUE(scanner.joinable());
  scanner.join();
  EXPECT_TRUE(scannerHeld);
  ASSERT_EQ(Finished(repair).wParam, 1U) << Finished(repair).text;
  EXPECT_EQ(repair[1].decision->action, LifecycleAction::Repair);
  EXPECT_EQ(lines.back(), L"Repairing Tessaline\u2026");
  EXPECT_EQ(ReadBytes(kept / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_TRUE(PartRequests().empty());
  EXPECT_EQ(TreeOf(InstallerCache()), parts);
}

// An update from delta-1.0.0 to delta-1.1.0 (one model changed, one added)
// takes what it can from 1.0.0's cached parts and fetches the rest as closed
// ranges; whatever is wrong with that path, the parts come whole instead and
// the update installs the same files.
TEST_F(InstallPipeline, AnUpdateFetchesOnlyWhatChangedAndWholePartsWhenItCannot) {
  const fs::path newApp = ReleasesFolder() / L"delta-1.1.0" / L"app";
  const fs::path published = ReleasesFolder() / L"delta-1.1.0" / L"package-host" / L"packages" / L"delta-1.1.0";
  std::vector<std::string> partPaths;
  std::map<std::string, std::uint64_t> partSizes;
  fs::path map;
  std::uint64_t packageSize = 0;
  for (const fs::path& file : TreeOf(published)) {
    if (file.extension() == L".chunks") {
      map = ServedPartsFolder(L"delta-1.1.0") / file;  // as served, once the release is
    } else {
      partPaths.push_back("/packages/delta-1.1.0/" + WideToUtf8(file.native()));
      partSizes[partPaths.back()] = fs::file_size(published / file);
      packageSize += fs::file_size(published / file);
    }
  }
  ASSERT_FALSE(map.empty());
  ASSERT_GE(partPaths.size(), 3U);

  struct Fetched {
    std::uint64_t bytes = 0;  // what the server sent, refused answers included
    int mapRequests = 0;
    int closedRanges = 0;
    int wholeOrRest = 0;  // part requests without a closed range
    // By part: asked for in closed ranges; then served whole, every byte
    // sent. How much of a refused answer a server wrote before Setup hung up
    // depends on socket buffers and load, so only whole answers are counted.
    std::set<std::string> ranged;
    std::set<std::string> servedWhole;
  };
  // 1.0.0 installed from nothing, then the update after `prepare`; the
  // installation must hold exactly 1.1.0's files, but for the kept folder,
  // which keeps 1.0.0's data, and Setup's own copies.
  const auto update = [&](const char* what, const std::function<void()>& prepare) {
    SCOPED_TRACE(what);
    ForgetEverythingInstalled();
    ServeRelease(L"delta-1.0.0");
    EXPECT_EQ(Finished(Run()).wParam, 1U);
    ServeRelease(L"delta-1.1.0");
    ResetServer();
    if (prepare) prepare();
    const auto messages = Run();
    EXPECT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
    EXPECT_EQ(session->progressCounters.bytesDone.load(), packageSize);
    const fs::path installation = UserApplicationFolder();
    for (const fs::path& item : TreeOf(installation)) {
      const std::wstring name = item.native();
      if (name == L"TessalineSetup.exe" || name == L"TessalineUninstall.exe") continue;
      EXPECT_TRUE(fs::exists(newApp / item)) << "not in 1.1.0: " << item;
      if (!fs::is_regular_file(newApp / item) || StartsWith(name, L"resources\\fennor\\bin\\accelerations")) continue;
      EXPECT_EQ(ReadBytes(installation / item), ReadBytes(newApp / item)) << item;
    }
    for (const fs::path& item : TreeOf(newApp)) EXPECT_TRUE(fs::exists(installation / item)) << item;
    Fetched fetched;
    std::map<std::string, std::uint64_t> fetchedAgain;  // by part: its bytes a whole or open request asked for
    for (const RecordedRequest& r : ServerRequests()) {
      if (r.path.rfind("/packages/delta-1.1.0/", 0) != 0) continue;
      fetched.bytes += r.bytesSent;
      if (IsChunkMapPath(r.path)) {
        fetched.mapRequests += 1;
      } else if (r.range.find('-') != std::string::npos && r.range.back() != '-') {
        fetched.closedRanges += 1;
        fetched.ranged.insert(r.path);
      } else {
        if (r.range.empty() && r.status == 200 && r.bytesSent == partSizes[r.path]) fetched.servedWhole.insert(r.path);
        fetched.wholeOrRest += 1;
        const std::uint64_t from = r.range.empty() ? 0 : std::stoull(r.range.substr(r.range.find('=') + 1));
        fetchedAgain[r.path] = std::max(fetchedAgain[r.path], partSizes[r.path] - from);
      }
    }
    // Bytes counted as there at the start and then fetched after all are no
    // longer counted so: the rate counts only what was fetched.
    std::uint64_t again = 0;
    for (const auto& [path, bytes] : fetchedAgain) again += bytes;
    EXPECT_LE(session->progressCounters.bytesAtStart.load(), packageSize - again);
    return fetched;
  };
  const auto armEveryPart = [&](const std::string& faults) {
    for (const std::string& path : partPaths) ArmFault(faults, path);
  };

  const Fetched changed = update("a cached 1.0.0", {});
  EXPECT_EQ(changed.mapRequests, 1);
  EXPECT_GT(changed.closedRanges, 0);
  EXPECT_EQ(changed.wholeOrRest, 0);
  EXPECT_LT(changed.bytes, packageSize / 3) << "of " << packageSize;
  EXPECT_GT(session->progressCounters.bytesAtStart.load(), packageSize / 2);  // the reused bytes count as there

  // 1.0.0's parts kept without their map, as a Setup that knew none left
  // them: they are cut to find the chunks.
  const Fetched cut = update("a cached 1.0.0 without its map", [] {
    for (const auto& entry : fs::directory_iterator(InstallerCache() / L"1.0.0")) {
      if (entry.path().extension() == L".chunks") fs::remove(entry.path());
    }
  });
  EXPECT_EQ(cut.wholeOrRest, 0);
  EXPECT_LT(cut.bytes, packageSize / 3);

  const Fetched noCache = update("no cached 1.0.0", [] { fs::remove_all(InstallerCache() / L"1.0.0"); });
  EXPECT_EQ(noCache.mapRequests, 1);
  EXPECT_EQ(noCache.closedRanges, 0);
  EXPECT_GE(noCache.bytes, packageSize);

  const Fetched badMap = update("a map that fails its digest", [&] {
    std::string bytes = ReadBytes(map);
    bytes[bytes.size() / 2] ^= 0x01;
    WriteBytes(map, bytes);
  });
  EXPECT_EQ(badMap.mapRequests, 1);
  EXPECT_EQ(badMap.closedRanges, 0);
  EXPECT_GE(badMap.bytes, packageSize);

  const Fetched damaged = update("a damaged cached part", [] {
    const fs::path part = InstallerCache() / L"1.0.0" / L"Tessaline-1.0.0-windows-x64.tar.gz.002";
    std::string bytes = ReadBytes(part);
    for (std::size_t i = 1000; i < bytes.size(); i += 50000) bytes[i] ^= 0x55;
    WriteBytes(part, bytes);
  });
  EXPECT_GT(damaged.bytes, changed.bytes);

  // Every part it asked ranges of comes whole instead.
  const Fetched whole = update("a host that answers ranges with the whole part", [&] { armEveryPart("ignore-range"); });
  EXPECT_GT(whole.closedRanges, 0);
  EXPECT_EQ(whole.servedWhole, whole.ranged);

  const Fetched other = update("a host that answers another range", [&] { armEveryPart("range-before=1000,times=1"); });
  EXPECT_GT(other.closedRanges, 0);
  EXPECT_GT(other.wholeOrRest, 0);
}

// The scheduled task's update: nothing where nothing is installed, nothing
// on a metered connection, the update when one is due, and nothing moved
// when the newest release is installed; each run one line of the record.
TEST_F(InstallPipeline, AnUnattendedUpdateDoesOnlyWhatIsDueAndRecordsEachRun) {
  ServeRelease(L"v1.0.0");
  EXPECT_EQ(RunUnattended(), kUpdateFailed);
  EXPECT_FALSE(fs::exists(UserApplicationFolder()));
  EXPECT_TRUE(PartRequests().empty());
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());

  ServeRelease(L"v1.1.0");
  ResetServer();
  EXPECT_EQ(RunUnattended([] { return true; }), kUpdateSucceeded);
  EXPECT_TRUE(ServerRequests().empty());
  EXPECT_EQ(RunUnattended(), kUpdateSucceeded);
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_EQ(RegisteredVersion(), L"1.1.0");

  // A repair would move the folder, and this with it.
  WriteBytes(UserApplicationFolder() / L"untouched.txt", "");
  ResetServer();
  EXPECT_EQ(RunUnattended(), kUpdateSucceeded);
  EXPECT_TRUE(fs::exists(UserApplicationFolder() / L"untouched.txt"));
  EXPECT_TRUE(PartRequests().empty());

  // The window's runs are not in it.
  const auto record = UpdateRecord();
  ASSERT_EQ(record.size(), 4U);
  const std::vector<std::array<std::string, 4>> expected{
      {"-", "1.0.0", "1", "failed: Tessaline is not installed for this user"},
      {"1.0.0", "-", "0", "the connection is metered: nothing downloaded"},
      {"1.0.0", "1.1.0", "0", "installed 1.1.0"},
      {"1.1.0", "1.1.0", "0", "the newest release is installed"}};
  for (std::size_t i = 0; i < record.size(); ++i) {
    ASSERT_EQ(record[i].size(), 5U) << i;
    EXPECT_EQ(record[i][0].size(), 20U) << record[i][0];  // 2026-12-09T03:30:00Z
    EXPECT_EQ(record[i][1], expected[i][0]) << i;
    EXPECT_EQ(record[i][2], expected[i][1]) << i;
    EXPECT_EQ(record[i][3], expected[i][2]) << i;
    EXPECT_EQ(record[i][4], expected[i][3]) << i;
  }
}

// Tessaline is never closed under its user: the update waits for it, then
// leaves the verified parts for the next run, which downloads nothing but
// the manifest and its signature.
TEST_F(InstallPipeline, AnUnattendedUpdateWaitsForTessalineToCloseAndThenNeedsNoDownload) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  ServeRelease(L"v1.1.0");
  {
    StartedProcess running(UserApplicationFolder() / L"Tessaline.exe", {});
    ASSERT_TRUE(WaitUntil([&] { return FindProcessWindow(running.Id(), L"TessalineSampleWindow") != nullptr; }));
    // What waits for Tessaline is downloaded, and unpacked only once it
    // has ended: not at every try.
    markedStages.clear();
    session->stageObserver = [](const char* stage) { markedStages.emplace_back(stage); };
    EXPECT_EQ(RunUnattended(), kUpdateDeferred);
    session->stageObserver = nullptr;
    EXPECT_EQ(std::count(markedStages.begin(), markedStages.end(), "extract"), 0);
    EXPECT_FALSE(running.EndsWithin(std::chrono::seconds(0)));
    EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.0.0\n");
    EXPECT_EQ(UpdateRecord().back().at(3), "3");
  }
  ResetServer();
  EXPECT_EQ(RunUnattended(), kUpdateSucceeded);
  EXPECT_TRUE(PartRequests().empty());
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  ExpectNoLeftoverBut({});
}

// An update brings the release's own Setup: the installation carries it,
// byte for byte, as its Setup and its uninstaller. A file on the host that is
// not the one the manifest names is never installed.
TEST_F(InstallPipeline, AnUpdateInstallsTheReleasesOwnSetupAndNoOther) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  const fs::path installation = UserApplicationFolder();
  const auto servedSetup = [](const wchar_t* release) {
    return ReadBytes(ReleasesFolder() / release / L"package-host" / L"packages" / release / L"TessalineSetup.exe");
  };
  ServeRelease(L"other-setup");
  EXPECT_EQ(FailureOf(Run()), L"Downloaded part verification failed: TessalineSetup.exe");
  EXPECT_EQ(ReadBytes(installation / L"sample-version.txt"), "1.0.0\n");
  EXPECT_TRUE(ReadBytes(installation / L"TessalineSetup.exe") != servedSetup(L"other-setup"));

  ServeRelease(L"with-setup");
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  const std::string release = servedSetup(L"with-setup");
  EXPECT_TRUE(ReadBytes(installation / L"TessalineSetup.exe") == release);
  EXPECT_TRUE(ReadBytes(installation / L"TessalineUninstall.exe") == release);
  EXPECT_EQ(session->progressCounters.bytesDone.load(), session->progressCounters.bytesTotal.load());

  // That Setup, started as the scheduled task starts it: from the
  // installation it goes on in a temporary copy, and ends with its code.
  const auto update = [&] {
    StartedProcess task(installation / L"TessalineSetup.exe", {L"--update"});
    EXPECT_TRUE(task.EndsWithin(std::chrono::seconds(120)));
    EXPECT_TRUE(fs::exists(fs::temp_directory_path() / (L"TessalineSetup-" + std::to_wstring(task.Id()) + L".exe")));
    return task.ExitCode();
  };
  EXPECT_EQ(update(), static_cast<DWORD>(kUpdateSucceeded));
  EXPECT_EQ(UpdateRecord().back().at(4), "the newest release is installed");
  ServeRelease(L"v1.0.0");
  EXPECT_EQ(update(), static_cast<DWORD>(kUpdateFailed));
  EXPECT_EQ(UpdateRecord().back().at(4).rfind("failed: A newer Tessaline 1.1.0 is already installed.", 0), 0U);
}

// A signing older than one already accepted, or past its expiry, is refused
// once its signature has checked, whatever else it offers; the highest
// accepted sequence outlives an uninstall, so a removal opens no way back.
TEST_F(InstallPipeline, RefusesAReplayedOrExpiredSigningAlsoAfterAnUninstall) {
  // The installation registers its scheduled update; the uninstall removes it.
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const fs::path task = fs::path(system) / L"Tasks" / (L"Tessaline Update " + CurrentUserSid("no SID"));
  fs::remove(task);
  ServeRelease(L"v1.0.0");
  ASSERT_EQ(Finished(Run()).wParam, 1U);
  EXPECT_TRUE(fs::exists(task));  // Wine keeps the settings, not the command (see update_task_test)
  ResetServer();
  ServeRelease(L"replayed");
  EXPECT_EQ(FailureOf(Run()), L"Outdated Tessaline release manifest");
  ServeRelease(L"expired");
  EXPECT_EQ(FailureOf(Run()), L"Expired Tessaline release manifest");
  EXPECT_TRUE(PartRequests().empty());

  const fs::path installation = UserApplicationFolder();
  EXPECT_EQ(RunProcess(installation / L"TessalineUninstall.exe", {L"--uninstall", L"--quiet"}), 0U);
  ASSERT_TRUE(WaitUntil([&] { return !fs::exists(installation) && RegisteredVersion() == L"<none>"; }));
  EXPECT_FALSE(fs::exists(task));
  ServeRelease(L"replayed");
  EXPECT_EQ(FailureOf(Run()), L"Outdated Tessaline release manifest");
  EXPECT_FALSE(fs::exists(installation));
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
  EXPECT_EQ(session->progressCounters.bytesAtStart.load(), session->progressCounters.bytesTotal.load());
  EXPECT_TRUE(PartRequests().empty());
}

TEST_F(InstallPipeline, DiscardsAnOversizeCachedPart) {
  ServeRelease(L"v1.0.0");
  const fs::path cache = InstallerCache() / L"1.0.0";
  fs::create_directories(cache);
  WriteBytes(cache / L"Tessaline-1.0.0-windows-x64.tar.gz.001", std::string(262144 + 999, 'x'));
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  // Counted at the part's size, then taken back as it was discarded: what
  // was there at the start is nothing, and the end is the package exactly.
  EXPECT_EQ(session->progressCounters.bytesAtStart.load(), 0U);
  EXPECT_EQ(session->progressCounters.bytesDone.load(), session->progressCounters.bytesTotal.load());
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
  EXPECT_TRUE(session->cancelRequested.load());
  EXPECT_FALSE(fs::exists(UserApplicationFolder()));
}

TEST_F(InstallPipeline, ACancelDuringTheManifestStopsBeforeAnyPart) {
  ServeRelease(L"v1.0.0");
  session->cancelRequested = true;
  MessageRecorder recorder;
  session->window = recorder.Window();
  InstallWorker(*session);
  ASSERT_TRUE(recorder.WaitForFinished());
  session->window = nullptr;
  EXPECT_EQ(FailureOf(recorder.Messages()), L"Installation cancelled");
  EXPECT_TRUE(PartRequests().empty());
  // The manifest's fetch ends at once, and nothing follows it.
  for (const RecordedRequest& r : ServerRequests()) EXPECT_EQ(r.path.find(".sig"), std::string::npos) << r.path;
}

// A part damaged on disk after its own check and before the stream reaches
// it: the last part, once its download has let go of it whole, while the
// stream holds after its first part.
void DamageTheLastPartOnceDownloaded(const char* stage) {
  if (std::string(stage) != "unpacking") return;
  const wchar_t* name = L"Tessaline-1.0.0-windows-x64.tar.gz.003";
  const auto whole = static_cast<LONGLONG>(fs::file_size(ServedPartsFolder(L"v1.0.0") / name));
  const fs::path part = InstallerCache() / L"1.0.0" / name;
  for (int i = 0; i < 600; ++i) {
    const UniqueFile file(CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (file && GetFileSizeEx(file.Get(), &size) && size.QuadPart == whole) {
      char byte = 0;
      DWORD done = 0;
      SetFilePointer(file.Get(), static_cast<LONG>(whole / 2), nullptr, FILE_BEGIN);
      ReadFile(file.Get(), &byte, 1, &done, nullptr);
      byte ^= 0x20;
      SetFilePointer(file.Get(), static_cast<LONG>(whole / 2), nullptr, FILE_BEGIN);
      WriteFile(file.Get(), &byte, 1, &done, nullptr);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ADD_FAILURE() << "the last part never arrived whole";
}

// Whole-package checks fail before the smoke test, with nothing activated
// and nothing unpacked left: parts that do not make the signed whole, and a
// part damaged after its download.
TEST_F(InstallPipeline, RefusesPartsWhoseWholeDoesNotMatch) {
  ServeRelease(L"wrong-package-digest");
  markedStages.clear();
  session->stageObserver = [](const char* stage) { markedStages.emplace_back(stage); };
  EXPECT_EQ(FailureOf(Run()), L"The complete package failed verification");
  EXPECT_EQ(std::count(markedStages.begin(), markedStages.end(), "smoke test"), 0);
  EXPECT_FALSE(fs::exists(UserApplicationFolder()));
  ExpectNoLeftoverBut({});
  ResetServer();
  EXPECT_EQ(FailureOf(Run()), L"The complete package failed verification");
  EXPECT_TRUE(PartRequests().empty());

  ServeRelease(L"v1.0.0");
  session->stageObserver = DamageTheLastPartOnceDownloaded;
  EXPECT_EQ(FailureOf(Run()), L"The complete package failed verification");
  session->stageObserver = nullptr;
  EXPECT_FALSE(fs::exists(UserApplicationFolder()));
  EXPECT_EQ(RegisteredVersion(), L"<none>");
  ExpectNoLeftoverBut({});
  // The damaged part is found out by the next run's check, and fetched again.
  ResetServer();
  ASSERT_EQ(Finished(Run()).wParam, 1U);
  EXPECT_EQ(PartRequests().size(), 1U);
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

TEST_F(InstallPipeline, PutsThePreviousVersionBackWithItsDataWhenActivationFails) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  const fs::path installation = UserApplicationFolder();
  ServeRelease(L"v1.1.0");
  session->stageObserver = HoldShippedFileFromTheActivation;
  const std::wstring failure = FailureOf(Run());
  session->stageObserver = nullptr;
  EXPECT_TRUE(heldShippedFile.Valid());
  heldShippedFile.Reset();
  EXPECT_EQ(failure.rfind(L"remove_all: ", 0), 0U) << failure;
  EXPECT_EQ(ReadBytes(installation / L"sample-version.txt"), "1.0.0\n");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"shipped.bin"), "shipped with 1.0.0\n");
  EXPECT_TRUE(fs::is_regular_file(installation / L"TessalineUninstall.exe"));
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");

  // Nothing is left that a later run could mistake for an update to finish;
  // the staging folder that held the file goes with it.
  const auto retried = Run();
  ASSERT_EQ(Finished(retried).wParam, 1U) << Finished(retried).text;
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  ExpectNoLeftoverBut({});
}

TEST_F(InstallPipeline, LeavesNoShortcutWhenTheUserSaysSo) {
  ServeRelease(L"v1.0.0");
  ASSERT_EQ(Finished(Run()).wParam, 1U);
  ASSERT_TRUE(fs::exists(StartMenuShortcutPath()));
  session->cancelRequested = false;
  session->AddToStartMenu = false;
  MessageRecorder recorder;
  session->window = recorder.Window();
  InstallWorker(*session);
  ASSERT_TRUE(recorder.WaitForFinished());
  session->window = nullptr;
  EXPECT_EQ(recorder.Messages().back().wParam, 1U);
  EXPECT_FALSE(fs::exists(StartMenuShortcutPath()));
}

TEST_F(InstallPipeline, WaitsWhileAnotherSetupHoldsTheInstallationAndCanBeCancelledMeanwhile) {
  ServeRelease(L"v1.0.0");
  LockHolder other;
  const auto cancelled = Run([this](MessageRecorder& recorder) {
    EXPECT_TRUE(recorder.WaitForStatus(kWaiting, std::chrono::seconds(60)));
    session->cancelRequested = true;
  });
  EXPECT_EQ(FailureOf(cancelled), L"Installation cancelled");
  EXPECT_FALSE(fs::exists(InstallerCache()));
  EXPECT_TRUE(PartRequests().empty());

  const auto waited = Run([&other](MessageRecorder& recorder) {
    EXPECT_TRUE(recorder.WaitForStatus(kWaiting, std::chrono::seconds(60)));
    other.Release();
  });
  ASSERT_EQ(Finished(waited).wParam, 1U) << Finished(waited).text;
  EXPECT_EQ(lines, (std::vector<std::wstring>{kWaiting, L"Checking the Quorvant release\u2026",
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

// Updates ended at each stage of their installation, as a crash, a power cut
// or Task Manager ends them: the update runs in a process of its own that
// ends itself the moment the stage is recorded. The next run, with the
// release service unreachable, must leave a whole installation with the
// user's data, and the one after that finish the update. Without the
// journal is how an older Setup, or a journal lost with the disk, leaves it.
struct Cut {
  const char* stage;
  bool failing;  // the update fails at its first kept folder and rolls back
};
constexpr Cut kCuts[] = {{"extract", false},           {"unpacking", false}, {"smoke test", false},  {"moving-old-aside", false},
                         {"carrying-kept-folder", false}, {"moving-new-in", false}, {"registering", false},
                         {"rolling-back", true}};
constexpr int kCutExitCode = 43;

class UpdateCutOff : public InstallPipeline {
 protected:
  void CutAtEveryStage(bool keepJournal) {
    for (const Cut& cut : kCuts) {
      SCOPED_TRACE(std::string("ended at ") + cut.stage + (keepJournal ? ", journal kept" : ", journal lost"));
      SetUp();
      ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
      ServeRelease(L"v1.1.0");
      {
        std::vector<std::wstring> arguments{L"--cut-at", Utf8ToWide(cut.stage)};
        if (cut.failing) arguments.emplace_back(L"--hold-shipped");
        StartedProcess update(OwnExecutable(), arguments);
        ASSERT_TRUE(update.EndsWithin(std::chrono::seconds(120)));
        ASSERT_EQ(update.ExitCode(), static_cast<DWORD>(kCutExitCode)) << "the stage was never reached";
      }
      const fs::path journal = ActivationJournalPath(QuorvantProgramsFolder());
      if (!keepJournal) fs::remove(journal);

      fs::remove_all(ServerRoot() / L"api");
      EXPECT_NE(FailureOf(Run()), L"");
      const fs::path installation = UserApplicationFolder();
      // Without the journal a new version complete in place stays, still
      // registered as the old one until the next run updates it.
      if (keepJournal) {
        EXPECT_EQ(ReadBytes(installation / L"sample-version.txt"), fs::path(RegisteredVersion()).string() + "\n");
      }
      for (const wchar_t* file : {L"Tessaline.exe", L"TessalineSetup.exe", L"TessalineUninstall.exe"}) {
        EXPECT_TRUE(fs::is_regular_file(installation / file)) << file;
      }
      EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
      EXPECT_FALSE(fs::exists(journal));

      ServeRelease(L"v1.1.0");
      const auto messages = Run();
      ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
      EXPECT_EQ(ReadBytes(installation / L"sample-version.txt"), "1.1.0\n");
      EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
      EXPECT_EQ(RegisteredVersion(), L"1.1.0");
      ExpectNoLeftoverBut({});
    }
  }

  // An update in a process of its own, ended the moment it records `stage`.
  static void CutAnUpdateAt(const wchar_t* stage) {
    StartedProcess update(OwnExecutable(), {L"--cut-at", stage});
    ASSERT_TRUE(update.EndsWithin(std::chrono::seconds(120)));
    ASSERT_EQ(update.ExitCode(), static_cast<DWORD>(kCutExitCode)) << "the stage was never reached";
  }

  static fs::path OwnExecutable() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
  }
};

TEST_F(UpdateCutOff, AtEachStageWithItsJournal) { CutAtEveryStage(true); }
TEST_F(UpdateCutOff, AtEachStageWithoutAJournal) { CutAtEveryStage(false); }

// Every copy of the kept folder under the Quorvant folder, by content.
std::multiset<std::string> CopiesOfTheUserModel() {
  std::multiset<std::string> copies;
  for (const auto& entry : fs::recursive_directory_iterator(QuorvantProgramsFolder())) {
    if (entry.path().filename() == L"user-model.bin") copies.insert(ReadBytes(entry.path()));
  }
  return copies;
}

// The journal damaged while the carry had taken the user's kept folder into
// the new version, beside an older backup that still holds an older copy of
// that folder: the backup goes back with its copy, and the other is set
// aside, not removed with the staging folder.
TEST_F(UpdateCutOff, WithADamagedJournalBesideAnOlderBackupThatHoldsData) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  ServeRelease(L"v1.1.0");
  ASSERT_NO_FATAL_FAILURE(CutAnUpdateAt(L"moving-new-in"));
  const fs::path quorvant = QuorvantProgramsFolder();
  WriteBytes(ActivationJournalPath(quorvant), "tessaline-activation 1\nphase carrying-ke");
  fs::path backup;
  for (const auto& entry : fs::directory_iterator(quorvant)) {
    if (StartsWith(entry.path().filename().native(), kBackupPrefix)) backup = entry.path();
  }
  ASSERT_FALSE(backup.empty());
  const fs::path older = quorvant / L".Tessaline-backup-4242-3";
  fs::copy(backup, older, fs::copy_options::recursive);
  fs::create_directories(older / L"resources\\fennor\\bin\\accelerations");
  WriteBytes(older / L"resources\\fennor\\bin\\accelerations\\user-model.bin", "an older copy");
  WriteBytes(backup / L"touched", "");  // the backup of the run cut off is the newer
  fs::remove(backup / L"touched");

  fs::remove_all(ServerRoot() / L"api");
  EXPECT_NE(FailureOf(Run()), L"");
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.0.0\n");
  EXPECT_EQ(CopiesOfTheUserModel(), (std::multiset<std::string>{"an older copy", "learned by 1.0.0"}));
  EXPECT_FALSE(fs::exists(ActivationJournalPath(quorvant)));
}

// Cut off while registering, and the registration then keeps failing (here
// the list of installed programs takes no new entry): the previous version
// goes back rather than every run failing before the network.
TEST_F(UpdateCutOff, WhileRegisteringWhenTheRegistrationKeepsFailing) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  ServeRelease(L"v1.1.0");
  ASSERT_NO_FATAL_FAILURE(CutAnUpdateAt(L"registering"));
  // A key that lives only in memory takes only keys like itself.
  static constexpr wchar_t kPrograms[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  struct ProgramsListMended {
    ~ProgramsListMended() {
      RegDeleteTreeW(HKEY_CURRENT_USER, kPrograms);
      RegDeleteKeyW(HKEY_CURRENT_USER, kPrograms);
    }
  } mended;
  RegDeleteTreeW(HKEY_CURRENT_USER, kPrograms);
  RegDeleteKeyW(HKEY_CURRENT_USER, kPrograms);
  HKEY volatileKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kPrograms, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            &volatileKey, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(volatileKey);

  fs::remove_all(ServerRoot() / L"api");
  EXPECT_NE(FailureOf(Run()), L"");
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.0.0\n");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_FALSE(fs::exists(ActivationJournalPath(QuorvantProgramsFolder())));

  RegDeleteTreeW(HKEY_CURRENT_USER, kPrograms);
  RegDeleteKeyW(HKEY_CURRENT_USER, kPrograms);
  ServeRelease(L"v1.1.0");
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
}

// The state an older Setup leaves when it is cut off between its moves, with
// no journal: the old version in its backup folder, and either no
// installation folder or the new version in place without its kept folders
// and copies of Setup.
class UpdateCutOffByAnOlderSetup : public InstallPipeline {
 protected:
  void SetUp() override {
    InstallPipeline::SetUp();
    ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
    fs::create_directories(QuorvantProgramsFolder() / L".Tessaline-staging-4242-1" / L"Tessaline");
    fs::rename(UserApplicationFolder(), backup);
    ServeRelease(L"v1.1.0");
  }

  void ExpectTheUpdateDoneWithTheUserData() {
    EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
    EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
    EXPECT_EQ(RegisteredVersion(), L"1.1.0");
    ExpectNoLeftoverBut({backup.filename().native()});
  }

  const fs::path backup = QuorvantProgramsFolder() / L".Tessaline-backup-4242-1";
};

TEST_F(UpdateCutOffByAnOlderSetup, AfterTheOldVersionWasMovedAside) {
  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(lines.back(), L"Updating Tessaline\u2026");
  ExpectTheUpdateDoneWithTheUserData();
}

TEST_F(UpdateCutOffByAnOlderSetup, AfterTheNewVersionWasMovedInAndRanMeanwhile) {
  // The new version in place: the package's files only, no kept data of the
  // user's and no copies of Setup. It has run since, written data of its own
  // into its kept folder, and still runs, holding a file there.
  const fs::path installation = UserApplicationFolder();
  fs::copy(backup, installation, fs::copy_options::recursive);
  fs::remove(installation / L"TessalineSetup.exe");
  fs::remove(installation / L"TessalineUninstall.exe");
  fs::remove_all(KeptFolder());
  fs::create_directories(KeptFolder());
  WriteBytes(KeptFolder() / L"shipped.bin", "shipped with 1.1.0\n");
  WriteBytes(KeptFolder() / L"learned-by-1.1.0.bin", "newer");
  WriteBytes(installation / L"sample-version.txt", "1.1.0\n");
  WriteBytes(installation / L"sample-behaviour.txt",
             "hold-file resources\\fennor\\bin\\accelerations\\shipped.bin 60000\n");
  StartedProcess running(installation / L"Tessaline.exe", {});
  ASSERT_TRUE(WaitUntil([&] { return FindProcessWindow(running.Id(), L"TessalineSampleWindow") != nullptr; }));

  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_TRUE(running.EndsWithin(std::chrono::seconds(0)));
  // Neither copy of the kept folder is lost: the one the installation held
  // is set aside.
  bool setAside = false;
  for (const auto& entry : fs::recursive_directory_iterator(QuorvantProgramsFolder() / L"Tessaline recovered data")) {
    setAside = setAside || (entry.path().filename() == L"learned-by-1.1.0.bin" && ReadBytes(entry.path()) == "newer");
  }
  EXPECT_TRUE(setAside);
  fs::remove_all(QuorvantProgramsFolder() / L"Tessaline recovered data");
  ExpectTheUpdateDoneWithTheUserData();
}

TEST_F(InstallPipeline, RemovesTheBackupOfAFinishedUpdateInsteadOfRestoringIt) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  // A cleanup worker that could not delete it: no journal names it, and the
  // kept folders went with the update.
  const fs::path stale = QuorvantProgramsFolder() / L".Tessaline-backup-4242-2";
  fs::copy(UserApplicationFolder(), stale, fs::copy_options::recursive);
  fs::remove_all(stale / L"resources" / L"fennor" / L"bin" / L"accelerations");

  // The temporary copies earlier cleanup and uninstall workers ran from:
  // Windows deletes them at a restart only for an administrator.
  const fs::path temp = fs::temp_directory_path();
  const fs::path workerCopies[] = {temp / L"TessalineCleanup-4242.exe", temp / L"TessalineUninstall-4242.exe"};
  for (const fs::path& copy : workerCopies) fs::copy_file(SetupExecutable(), copy, fs::copy_options::overwrite_existing);
  WriteBytes(temp / L"TessalineCleanup-notes.txt", "not a copy of Setup");
  WriteBytes(temp / L"TessalineSetup-2.0.1.exe", "a download of the user's");

  const auto messages = Run();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  ExpectNoLeftoverBut({stale.filename().native()});
  for (const fs::path& copy : workerCopies) EXPECT_FALSE(fs::exists(copy)) << copy;
  EXPECT_TRUE(fs::exists(temp / L"TessalineCleanup-notes.txt"));
  EXPECT_TRUE(fs::exists(temp / L"TessalineSetup-2.0.1.exe"));
  fs::remove(temp / L"TessalineCleanup-notes.txt");
  fs::remove(temp / L"TessalineSetup-2.0.1.exe");
}

// An uninstall that moved the installation aside and could neither finish
// nor put it back: while the entry stays, the next run puts the folder back,
// kept data and all. Once the entry is gone the removal was done, and the
// next run removes what it left.
TEST_F(InstallPipeline, PutsBackAnInstallationAnUnfinishedUninstallMovedAside) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  const fs::path removed = QuorvantProgramsFolder() / L".Tessaline-removed-4242-1";
  ASSERT_TRUE(MoveFileExW(UserApplicationFolder().c_str(), removed.c_str(), 0)) << GetLastError();
  fs::remove_all(ServerRoot() / L"api");  // recovery needs no release service
  EXPECT_NE(FailureOf(Run()), L"");
  EXPECT_FALSE(fs::exists(removed));
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_EQ(RegisteredVersion(), L"1.0.0");

  ASSERT_TRUE(MoveFileExW(UserApplicationFolder().c_str(), removed.c_str(), 0)) << GetLastError();
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath);
  ServeRelease(L"v1.0.0");
  const auto fresh = Run();
  ASSERT_EQ(Finished(fresh).wParam, 1U) << Finished(fresh).text;
  EXPECT_FALSE(fs::exists(removed));
  EXPECT_FALSE(fs::exists(KeptFolder() / L"user-model.bin"));
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

UniqueFile heldJournal;

TEST_F(InstallPipeline, WhatCannotBeDeletedAfterRegistrationDoesNotUndoAFinishedUpdate) {
  ASSERT_NO_FATAL_FAILURE(InstallWithKeptData());
  ServeRelease(L"v1.1.0");
  // Opened without delete sharing, as a scanner would: Setup's copy from
  // just before the activation, the journal once it records the
  // registration. Deleting either fails.
  session->stageObserver = [](const char* stage) {
    if (std::string(stage) == "activation") {
      heldSetupCopy.Reset(CreateFileW(FindSetupCopy().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (std::string(stage) == "registering") {
      heldJournal.Reset(CreateFileW(ActivationJournalPath(QuorvantProgramsFolder()).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
  };
  const auto messages = Run();
  session->stageObserver = nullptr;
  EXPECT_TRUE(heldSetupCopy.Valid());
  EXPECT_TRUE(heldJournal.Valid());
  heldSetupCopy.Reset();
  heldJournal.Reset();
  ASSERT_EQ(Finished(messages).wParam, 1U) << Finished(messages).text;
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
  EXPECT_EQ(RegisteredVersion(), L"1.1.0");

  // What was left behind goes with the next run, which finds the update done.
  ServeRelease(L"v1.0.0");
  EXPECT_EQ(FailureOf(Run()), L"A newer Tessaline 1.1.0 is already installed. Setup will not downgrade it to 1.0.0.");
  EXPECT_EQ(FindSetupCopy(), fs::path());
  EXPECT_FALSE(fs::exists(ActivationJournalPath(QuorvantProgramsFolder())));
  EXPECT_EQ(ReadBytes(UserApplicationFolder() / L"sample-version.txt"), "1.1.0\n");
  EXPECT_EQ(ReadBytes(KeptFolder() / L"user-model.bin"), "learned by 1.0.0");
}

}  // namespace

// The update of a cut-off test: ends this process, as Task Manager would, the
// moment the installation records `stage`.
std::string cutStage;
int RunUpdateUntilCut(const std::string& stage, bool holdShipped) {
  cutStage = stage;
  static bool hold = holdShipped;
  InstallSession session;
  session.stageObserver = [](const char* reached) {
    if (hold) HoldShippedFileFromTheActivation(reached);
    if (reached == cutStage) TerminateProcess(GetCurrentProcess(), kCutExitCode);
  };
  testing::MessageRecorder recorder;
  session.window = recorder.Window();
  InstallWorker(session);
  recorder.WaitForFinished();
  return 0;
}

}  // namespace tessaline

// The installation copies this program as Setup and may start that copy as
// the cleanup worker: it must then act as Setup does, not run the tests.
int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--cut-at") {
    return tessaline::RunUpdateUntilCut(argv[2], argc >= 4 && std::string(argv[3]) == "--hold-shipped");
  }
  const tessaline::ModeChoice choice = tessaline::SelectMode(tessaline::SplitCommandLine(GetCommandLineW()));
  if (choice.mode != tessaline::SetupMode::Interactive) {
    return tessaline::RunSetup(GetModuleHandleW(nullptr), L"", SW_HIDE);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
