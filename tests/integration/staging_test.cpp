// Finding the application in an unpacked package, its start-up self-test,
// the helper-process time limit, the kept folders and the retried move.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "common/command_line.h"
#include "common/file_system.h"
#include "common/helper_process.h"
#include "common/install_session.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "install/install_package.h"
#include "installation/close_application.h"
#include "installation/kept_folders.h"
#include "trust/digest.h"
#include "ui_driver.h"
#include "windows_test_support.h"
#include "winintegration/user_folders.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;

std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no failure";
}

fs::path SampleApp() { return testing::TestExecutableFolder() / L"sample-app" / L"Tessaline.exe"; }

// A copy of the sample application in its own folder, with a behaviour file.
fs::path PlaceSampleApp(const fs::path& folder, const std::string& behaviour = "") {
  fs::create_directories(folder);
  fs::copy_file(SampleApp(), folder / L"Tessaline.exe", fs::copy_options::overwrite_existing);
  if (!behaviour.empty()) WriteBytes(folder / L"sample-behaviour.txt", behaviour + "\n");
  return folder;
}

TEST(FindAppRoot, AcceptsTheTopOrTheOnlyFolder) {
  ScratchFolder staging;
  WriteBytes(staging / L"Tessaline.exe", "MZ");
  EXPECT_EQ(FindAppRoot(staging.Path()), staging.Path());

  ScratchFolder wrapped;
  fs::create_directories(wrapped / L"Tessaline-1.0.0");
  WriteBytes(wrapped.Path() / L"Tessaline-1.0.0" / L"Tessaline.exe", "MZ");
  WriteBytes(wrapped / L"README.txt", "loose files beside the folder do not count");
  EXPECT_EQ(FindAppRoot(wrapped.Path()), wrapped.Path() / L"Tessaline-1.0.0");

  ScratchFolder two;
  for (const wchar_t* name : {L"a", L"b"}) fs::create_directories(two / name);
  WriteBytes(two.Path() / L"a" / L"Tessaline.exe", "MZ");
  EXPECT_EQ(FindAppRoot(two.Path()), two.Path());

  // A folder named like the program is not the program.
  ScratchFolder impostor;
  fs::create_directories(impostor / L"Tessaline.exe");
  EXPECT_EQ(FindAppRoot(impostor.Path()), impostor.Path());
  EXPECT_FALSE(fs::is_regular_file(FindAppRoot(impostor.Path()) / L"Tessaline.exe"));
}

