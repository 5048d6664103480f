// Setup started from a folder where someone left DLLs named like the ones it
// uses, the way a Downloads or temporary folder can hold them. Wine is told to
// prefer a DLL from the program's folder to its own (as Windows does for DLLs
// that are no KnownDLLs), so a planted DLL is loaded unless Setup keeps the
// loader to System32. Every mode runs; none may load it.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "install_test_support.h"
#include "planted_dlls.h"
#include "ui/setup_window.h"
#include "ui_driver.h"
#include "windows_test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace tessaline::testing;

// msvcrt and kernel32 are not planted: they are loaded with the image itself,
// before any code of Setup runs. Windows takes them from its KnownDLLs; Wine
// has no KnownDLLs and ignores DependentLoadFlags, so under Wine nothing can
// keep them out of the program's folder.
const std::vector<std::wstring> kPlantedDlls = {TESSALINE_PLANTED_DLLS};

fs::path PlantedDll(const std::wstring& name) {
  return TestExecutableFolder() / L"planted" / name / (name + L".dll");
}

// While this lives, programs named `program` prefer a DLL named `dll` from
// their own folder to Wine's, as Windows does for DLLs that are no KnownDLLs.
// Wine's per-program overrides, not WINEDLLOVERRIDES: Wine 8 takes that
// variable from the Unix environment, which a child started with
// CreateProcessW inherits unchanged from the test's own start.
class PreferLocalDll {
 public:
  PreferLocalDll(const std::wstring& program, const std::wstring& dll)
      : key_(L"Software\\Wine\\AppDefaults\\" + program) {
    const std::wstring overrides = key_ + L"\\DllOverrides";
    const wchar_t order[] = L"native,builtin";
    const LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), dll.c_str(), REG_SZ, order,
                                           sizeof(order));
    if (status != ERROR_SUCCESS) throw std::runtime_error("cannot set the DLL override: " + std::to_string(status));
  }
  ~PreferLocalDll() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
  PreferLocalDll(const PreferLocalDll&) = delete;
  PreferLocalDll& operator=(const PreferLocalDll&) = delete;

 private:
  std::wstring key_;
};

// The IDs of the running processes whose executable is named `name`.
std::vector<DWORD> ProcessesNamed(const std::wstring& name) {
  std::vector<DWORD> found;
  // A failed snapshot is INVALID_HANDLE_VALUE, as for CreateFileW.
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) throw std::runtime_error("cannot list the running processes");
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, name.c_str()) == 0) found.push_back(entry.th32ProcessID);
  }
  return found;
}

// While this lives, a crashing program ends at once instead of waiting in
// Wine's crash dialog. Only a Setup that loaded a planted DLL crashes; it
// should fail its test, not hang it. Wine's debugger, started for the crash
// even without the dialog, can still wait on the crashed program for good;
// it holds the test's inherited output, so ctest would wait with it until
// the test's time-out. It is ended when this goes, and the crashed program
// it holds with it.
class QuietCrashes {
 public:
  QuietCrashes() {
    DWORD size = sizeof(previous_);
    had_ = RegGetValueW(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_DWORD, nullptr, &previous_, &size) == ERROR_SUCCESS;
    const DWORD off = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_DWORD, &off, sizeof(off));
  }
  ~QuietCrashes() {
    try {
      for (const DWORD debugger : ProcessesNamed(L"winedbg.exe")) {
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, debugger));
        if (process) TerminateProcess(process.Get(), 1);
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    if (had_) {
      RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_DWORD, &previous_, sizeof(previous_));
    } else {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue);
    }
  }
  QuietCrashes(const QuietCrashes&) = delete;
  QuietCrashes& operator=(const QuietCrashes&) = delete;

 private:
  static constexpr const wchar_t* kKey = L"Software\\Wine\\WineDbg";
  static constexpr const wchar_t* kValue = L"ShowCrashDialog";
  DWORD previous_ = 0;
  bool had_ = false;
};

// A name of this test process's own, so that no other test's program is
// given the override.
std::wstring OwnName(const std::wstring& stem) { return stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L".exe"; }

constexpr auto kProcessTime = std::chrono::seconds(30);
constexpr auto kNow = std::chrono::milliseconds(0);
const std::optional<DWORD> kSuccess = 0;

// The exit code, or nullopt while the process still runs after `limit`.
std::optional<DWORD> ExitCodeWithin(const StartedProcess& process, std::chrono::milliseconds limit) {
  if (!process.EndsWithin(limit)) return std::nullopt;
  return process.ExitCode();
}

// Whether a process whose executable is named `name` runs.
bool ProcessRuns(const std::wstring& name) { return !ProcessesNamed(name).empty(); }

