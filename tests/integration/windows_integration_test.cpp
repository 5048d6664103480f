// The registration entry, the user folders and the shortcut, against the
// prefix's real registry, known folders and shell link object.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/command_line.h"
#include "common/product_constants.h"
#include "common/setup_error.h"
#include "windows_test_support.h"
#include "winintegration/uninstall_entry.h"
#include "winintegration/user_folders.h"

namespace tessaline {
namespace {

using testing::ScratchFolder;
using testing::WriteBytes;

std::wstring ReadString(const wchar_t* name) {
  wchar_t buffer[2048] = {};
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKeyPath, name, RRF_RT_ANY, &type, buffer, &size) != ERROR_SUCCESS) {
    return L"<absent>";
  }
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << name;
  EXPECT_EQ(size, (wcslen(buffer) + 1) * sizeof(wchar_t)) << name << " is not stored with exactly one zero";
  return buffer;
}

DWORD ReadNumber(const wchar_t* name) {
  DWORD value = 0xFFFFFFFF;
  DWORD size = sizeof(value);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kUninstallKeyPath, name, RRF_RT_REG_DWORD, nullptr, &value, &size),
            ERROR_SUCCESS)
      << name;
  return value;
}

bool KeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class RegistrationEntry : public ::testing::Test {
 protected:
  ScratchFolder scratch;
  std::filesystem::path folder = scratch / L"Programs with spaces" / L"Tessaline";

  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath);
    std::filesystem::create_directories(folder / L"resources");
    WriteBytes(folder / L"TessalineSetup.exe", std::string(1000, 's'));
    WriteBytes(folder / L"TessalineUninstall.exe", std::string(1000, 'u'));
    WriteBytes(folder / L"resources" / L"data.bin", std::string(1100, 'd'));
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath); }
};

TEST_F(RegistrationEntry, RecordsTheInstallationForTheProgramsList) {
  RegisterUninstallEntry(folder, "1.2.0-\xC3\xA9t\xC3\xA9");
  const std::wstring quoted = L"\"" + (folder / L"TessalineUninstall.exe").native() + L"\"";
  EXPECT_EQ(ReadString(L"DisplayName"), L"Tessaline");
  EXPECT_EQ(ReadString(L"DisplayVersion"), L"1.2.0-\u00e9t\u00e9");
  EXPECT_EQ(ReadString(L"Publisher"), L"Quorvant Inc.");
  EXPECT_EQ(ReadString(L"InstallLocation"), folder.native());
  EXPECT_EQ(ReadString(L"DisplayIcon"), (folder / L"Tessaline.exe").native() + L",0");
  EXPECT_EQ(ReadString(L"UninstallString"), quoted + L" --uninstall");
  EXPECT_EQ(ReadString(L"QuietUninstallString"), quoted + L" --uninstall --quiet");
  EXPECT_EQ(ReadString(L"URLInfoAbout").rfind(L"https://", 0), 0U);
  EXPECT_EQ(ReadString(L"HelpLink").rfind(L"https://", 0), 0U);
  EXPECT_EQ(ReadNumber(L"EstimatedSize"), 3U);  // 3100 bytes
  EXPECT_EQ(ReadNumber(L"NoModify"), 1U);
  EXPECT_EQ(ReadNumber(L"NoRepair"), 1U);
}

TEST_F(RegistrationEntry, OverwritesItsValuesAndKeepsOthers) {
  RegisterUninstallEntry(folder, "1.0.0");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  const wchar_t other[] = L"kept";
  RegSetValueExW(key, L"Comments", 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof(other));
  RegCloseKey(key);
  RegisterUninstallEntry(folder, "1.1.0");
  EXPECT_EQ(ReadString(L"DisplayVersion"), L"1.1.0");
  EXPECT_EQ(ReadString(L"Comments"), L"kept");

  // Invalid UTF-8 fails after DisplayName; the version recorded before stays.
  try {
    RegisterUninstallEntry(folder, "1.2.0\xFF");
    ADD_FAILURE() << "registered an invalid version";
  } catch (const SetupError& e) {
    EXPECT_STREQ(e.what(), "The release contains invalid UTF-8");
  }
  EXPECT_EQ(ReadString(L"DisplayVersion"), L"1.1.0");
}

TEST_F(RegistrationEntry, RequiresBothCopiesOfSetup) {
  std::filesystem::remove(folder / L"TessalineUninstall.exe");
  try {
    RegisterUninstallEntry(folder, "1.0.0");
    ADD_FAILURE();
  } catch (const SetupError& e) {
    EXPECT_STREQ(e.what(), "Tessaline Setup is missing from the installation");
  }
  EXPECT_FALSE(KeyExists());
  std::filesystem::create_directory(folder / L"TessalineUninstall.exe");  // a folder is not the program
  EXPECT_THROW(RegisterUninstallEntry(folder, "1.0.0"), SetupError);
  EXPECT_FALSE(KeyExists());
}