// A package in three parts streamed into the bench's tar.exe, which reads
// its arguments as Windows' own does, for a profile named in a script the
// ANSI code page lacks: what passes is checked whole, whatever the unpacker
// made of it.
TEST(UnpackPackage, StreamsThePartsAndChecksTheWholeAsItPasses) {
  ScratchFolder scratch;
  const fs::path localAppData = scratch / L"Zo\u00EB \u00D8rsted \u674E" / L"AppData" / L"Local";
  const fs::path quorvant = localAppData / L"Programs" / L"Quorvant";
  const fs::path cache = localAppData / L"Quorvant" / L"InstallerCache" / L"1.0.0";
  const fs::path staging = quorvant / L".Tessaline-staging-7-8";
  const fs::path archive = testing::TestExecutableFolder() / L"fixtures" / L"tar" / L"small.tar.gz";
  fs::create_directories(cache);
  fs::create_directories(staging);
  EXPECT_EQ(UnpackArguments(staging, quorvant), L"-xf - -C \".Tessaline-staging-7-8\"");

  const std::string whole = ReadBytes(archive);
  ASSERT_GT(whole.size(), 40U);
  PackageParts package{{}, whole.size(), FileSha256Hex(archive)};
  const std::size_t cuts[] = {0, 10, whole.size() - 20, whole.size()};
  for (int i = 0; i < 3; ++i) {
    package.files.push_back(cache / (L"p.00" + std::to_wstring(i + 1)));
    WriteBytes(package.files.back(), whole.substr(cuts[i], cuts[i + 1] - cuts[i]));
  }
  InstallationPaths paths;
  paths.quorvant = quorvant;
  paths.staging = staging;
  const InstallSession session;
  // Parts that are all there, or, after `stopAfter` asks, a run that stops.
  struct Parts final : PartSource {
    int asked = 0;
    int stopAfter = -1;
    bool WaitFor(std::size_t) override { return ++asked != stopAfter; }
    bool Has(std::size_t) override { return stopAfter < 0; }
  } everyPartIsThere;
  UnpackPackage(package, paths, everyPartIsThere, session);
  EXPECT_EQ(ReadBytes(staging / L"small.txt"), "small\n");
  fs::remove(staging / L"small.txt");

  // Cut off where the manifest says the package ends: the unpacker fails,
  // as it does when Setup ends mid-stream.
  PackageParts cutOff = package;
  cutOff.files.pop_back();
  cutOff.size = cuts[2];
  WriteBytes(scratch / L"first-two", whole.substr(0, cuts[2]));
  cutOff.sha256 = FileSha256Hex(scratch / L"first-two");
  EXPECT_EQ(FailureOf([&] { UnpackPackage(cutOff, paths, everyPartIsThere, session); }),
            "Unable to extract the Tessaline package");
  EXPECT_FALSE(fs::exists(staging));

  // An unpacker that fails early in a long stream: Setup's writes then go
  // nowhere, and the rest is still hashed for the check of the whole.
  PackageParts garbled{{scratch / L"header", scratch / L"noise"}, 0, {}};
  WriteBytes(garbled.files[0], whole.substr(0, 10));
  std::string noise(3 << 20, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761U) >> 13);
  WriteBytes(garbled.files[1], noise);
  garbled.size = 10 + noise.size();
  WriteBytes(scratch / L"garbled", whole.substr(0, 10) + noise);
  garbled.sha256 = FileSha256Hex(scratch / L"garbled");
  fs::create_directories(staging);
  EXPECT_EQ(FailureOf([&] { UnpackPackage(garbled, paths, everyPartIsThere, session); }),
            "Unable to extract the Tessaline package");
  EXPECT_FALSE(fs::exists(staging));

  // A part changed or gone after its own check fails the whole.
  fs::create_directories(staging);
  std::string damaged = whole.substr(cuts[2]);
  damaged[3] ^= 0x01;
  WriteBytes(package.files[2], damaged);
  EXPECT_EQ(FailureOf([&] { UnpackPackage(package, paths, everyPartIsThere, session); }),
            "The complete package failed verification");
  fs::remove(package.files[2]);
  EXPECT_EQ(FailureOf([&] { UnpackPackage(package, paths, everyPartIsThere, session); }),
            "The complete package failed verification");

  // A run that stops, cancelled or for a failed download, between two
  // blocks: the unpacker is ended, and nothing more is asked.
  WriteBytes(package.files[2], whole.substr(cuts[2]));
  Parts stopping;
  stopping.stopAfter = 3;
  EXPECT_EQ(FailureOf([&] { UnpackPackage(package, paths, stopping, session); }), "Installation cancelled");
  EXPECT_EQ(stopping.asked, 3);
}

TEST(RunSmokeTest, PassesOnlyAWrittenReportThatSaysOk) {
  ScratchFolder scratch;
  const fs::path report = scratch / L"report.json";
  RunSmokeTest(PlaceSampleApp(scratch / L"good"), report);
  EXPECT_FALSE(fs::exists(report));  // read and deleted

  struct Case {
    const char* behaviour;
    const char* failure;
  };
  for (const Case& c : {Case{"smoke-exit-1", "Tessaline failed its startup test"},
                        Case{"smoke-no-report", "Tessaline failed its startup test"},
                        Case{"smoke-bad-report", "Tessaline startup validation failed"}}) {
    const fs::path app = PlaceSampleApp(scratch / L"bad", c.behaviour);
    EXPECT_EQ(FailureOf([&] { RunSmokeTest(app, report); }), c.failure) << c.behaviour;
    fs::remove(report);
  }
}