// This process's environment with TEMP and TMP naming `folder`, as a block
// for CreateProcessW.
std::wstring EnvironmentWithTemp(const fs::path& folder) {
  std::wstring block;
  wchar_t* const strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    if (_wcsnicmp(entry, L"TEMP=", 5) == 0 || _wcsnicmp(entry, L"TMP=", 4) == 0) continue;
    block += entry;
    block += L'\0';
  }
  FreeEnvironmentStringsW(strings);
  for (const wchar_t* name : {L"TEMP=", L"TMP="}) {
    block += name + folder.native();
    block += L'\0';
  }
  return block;
}

bool BackupFolderExists() {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(QuorvantProgramsFolder(), ignored)) {
    if (entry.path().filename().native().rfind(L".Tessaline-backup-", 0) == 0) return true;
  }
  return false;
}

// Setup, and the temporary copies it makes of itself, run from a folder that
// holds a planted DLL: Setup from the scratch folder, its copies from its
// temporary folder, which is the same scratch folder (TEMP points there).
class PlantedBesideSetup : public ::testing::TestWithParam<std::wstring> {
 protected:
  void SetUp() override {
    ForgetEverythingInstalled();
    fs::copy_file(SetupExecutable(), setup);
    fs::copy_file(PlantedDll(GetParam()), folder / (GetParam() + L".dll"));
  }
  void TearDown() override { ForgetEverythingInstalled(); }

  fs::path Marker() const { return folder / (GetParam() + L".dll.loaded"); }
  bool Planted() const { return fs::exists(Marker()); }

  static std::wstring UninstallCopy(DWORD launcher) { return L"TessalineUninstall-" + std::to_wstring(launcher) + L".exe"; }
  static std::wstring CleanupCopy(DWORD launcher) { return L"TessalineCleanup-" + std::to_wstring(launcher) + L".exe"; }

  // Each mode is judged on its own process. It starts suspended until its
  // copies, named after its process id, prefer the planted DLL as well.
  StartedProcess Start(const std::vector<std::wstring>& arguments) {
    fs::remove(Marker());
    StartedProcess process(setup, arguments, CREATE_SUSPENDED, &environment);
    for (const std::wstring& copy : {UninstallCopy(process.Id()), CleanupCopy(process.Id())}) {
      copyOverrides.push_back(std::make_unique<PreferLocalDll>(copy, GetParam()));
    }
    process.Resume();
    return process;
  }

  // Until the process ends, `ready` holds or the planted DLL shows loaded. A
  // Setup that loaded it is given up at once: it would crash at its first
  // call into the stand-in, and Wine's debugger would keep it from ending.
  void WaitFor(const StartedProcess& process, const std::function<bool()>& ready = [] { return false; }) const {
    WaitUntil([&] { return process.EndsWithin(kNow) || Planted() || ready(); }, kProcessTime);
  }

  // The exit code of a mode without a window, or nullopt.
  std::optional<DWORD> Run(const std::vector<std::wstring>& arguments) {
    StartedProcess process = Start(arguments);
    WaitFor(process);
    return Planted() ? std::nullopt : ExitCodeWithin(process, kNow);
  }

  // Until a temporary copy of Setup has run and ended; false if it never
  // appeared in the temporary folder.
  bool WaitForCopy(const std::wstring& name) const {
    WaitUntil([&] { return Planted() || (fs::exists(folder / name) && !ProcessRuns(name)); }, kProcessTime);
    return fs::exists(folder / name);
  }

  // The mode's window: found, `ready` awaited (a finished installation, say),
  // then closed the way the user would close it. The install worker of the
  // plain mode ignores the first close while it runs (that one only
  // cancels), so the close is repeated until Setup ends.
  struct WindowRun {
    std::optional<DWORD> exitCode;
    DWORD processId = 0;
    std::wstring status;  // when `ready` held
  };
  WindowRun RunWindowMode(const std::vector<std::wstring>& arguments,
                          const std::function<bool(HWND)>& ready = [](HWND) { return true; }) {
    WindowRun run;
    StartedProcess process = Start(arguments);
    run.processId = process.Id();
    HWND window = nullptr;
    WaitFor(process, [&] { return (window = FindProcessWindow(process.Id(), L"TessalineSetupWindow")) != nullptr; });
    if (window == nullptr) {
      if (!Planted()) ADD_FAILURE() << "no Setup window (does the bench's display run?)";
      return run;
    }
    WaitFor(process, [&] { return ready(window); });
    if (!Planted()) run.status = ControlText(window, kStatusTextId);
    for (int attempt = 0; attempt < 240 && !Planted(); ++attempt) {
      PostMessageW(window, WM_CLOSE, 0, 0);
      if ((run.exitCode = ExitCodeWithin(process, std::chrono::milliseconds(500)))) break;
    }
    return run;
  }