// Wine 8 makes no links from the Windows side (CreateSymbolicLinkW does
// nothing): a Unix symbolic link inside the prefix is what it shows as a link
// to a folder. `script` runs in the Unix folder of `folder`; false when not
// under Wine or when it did not finish.
bool RunUnixShellIn(const std::filesystem::path& folder, const std::string& script) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  const auto toUnix =
      reinterpret_cast<ToUnix>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (toUnix == nullptr) return false;
  char* unixFolder = toUnix(folder.c_str());
  if (unixFolder == nullptr) return false;
  const std::string quoted = std::string("'") + unixFolder + "'";
  HeapFree(GetProcessHeap(), 0, unixFolder);
  // A Unix program cannot be waited on from here: it leaves a mark when done.
  const std::string command = "cd " + quoted + " && " + script + " && touch .done";
  std::wstring line = L"\"Z:\\bin\\sh\" -c " + QuoteCommandLineArgument(std::wstring(command.begin(), command.end()));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  const UniqueProcessInformation started(info);
  for (int i = 0; i < 200 && !std::filesystem::exists(folder / L".done"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::filesystem::remove(folder / L".done");
}

// Links inside a kept folder are the application's business: a loop or a
// dangling one must not fail the registration, and what they lead to is not
// part of the installation. (Wine lists no dangling link at all; on Windows
// it is listed and cannot be followed.)
TEST_F(RegistrationEntry, PassesOverLinksInsideTheInstallation) {
  const std::filesystem::path kept = folder / L"resources" / L"fennor" / L"bin" / L"accelerations";
  std::filesystem::create_directories(kept);
  WriteBytes(kept / L"model.bin", std::string(2048, 'm'));
  if (!RunUnixShellIn(kept, "ln -s . loop && ln -s ../../../../.. up && ln -s /nonexistent-tessaline dangling")) {
    GTEST_SKIP() << "links are made through Wine's Unix side";
  }
  ASSERT_NE(GetFileAttributesW((kept / L"loop").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0U);
  RegisterUninstallEntry(folder, "1.0.0");
  EXPECT_EQ(ReadNumber(L"EstimatedSize"), 5U);  // 3100 + 2048 bytes, nothing twice
  EXPECT_TRUE(RunUnixShellIn(kept, "rm loop up dangling"));  // the scratch folder's removal would follow them
}

TEST(EstimateInstallationSize, CountsWholeKibibytesOfRegularFiles) {
  ScratchFolder folder;
  WriteBytes(folder / L"a.bin", std::string(1023, 'a'));
  EXPECT_EQ(EstimateInstallationSize(folder.Path()), 0U);
  std::filesystem::create_directories(folder / L"deep" / L"er");
  WriteBytes(folder.Path() / L"deep" / L"er" / L"b.bin", std::string(513, 'b'));
  EXPECT_EQ(EstimateInstallationSize(folder.Path()), 1U);  // 1536 bytes
}

TEST(UserFolders, DeriveFromTheKnownFolders) {
  const std::filesystem::path local = LocalAppDataFolder();
  EXPECT_TRUE(std::filesystem::is_directory(local));
  EXPECT_EQ(UserApplicationFolder(), local / L"Programs" / L"Quorvant" / L"Tessaline");
  EXPECT_EQ(StartMenuShortcutPath().filename(), L"Tessaline.lnk");
  EXPECT_EQ(StartMenuShortcutPath().parent_path().filename(), L"Quorvant");
  EXPECT_EQ(SetupExecutablePath(), testing::TestExecutableFolder() / L"windows_integration_tests.exe");
}

std::wstring ShortcutTarget(const std::filesystem::path& shortcut, std::wstring* workingFolder) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return L"<no link object>";
  }
  IPersistFile* file = nullptr;
  std::wstring target = L"<unreadable>";
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    if (SUCCEEDED(file->Load(shortcut.c_str(), STGM_READ))) {
      wchar_t buffer[MAX_PATH] = {};
      link->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH);
      target = buffer;
      link->GetWorkingDirectory(buffer, MAX_PATH);
      *workingFolder = buffer;
    }
    file->Release();
  }
  link->Release();
  return target;
}

TEST(StartMenuShortcut, IsCreatedWithItsFolderAndRemoved) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  const std::filesystem::path shortcut = StartMenuShortcutPath();
  std::filesystem::remove_all(shortcut.parent_path());
  ScratchFolder folder;
  const std::filesystem::path target = folder / L"Install Dir" / L"Tessaline.exe";
  std::filesystem::create_directories(target.parent_path());
  WriteBytes(target, "MZ");

  CreateStartMenuShortcut(target);
  ASSERT_TRUE(std::filesystem::is_regular_file(shortcut));
  std::wstring working;
  EXPECT_EQ(ShortcutTarget(shortcut, &working), target.native());
  EXPECT_EQ(working, target.parent_path().native());

  RemoveStartMenuShortcut();
  EXPECT_FALSE(std::filesystem::exists(shortcut));
  EXPECT_TRUE(std::filesystem::is_directory(shortcut.parent_path()));
  RemoveStartMenuShortcut();  // nothing there: silently nothing
  CoUninitialize();
}

}  // namespace
}  // namespace tessaline
