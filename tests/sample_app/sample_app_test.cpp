// The sample Tessaline.exe as Setup and the end-to-end tests use it: its
// self-test switches and report, its window, its kept data and each test
// behaviour chosen by a sample-behaviour.txt beside it. Every test runs its
// own copy, so behaviour files never leak between tests.
#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "windows_test_support.h"

namespace tessaline {
namespace {

using testing::ReadBytes;
using testing::RunProcess;
using testing::ScratchFolder;
using testing::StartedProcess;
using testing::TestExecutableFolder;
using testing::WriteBytes;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char kPassing[] = "\"ok\": true";
// The version the sample was built with, shown when no sample-version.txt says otherwise.
constexpr char kBuiltInVersion[] = TESSALINE_SAMPLE_VERSION;

fs::path SampleExecutable() { return TestExecutableFolder() / L"sample-app" / L"Tessaline.exe"; }

// Polls until the condition holds; false if it still does not after `limit`.
// The limit only bounds a hang, it is not what the test checks.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

std::vector<HWND> TopLevelWindowsOf(DWORD processId) {
  struct Search {
    DWORD processId;
    std::vector<HWND> found;
  } search{processId, {}};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s.processId) s.found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND SampleWindowOf(DWORD processId) {
  for (const HWND window : TopLevelWindowsOf(processId)) {
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (std::wstring_view(className) == L"TessalineSampleWindow") return window;
  }
  return nullptr;
}

std::wstring TextOf(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::vector<std::wstring> ChildTextsOf(HWND window) {
  std::vector<std::wstring> texts;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM context) -> BOOL {
        reinterpret_cast<std::vector<std::wstring>*>(context)->push_back(TextOf(child));
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&texts));
  return texts;
}

// What Setup does to a running copy: WM_CLOSE, posted, to every top-level
// window of the process.
void PostCloseToAllWindows(DWORD processId) {
  for (const HWND window : TopLevelWindowsOf(processId)) PostMessageW(window, WM_CLOSE, 0, 0);
}

class SampleApp : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(app);
    fs::copy_file(SampleExecutable(), exe);
  }

  void Behaviour(const std::string& lines) { WriteBytes(app / L"sample-behaviour.txt", lines); }

  // The self-test exactly as Setup starts it.
  DWORD Smoke() { return RunProcess(exe, {L"--startup-smoke", L"--startup-smoke-report", report.native()}); }

  std::vector<std::wstring> AppFolderEntries() const {
    std::vector<std::wstring> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(app)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Starts the window with a marker, waits for both; the marker holds the
  // process id once the window is up.
  HWND StartWindow(StartedProcess& process) {
    const fs::path marker = app / L"launched.txt";
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(marker) || process.EndsWithin(0ms); }));
    EXPECT_EQ(ReadBytes(marker), std::to_string(process.Id()));
    const HWND window = SampleWindowOf(process.Id());
    EXPECT_NE(window, nullptr);
    return window;
  }

  ScratchFolder scratch;
  fs::path app = scratch / L"app";
  fs::path exe = app / L"Tessaline.exe";
  fs::path report = scratch / L"report.json";
  fs::path kept1 = app / L"resources" / L"fennor" / L"bin" / L"accelerations" / L"sample-data.bin";
  fs::path kept2 = app / L"resources" / L"fennor" / L"bin" / L"cache" / L"accelerations" / L"sample-data.bin";
};

TEST_F(SampleApp, SelfTestWritesAPassingReportAndLeavesItsFolderAlone) {
  ASSERT_EQ(Smoke(), 0U);
  const std::string text = ReadBytes(report);
  EXPECT_NE(text.find(kPassing), std::string::npos) << text;
  const nlohmann::json parsed = nlohmann::json::parse(text);
  EXPECT_EQ(parsed.at("ok"), true);
  EXPECT_EQ(parsed.at("version"), kBuiltInVersion);
  ASSERT_FALSE(parsed.at("checks").empty());
  for (const nlohmann::json& check : parsed.at("checks")) EXPECT_EQ(check.at("passed"), true) << check.dump();
  // Setup runs it inside the staging folder, which must stay the package.
  EXPECT_EQ(AppFolderEntries(), std::vector<std::wstring>{L"Tessaline.exe"});
}