  // Whether the window's installation has ended, for better or worse.
  static bool InstallationEnded(HWND window) {
    const std::wstring action = ControlText(window, kActionButtonId);
    return action == L"Launch" || action == L"Close";
  }

  // The plain mode with `release` served, from start to a finished
  // installation, which must have succeeded as it would without the DLL.
  WindowRun InstallToReady(const std::wstring& release) {
    ServeRelease(release);
    WindowRun run = RunWindowMode({}, InstallationEnded);
    EXPECT_FALSE(Planted());
    EXPECT_EQ(run.status, L"Tessaline is ready.");
    EXPECT_EQ(run.exitCode, kSuccess);
    return run;
  }

  QuietCrashes quietCrashes;
  ScratchFolder folder;
  std::wstring environment = EnvironmentWithTemp(folder.Path());
  fs::path setup = folder / OwnName(L"TessalineSetup");
  PreferLocalDll preferLocal{setup.filename().native(), GetParam()};
  std::vector<std::unique_ptr<PreferLocalDll>> copyOverrides;
};

TEST_P(PlantedBesideSetup, IsLoadedInNoMode) {
  {
    SCOPED_TRACE("--lifecycle-probe");
    const fs::path output = folder / L"probe.txt";
    EXPECT_EQ(Run({L"--lifecycle-probe", L"none", L"1.0.0", output.native()}), kSuccess);
    EXPECT_EQ(ReadBytes(output), "install\n");
    EXPECT_FALSE(Planted());
  }
  {
    // The signature check is where bcrypt is first called.
    SCOPED_TRACE("--verify-manifest");
    const fs::path fixtures = TestExecutableFolder() / L"fixtures" / L"signatures";
    ASSERT_TRUE(fs::exists(fixtures / L"manifest.json")) << "the signature fixtures were not made";
    EXPECT_EQ(Run({L"--verify-manifest", (fixtures / L"manifest.json").native(),
                   (fixtures / L"manifest.json.sig").native()}),
              kSuccess);
    EXPECT_EQ(Run({L"--verify-manifest", (folder / L"missing.json").native(), (folder / L"missing.sig").native()}),
              std::optional<DWORD>(1));
    EXPECT_FALSE(Planted());
  }
  {
    // Not a backup folder: refused, after the worker's start-up.
    SCOPED_TRACE("--cleanup-worker");
    EXPECT_EQ(Run({L"--cleanup-worker", L"1", L"C:\\x"}), std::optional<DWORD>(1));
    EXPECT_FALSE(Planted());
  }
  {
    SCOPED_TRACE("--ui-preview");
    EXPECT_EQ(RunWindowMode({L"--ui-preview"}).exitCode, kSuccess);
    EXPECT_FALSE(Planted());
  }
  {
    // A first installation: the whole pipeline, TLS, the shortcut through COM.
    SCOPED_TRACE("no arguments, installing");
    InstallToReady(L"v1.0.0");
  }
  {
    // An update leaves a backup, which the temporary cleanup copy removes
    // once Setup has ended.
    SCOPED_TRACE("no arguments, updating, and the cleanup copy");
    const WindowRun update = InstallToReady(L"v1.1.0");
    EXPECT_TRUE(WaitForCopy(CleanupCopy(update.processId))) << "no cleanup copy in the temporary folder";
    EXPECT_FALSE(Planted());
    EXPECT_TRUE(WaitUntil([] { return !BackupFolderExists(); }, kProcessTime)) << "the backup stayed";
  }
  {
    // The launcher asks first; answering No ends it before any copy starts.
    SCOPED_TRACE("--uninstall, answered No");
    StartedProcess launcher = Start({L"--uninstall"});
    HWND box = nullptr;
    WaitFor(launcher, [&] { return (box = FindMessageBox(launcher.Id())) != nullptr; });
    ASSERT_FALSE(Planted());
    ASSERT_NE(box, nullptr) << "no question box (does the bench's display run?)";
    EXPECT_EQ(MessageBoxText(box), L"Remove Tessaline from this computer?");
    PressMessageBoxButton(box, IDNO);
    WaitFor(launcher);
    EXPECT_FALSE(Planted());
    EXPECT_EQ(ExitCodeWithin(launcher, kNow), kSuccess);
    EXPECT_EQ(RegisteredVersion(), L"1.1.0");
  }
  {
    // Quietly: the launcher starts its temporary copy, which removes it all.
    SCOPED_TRACE("--uninstall --quiet, and the uninstall copy");
    StartedProcess launcher = Start({L"--uninstall", L"--quiet"});
    WaitFor(launcher);
    EXPECT_EQ(ExitCodeWithin(launcher, kNow), kSuccess);
    EXPECT_TRUE(WaitForCopy(UninstallCopy(launcher.Id()))) << "no uninstall copy in the temporary folder";
    EXPECT_FALSE(Planted());
    EXPECT_EQ(RegisteredVersion(), L"<none>");
    EXPECT_FALSE(fs::exists(UserApplicationFolder() / L"Tessaline.exe"));
  }
}

