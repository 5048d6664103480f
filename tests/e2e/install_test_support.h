// Shared by the installation tests: serving one of the published releases,
// and putting the current user's installation state back to nothing.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "common/product_constants.h"
#include "test_server.h"
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

// No installation, no cache, no entry, no shortcut.
inline void ForgetEverythingInstalled() {
  namespace fs = std::filesystem;
  std::error_code ignored;
  fs::remove_all(QuorvantProgramsFolder(), ignored);
  fs::remove_all(LocalAppDataFolder() / L"Quorvant", ignored);
  fs::remove(StartMenuShortcutPath(), ignored);
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath);
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
