#include "kept_data.h"

#include <windows.h>

#include <array>
#include <system_error>

#include "app_files.h"
#include "common/unique_handle.h"

namespace tessaline::sample {

unsigned long EnsureKeptData(const std::filesystem::path& folder, const std::wstring& version) {
  static constexpr std::array<const wchar_t*, 2> kKeptFolders = {
      L"resources\\fennor\\bin\\accelerations",
      L"resources\\fennor\\bin\\cache\\accelerations",
  };
  // The writing version is part of the data, so a test can tell old data
  // that survived an update from data the new version wrote.
  const std::string content = "Tessaline sample data written by version " + WideToUtf8(version) + "\n";
  for (const wchar_t* kept : kKeptFolders) {
    const std::filesystem::path data = folder / kept;
    std::error_code error;
    std::filesystem::create_directories(data, error);
    if (error) return static_cast<unsigned long>(error.value());
    // CREATE_NEW: existing data belongs to the user and stays as it is.
    const UniqueFile file(CreateFileW((data / L"sample-data.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS) continue;
      return code;
    }
    DWORD written = 0;
    if (!WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr)) {
      return GetLastError();
    }
  }
  return 0;
}

}  // namespace tessaline::sample