// The control: the same DLL and the same override beside a program without
// the protection is loaded, so the test above can fail.
class PlantedBesideAPlainProgram : public ::testing::TestWithParam<std::wstring> {};

TEST_P(PlantedBesideAPlainProgram, IsLoaded) {
  QuietCrashes quietCrashes;
  ScratchFolder folder;
  const fs::path program = folder / OwnName(L"plain_importer");
  PreferLocalDll preferLocal(program.filename().native(), GetParam());
  fs::copy_file(TestExecutableFolder() / L"plain_importer.exe", program);
  fs::copy_file(PlantedDll(GetParam()), folder / (GetParam() + L".dll"));
  const fs::path marker = folder / (GetParam() + L".dll.loaded");
  // Its exit code says nothing: a planted DLL that stands in for a real one
  // can break the Wine libraries that import it.
  StartedProcess process(program, {});
  WaitUntil([&] { return process.EndsWithin(kNow) || fs::exists(marker); }, kProcessTime);
  EXPECT_TRUE(fs::exists(marker));
}

std::string DllName(const ::testing::TestParamInfo<std::wstring>& info) {
  std::string name;
  for (const wchar_t c : info.param) name += static_cast<char>(c);
  return name;
}

INSTANTIATE_TEST_SUITE_P(Dlls, PlantedBesideSetup, ::testing::ValuesIn(kPlantedDlls), DllName);
INSTANTIATE_TEST_SUITE_P(Dlls, PlantedBesideAPlainProgram, ::testing::ValuesIn(kPlantedDlls), DllName);

// The image's own request to the loader: static imports from System32 only.
struct LoadConfiguration {
  DWORD directorySize = 0;
  DWORD recordSize = 0;
  WORD dependentLoadFlags = 0;
};

template <typename T>
T At(const std::string& image, std::size_t offset) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) throw std::runtime_error("truncated image");
  T value;
  std::memcpy(&value, image.data() + offset, sizeof(T));
  return value;
}

std::optional<LoadConfiguration> ReadLoadConfiguration(const fs::path& path) {
  const std::string image = ReadBytes(path);
  const auto dos = At<IMAGE_DOS_HEADER>(image, 0);
  const auto nt = At<IMAGE_NT_HEADERS64>(image, static_cast<std::size_t>(dos.e_lfanew));
  if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    throw std::runtime_error("not a PE32+ image");
  }
  const IMAGE_DATA_DIRECTORY directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  if (directory.VirtualAddress == 0) return std::nullopt;

  const std::size_t sections = static_cast<std::size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                               nt.FileHeader.SizeOfOptionalHeader;
  for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
    const auto section = At<IMAGE_SECTION_HEADER>(image, sections + i * sizeof(IMAGE_SECTION_HEADER));
    if (directory.VirtualAddress < section.VirtualAddress ||
        directory.VirtualAddress >= section.VirtualAddress + section.SizeOfRawData) {
      continue;
    }
    const std::size_t record = section.PointerToRawData + (directory.VirtualAddress - section.VirtualAddress);
    LoadConfiguration configuration;
    configuration.directorySize = directory.Size;
    configuration.recordSize = At<DWORD>(image, record);
    // DependentLoadFlags: offset 78 of the 64-bit record.
    if (configuration.recordSize >= 80) configuration.dependentLoadFlags = At<WORD>(image, record + 78);
    return configuration;
  }
  throw std::runtime_error("the load configuration lies in no section");
}

TEST(SetupLoadConfiguration, AsksForStaticImportsFromSystem32Only) {
  const std::optional<LoadConfiguration> configuration = ReadLoadConfiguration(SetupExecutable());
  ASSERT_TRUE(configuration.has_value()) << "no load configuration directory";
  EXPECT_EQ(configuration->dependentLoadFlags, LOAD_LIBRARY_SEARCH_SYSTEM32);
  EXPECT_EQ(configuration->directorySize, configuration->recordSize);
}

}  // namespace
}  // namespace tessaline