TEST(RunInstallationHelper, EndsAChildThatNeverEnds) {
  ScratchFolder scratch;
  const fs::path app = PlaceSampleApp(scratch / L"hang", "smoke-hang");
  EXPECT_EQ(FailureOf([&] {
              RunInstallationHelper(app / L"Tessaline.exe", L"--startup-smoke --startup-smoke-report x.json", app, 1500);
            }),
            "Installation helper timed out");
  // The child is gone: its folder can be removed at once.
  std::error_code error;
  for (int i = 0; i < 50 && fs::exists(app); ++i) {
    fs::remove_all(app, error);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(fs::exists(app));

  // What the child started ends with it: here the child is cmd.exe, and the
  // application it waits for, its own child, never ends.
  const fs::path grandchild = PlaceSampleApp(scratch / L"grandchild", "write-marker started.txt") / L"Tessaline.exe";
  EXPECT_EQ(FailureOf([&] {
              RunInstallationHelper(L"C:\\windows\\system32\\cmd.exe",
                                    L"/c " + QuoteCommandLineArgument(grandchild.native()), grandchild.parent_path(), 5000);
            }),
            "Installation helper timed out");
  EXPECT_TRUE(fs::exists(grandchild.parent_path() / L"started.txt"));  // it did run
  const auto stillRunning = [&](bool end) {
    const auto isGrandchild = [&](const PROCESSENTRY32W&, const std::wstring& image) {
      return _wcsicmp(image.c_str(), grandchild.c_str()) == 0;
    };
    return testing::RunningProcesses(isGrandchild, end);
  };
  EXPECT_TRUE(testing::WaitUntil([&] { return stillRunning(false) == 0; }, std::chrono::seconds(10)))
      << "the child's own child outlived the time-out";
  stillRunning(true);

  // A child fed a standard input that it never reads: the limit runs from
  // the last byte it took.
  const fs::path deaf = PlaceSampleApp(scratch / L"deaf", "smoke-hang") / L"Tessaline.exe";
  bool taken = true;
  EXPECT_EQ(FailureOf([&] {
              RunInstallationHelperWithInput(
                  deaf, L"--startup-smoke --startup-smoke-report x.json", deaf.parent_path(),
                  [&taken](HelperInput& input) {
                    const std::string block(1 << 20, 'x');
                    for (int i = 0; i < 8 && taken; ++i) taken = input.Write(block.data(), block.size());
                  },
                  1500);
            }),
            "Installation helper timed out");
  EXPECT_FALSE(taken) << "its input was still open after it was ended";
  // Bytes that Setup itself waits for do not count against the helper.
  const fs::path waited = scratch / L"waited";
  fs::create_directories(waited);
  const std::string archive = ReadBytes(testing::TestExecutableFolder() / L"fixtures" / L"tar" / L"small.tar.gz");
  EXPECT_EQ(RunInstallationHelperWithInput(
                testing::TestExecutableFolder() / L"tools" / L"tar.exe", L"-xf - -C .", waited,
                [&archive](HelperInput& input) {
                  EXPECT_TRUE(input.WaitWithoutLimit([] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
                    return true;
                  }));
                  EXPECT_TRUE(input.Write(archive.data(), archive.size()));
                },
                1500),
            0U);
  EXPECT_EQ(ReadBytes(waited / L"small.txt"), "small\n");

  EXPECT_EQ(RunInstallationHelper(L"C:\\windows\\system32\\cmd.exe", L"/c exit 7", scratch.Path(), 30000), 7U);
  EXPECT_EQ(FailureOf([&] { RunInstallationHelper(scratch / L"absent.exe", L"", scratch.Path(), 1000); })
                .rfind("Unable to start installation helper (Windows error ", 0),
            0U);
}

// An unpacker that fails on a volume without room for the unpacked package
// says so, with what is missing; the gzip trailer tells the size.
TEST(ExtractionFailure, SaysTheDiskIsFullWhenItIs) {
  const std::array<std::uint8_t, 4> trailer = {0x00, 0x00, 0x40, 0x06};  // 0x06400000: 100 MiB
  const std::uint64_t needed = UnpackedSize(trailer);
  EXPECT_EQ(needed, 100U << 20);
  EXPECT_EQ(ExtractionFailureText(needed, 30U << 20),
            "Unable to extract the Tessaline package: " + WindowsErrorDescription(ERROR_DISK_FULL) +
                " (70 MB more are needed)");
  EXPECT_EQ(ExtractionFailureText(needed, 200U << 20), "Unable to extract the Tessaline package");
  EXPECT_EQ(ExtractionFailureText(0, 0), "Unable to extract the Tessaline package");
}

// Only a kept folder with entries holds the user's data; an empty one, or a
// file where the folder should be, is passed over.
TEST(KeptFolders, HoldDataOnlyWhenTheyAreFoldersWithEntries) {
  ScratchFolder root;
  const fs::path first = kPreservedFolders[0];
  const fs::path second = kPreservedFolders[1];
  EXPECT_FALSE(HoldsKeptData(root.Path()));
  fs::create_directories(root.Path() / second);
  EXPECT_FALSE(HasKeptData(root.Path(), 1));
  fs::create_directories(root.Path() / first.parent_path());
  WriteBytes(root.Path() / first, "a file");
  EXPECT_FALSE(HasKeptData(root.Path(), 0));
  EXPECT_FALSE(HoldsKeptData(root.Path()));
  WriteBytes(root.Path() / second / L"model.bin", "data");
  EXPECT_TRUE(HasKeptData(root.Path(), 1));
  EXPECT_TRUE(HoldsKeptData(root.Path()));
}

TEST(MoveWithRetry, SucceedsOnceTheWayIsClearAndNamesBothPathsWhenNot) {
  ScratchFolder scratch;
  const fs::path from = scratch / L"new";
  const fs::path to = scratch / L"installed";
  fs::create_directories(from);
  WriteBytes(from / L"Tessaline.exe", "MZ");
  fs::create_directories(to / L"in the way");
  std::thread clearing([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    fs::remove_all(to);
  });
  MoveWithRetry(from, to, 20);
  clearing.join();
  EXPECT_TRUE(fs::exists(to / L"Tessaline.exe"));

  const std::string failure = FailureOf([&] { MoveWithRetry(scratch / L"absent", scratch / L"elsewhere", 1); });
  EXPECT_EQ(failure.rfind("Unable to activate the Tessaline installation: ", 0), 0U) << failure;
  EXPECT_NE(failure.find("\", \""), std::string::npos) << failure;
}

