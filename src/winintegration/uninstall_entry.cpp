#include "winintegration/uninstall_entry.h"

#include <windows.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "common/command_line.h"
#include "common/file_system.h"
#include "common/product_constants.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

bool IsRegularFile(const fs::path& path) { return fsops::Status(path).type() == fs::file_type::regular; }

void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  if (RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) != ERROR_SUCCESS) {
    throw SetupError("Unable to register Tessaline with Windows");
  }
}

void SetNumber(HKEY key, const wchar_t* name, DWORD value) {
  if (RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) != ERROR_SUCCESS) {
    throw SetupError("Unable to register Tessaline with Windows");
  }
}

}  // namespace

unsigned long EstimateInstallationSize(const fs::path& installationFolder) {
  // Links and junctions are not walked into nor counted, as folder removal
  // never follows them: a loop or a link to a large tree inside a kept
  // folder must not fail or swell the registration, nor a dangling one.
  std::uint64_t total = 0;
  std::vector<fs::path> folders{installationFolder};
  while (!folders.empty()) {
    const fs::path folder = std::move(folders.back());
    folders.pop_back();
    WIN32_FIND_DATAW entry{};
    const fs::path pattern = folder / L"*";
    const UniqueFind find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!find) {
      RaiseLastFileSystemError(folder == installationFolder ? "recursive_directory_iterator::recursive_directory_iterator"
                                                            : "recursive_directory_iterator::operator++",
                               folder);
    }
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L".." || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        folders.push_back(folder / name);
      } else {
        total += (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
      }
    } while (FindNextFileW(find.Get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) RaiseLastFileSystemError("recursive_directory_iterator::operator++", folder);
  }
  const std::uint64_t kib = total / 1024;
  return kib > std::numeric_limits<DWORD>::max() ? std::numeric_limits<DWORD>::max() : static_cast<DWORD>(kib);
}

void RegisterUninstallEntry(const fs::path& installationFolder, const std::string& version) {
  const fs::path uninstaller = installationFolder / L"TessalineUninstall.exe";
  if (!IsRegularFile(uninstaller) || !IsRegularFile(installationFolder / L"TessalineSetup.exe")) {
    throw SetupError("Tessaline Setup is missing from the installation");
  }

  // Before any value is written: a size that cannot be known must not leave
  // an entry that names a version the folder does not hold.
  const DWORD size = EstimateInstallationSize(installationFolder);
  UniqueRegistryKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      key.Put(), nullptr) != ERROR_SUCCESS) {
    throw SetupError("Unable to create the Tessaline application entry");
  }
  const std::wstring quotedUninstaller = QuoteCommandLineArgument(uninstaller.native());
  SetString(key.Get(), L"DisplayName", L"Tessaline");
  SetString(key.Get(), kDisplayVersionValue, Utf8ToWide(version));
  SetString(key.Get(), L"Publisher", L"Quorvant Inc.");
  SetString(key.Get(), L"InstallLocation", installationFolder.native());
  SetString(key.Get(), L"DisplayIcon", (installationFolder / L"Tessaline.exe").native() + L",0");
  SetString(key.Get(), L"UninstallString", quotedUninstaller + L" --uninstall");
  SetString(key.Get(), L"QuietUninstallString", quotedUninstaller + L" --uninstall --quiet");
  SetString(key.Get(), L"URLInfoAbout", kMakerWebPage);
  SetString(key.Get(), L"HelpLink", kMakerHelpPage);
  SetNumber(key.Get(), L"EstimatedSize", size);
  SetNumber(key.Get(), L"NoModify", 1);
  SetNumber(key.Get(), L"NoRepair", 1);
}

}  // namespace tessaline
