// Shared by the installation tests: serving one of the published releases,
// and putting the current user's installation state back to nothing.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "common/file_system.h"
#include "common/product_constants.h"
#include "test_server.h"
#include "trust/release_freshness.h"
#include "windows_test_support.h"
#include "winintegration/user_folders.h"

namespace tessaline::testing {

// The releases that publish-releases made, one site each.
inline std::filesystem::path ReleasesFolder() { return TestExecutableFolder() / L"releases"; }

// Makes the test servers answer with release `name`: its manifest on the
// release service and its parts on the package host.
inline void ServeRelease(const std::wstring& name) {
  namespace fs = std::filesystem;
  const fs::path site = ReleasesFolder() / name;
  fs::remove_all(ServerRoot() / L"api");
  fs::remove_all(ServerRoot() / L"packages" / name);
  fs::create_directories(ServerRoot());
  for (const wchar_t* half : {L"release-service", L"package-host"}) {
    for (const auto& entry : fs::recursive_directory_iterator(site / half)) {
      const fs::path target = ServerRoot() / fs::relative(entry.path(), site / half);
      if (entry.is_directory()) {
        fs::create_directories(target);
      } else {
        fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
      }
    }
  }
}

inline std::filesystem::path ServedPartsFolder(const std::wstring& name) { return ServerRoot() / L"packages" / name; }

inline std::filesystem::path InstallerCache() { return LocalAppDataFolder() / L"Quorvant" / L"InstallerCache"; }

// Ends what earlier runs of Setup (an earlier test's among them) still do to
// the user's state: a cleanup worker deleting a backup, an uninstall worker,
// a copy a Setup went on in, the installed application.
inline void EndEveryRunOfSetup() {
  const std::wstring installation = UserApplicationFolder().native();
  RunningProcesses(
      [&](const PROCESSENTRY32W& entry, const std::wstring& image) {
        const std::wstring name = entry.szExeFile;
        return entry.th32ProcessID != GetCurrentProcessId() &&
               (name.rfind(L"TessalineCleanup-", 0) == 0 || name.rfind(L"TessalineUninstall-", 0) == 0 ||
                name.rfind(L"TessalineSetup-", 0) == 0 || _wcsnicmp(image.c_str(), installation.c_str(), installation.size()) == 0);
      },
      true);
}

// No installation, no cache, no entry, no shortcut. Nothing else may be
// deleting there meanwhile: std::filesystem::remove_all (mingw's) spins for
// ever on an entry that vanishes under it, so the trees go through Setup's
// own removal, which passes over what has gone.
inline void ForgetEverythingInstalled() {
  namespace fs = std::filesystem;
  EndEveryRunOfSetup();
  std::error_code ignored;
  fsops::RemoveTree(QuorvantProgramsFolder(), ignored);
  fsops::RemoveTree(LocalAppDataFolder() / L"Quorvant", ignored);
  fs::remove(StartMenuShortcutPath(), ignored);
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath);
  RegDeleteTreeW(HKEY_CURRENT_USER, kReleaseTrustKey);
}

// A text value of the registration entry, or "<none>".
inline std::wstring RegisteredText(const wchar_t* name) {
  wchar_t buffer[2048] = {};
  DWORD size = sizeof(buffer);
  if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKeyPath, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) {
    return L"<none>";
  }
  return buffer;
}

inline std::wstring RegisteredVersion() { return RegisteredText(kDisplayVersionValue); }

}  // namespace tessaline::testing