TEST_F(SampleApp, VersionFileOverridesTheBuiltInVersion) {
  WriteBytes(app / L"sample-version.txt", "\xEF\xBB\xBF  2.5.0-beta.1 \r\nignored\r\n");
  ASSERT_EQ(Smoke(), 0U);
  EXPECT_EQ(nlohmann::json::parse(ReadBytes(report)).at("version"), "2.5.0-beta.1");

  WriteBytes(app / L"sample-version.txt", "not a version");
  EXPECT_EQ(Smoke(), 1U);
  const std::string text = ReadBytes(report);
  EXPECT_EQ(text.find(kPassing), std::string::npos) << text;
  EXPECT_NE(text.find("\"ok\": false"), std::string::npos) << text;
}

TEST_F(SampleApp, SmokeExitOneWritesAPassingReportAndExitsOne) {
  Behaviour("smoke-exit-1\n");
  EXPECT_EQ(Smoke(), 1U);
  EXPECT_NE(ReadBytes(report).find(kPassing), std::string::npos);
}

TEST_F(SampleApp, SmokeNoReportExitsZeroWithoutAReport) {
  Behaviour("# comments, blank lines and CRLF are fine\r\n\r\nsmoke-no-report\r\n");
  EXPECT_EQ(Smoke(), 0U);
  EXPECT_FALSE(fs::exists(report));
}

TEST_F(SampleApp, SmokeBadReportWritesOkWithoutTheSpace) {
  Behaviour("smoke-bad-report\n");
  EXPECT_EQ(Smoke(), 0U);
  EXPECT_EQ(ReadBytes(report), "{\"ok\":true}");
}

TEST_F(SampleApp, SmokeHangNeverEnds) {
  Behaviour("smoke-hang\n");
  StartedProcess process(exe, {L"--startup-smoke", L"--startup-smoke-report", report.native()});
  EXPECT_FALSE(process.EndsWithin(1500ms));
  process.Terminate(7);
  ASSERT_TRUE(process.EndsWithin(10s));
  EXPECT_EQ(process.ExitCode(), 7U);
  EXPECT_FALSE(fs::exists(report));
}

TEST_F(SampleApp, UnknownBehaviourFailsTheSelfTest) {
  Behaviour("smoke-exit-one\nhold-file held.dat soon\n");
  EXPECT_EQ(Smoke(), 1U);
  const std::string text = ReadBytes(report);
  EXPECT_EQ(text.find(kPassing), std::string::npos) << text;
  EXPECT_NE(text.find("[smoke-exit-one]"), std::string::npos) << text;
  EXPECT_NE(text.find("[hold-file held.dat soon]"), std::string::npos) << text;
}

TEST_F(SampleApp, SelfTestSwitchesComeAsAPair) {
  EXPECT_EQ(RunProcess(exe, {L"--startup-smoke"}), 2U);
  EXPECT_EQ(RunProcess(exe, {L"--startup-smoke-report", report.native()}), 2U);
  EXPECT_EQ(RunProcess(exe, {L"--startup-smoke", L"--startup-smoke-report"}), 2U);
  EXPECT_FALSE(fs::exists(report));
}

TEST_F(SampleApp, WindowShowsItsVersionKeepsDataAndClosesOnWmClose) {
  WriteBytes(app / L"sample-version.txt", "3.1.4\n");
  Behaviour("write-marker launched.txt\n");
  StartedProcess process(exe, {});
  const HWND window = StartWindow(process);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(TextOf(window), L"Tessaline");
  EXPECT_EQ(ChildTextsOf(window),
            std::vector<std::wstring>{L"This is the Tessaline sample application, version 3.1.4."});
  EXPECT_EQ(ReadBytes(kept1), "Tessaline sample data written by version 3.1.4\n");
  EXPECT_EQ(ReadBytes(kept2), "Tessaline sample data written by version 3.1.4\n");

  PostCloseToAllWindows(process.Id());
  ASSERT_TRUE(process.EndsWithin(30s));
  EXPECT_EQ(process.ExitCode(), 0U);
}