// Processes whose image is the installed Tessaline.exe are closed; others stay.
TEST(CloseRunningApplication, ClosesOnlyTheInstalledCopy) {
  const fs::path installation = UserApplicationFolder();
  fs::remove_all(installation);
  PlaceSampleApp(installation);
  ScratchFolder elsewhere;
  PlaceSampleApp(elsewhere.Path());

  const auto start = [](const fs::path& exe) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = L"\"" + exe.native() + L"\"";
    EXPECT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    UniqueProcessInformation started(info);
    WaitForInputIdle(info.hProcess, 10000);
    return std::move(started.process);
  };
  // The same path in other letter case is the same program.
  std::wstring upper = installation.native();
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
  const UniqueHandle installed = start(fs::path(upper) / L"Tessaline.exe");
  const UniqueHandle other = start(elsewhere / L"Tessaline.exe");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // let the windows appear

  const fs::path target = installation / L"Tessaline.exe";
  EXPECT_TRUE(CloseRunningApplication(target));
  EXPECT_EQ(WaitForSingleObject(installed.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 99;
  GetExitCodeProcess(installed.Get(), &code);
  EXPECT_EQ(code, 0U);
  EXPECT_EQ(WaitForSingleObject(other.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  TerminateProcess(other.Get(), 0);
  WaitForSingleObject(other.Get(), 5000);

  // One that ignores WM_CLOSE is ended.
  WriteBytes(installation / L"sample-behaviour.txt", "ignore-close\n");
  const UniqueHandle stubborn = start(installation / L"Tessaline.exe");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(IsApplicationRunning(target));
  EXPECT_TRUE(CloseRunningApplication(target));
  EXPECT_FALSE(IsApplicationRunning(target));
  EXPECT_EQ(WaitForSingleObject(stubborn.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(CloseRunningApplication(target));  // nothing running: returns at once
  fs::remove_all(installation);
}

bool HasWindow(DWORD processId) {
  struct Search {
    DWORD id;
    bool found = false;
  } search{processId};
  EnumWindows(
      [](HWND window, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        s->found = s->found || owner == s->id;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// While the first copy is asked to close, the second one ends by itself. Its
// id stays taken as long as Setup holds the handle it identified it by, so no
// other program can be given that id and then be closed and ended in its place.
TEST(CloseRunningApplication, KeepsEveryCopyItIdentifiedUntilItIsDone) {
  const fs::path installation = UserApplicationFolder();
  fs::remove_all(installation);
  PlaceSampleApp(installation, "ignore-close\nclose-marker asked-to-close.txt");
  std::optional<testing::StartedProcess> copies[2];
  for (auto& copy : copies) {
    copy.emplace(installation / L"Tessaline.exe", std::vector<std::wstring>{});
    ASSERT_TRUE(testing::WaitUntil([&] { return HasWindow(copy->Id()); }));
  }
  // Copies are handled in snapshot order.
  DWORD firstId = 0;
  testing::ForEachProcess([&](const PROCESSENTRY32W& entry) {
    const bool copy = entry.th32ProcessID == copies[0]->Id() || entry.th32ProcessID == copies[1]->Id();
    if (firstId == 0 && copy) firstId = entry.th32ProcessID;
  });
  std::optional<testing::StartedProcess>& second = copies[0]->Id() == firstId ? copies[1] : copies[0];
  const DWORD secondId = second->Id();

  std::thread closing([&] { CloseRunningApplication(installation / L"Tessaline.exe"); });
  EXPECT_TRUE(testing::WaitUntil([&] { return ReadBytes(installation / L"asked-to-close.txt") == std::to_string(firstId); }));
  second->Terminate(7);
  EXPECT_TRUE(second->EndsWithin(std::chrono::seconds(5)));
  second.reset();  // the test's own handles to it are gone
  // Wine lets an ended process go a moment after its end: watch its id for
  // a while, well within the time the first copy is given to close.
  bool taken = true;
  for (int i = 0; i < 60 && taken; ++i) {
    taken = UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, secondId)).Valid();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(taken) << "the id of an identified copy was free for another program";
  closing.join();
  for (const auto& copy : copies) {
    if (copy) {
      EXPECT_TRUE(copy->EndsWithin(std::chrono::seconds(0)));  // the first one, ended
    }
  }
  fs::remove_all(installation);
}

}  // namespace
}  // namespace tessaline