TEST_F(SampleApp, DataAlreadyInAKeptFolderIsNeverOverwritten) {
  fs::create_directories(kept1.parent_path());
  WriteBytes(kept1, "data of the old version");
  Behaviour("write-marker launched.txt\n");
  StartedProcess process(exe, {});
  ASSERT_NE(StartWindow(process), nullptr);
  EXPECT_EQ(ReadBytes(kept1), "data of the old version");
  EXPECT_EQ(ReadBytes(kept2), std::string("Tessaline sample data written by version ") + kBuiltInVersion + "\n");
  PostCloseToAllWindows(process.Id());
  ASSERT_TRUE(process.EndsWithin(30s));
  EXPECT_EQ(process.ExitCode(), 0U);
}

TEST_F(SampleApp, IgnoreCloseSurvivesWmCloseUntilTerminated) {
  Behaviour("ignore-close\nwrite-marker launched.txt\n");
  StartedProcess process(exe, {});
  ASSERT_NE(StartWindow(process), nullptr);
  PostCloseToAllWindows(process.Id());
  EXPECT_FALSE(process.EndsWithin(1500ms));
  EXPECT_NE(SampleWindowOf(process.Id()), nullptr);
  process.Terminate(0);
  ASSERT_TRUE(process.EndsWithin(10s));
  EXPECT_EQ(process.ExitCode(), 0U);
}

TEST_F(SampleApp, HoldFileBlocksDeletingTheFileAndMovingTheFolderThenLetsGo) {
  Behaviour("hold-file data\\held file.dat 4000\nwrite-marker launched.txt\n");
  StartedProcess process(exe, {});
  ASSERT_NE(StartWindow(process), nullptr);
  const fs::path held = app / L"data" / L"held file.dat";
  const fs::path moved = scratch / L"moved";
  EXPECT_TRUE(fs::exists(held));
  EXPECT_FALSE(DeleteFileW(held.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(MoveFileExW(app.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  EXPECT_TRUE(fs::exists(exe));

  // Released after its time, while the window stays up.
  EXPECT_TRUE(WaitUntil([&] { return DeleteFileW(held.c_str()) != FALSE; }));
  EXPECT_FALSE(process.EndsWithin(0ms));
  PostCloseToAllWindows(process.Id());
  ASSERT_TRUE(process.EndsWithin(30s));
  EXPECT_EQ(process.ExitCode(), 0U);
}

struct ModuleFree {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree>;

std::wstring VersionString(const std::vector<unsigned char>& record, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(record.data(), key.c_str(), &value, &length) || length == 0) return {};
  return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

TEST(SampleAppResources, CarriesTheProductIconFirstAndAVersionRecord) {
  const fs::path exe = SampleExecutable();
  const UniqueModule module(
      LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_NE(module, nullptr);
  EXPECT_NE(FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);

  const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), nullptr);
  ASSERT_GT(size, 0U);
  std::vector<unsigned char> record(size);
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, record.data()));
  EXPECT_EQ(VersionString(record, L"ProductName"), L"Tessaline");
  EXPECT_EQ(VersionString(record, L"OriginalFilename"), L"Tessaline.exe");
  EXPECT_EQ(VersionString(record, L"CompanyName"), L"Quorvant Inc.");
  const std::string_view builtIn = kBuiltInVersion;
  EXPECT_EQ(VersionString(record, L"FileVersion"), std::wstring(builtIn.begin(), builtIn.end()));
}

}  // namespace
}  // namespace tessaline
