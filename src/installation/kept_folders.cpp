#include "installation/kept_folders.h"

#include <windows.h>

#include <chrono>
#include <thread>

#include "common/file_system.h"
#include "common/setup_error.h"

namespace fs = std::filesystem;

namespace tessaline {

bool HasKeptData(const fs::path& root, std::size_t index) {
  const fs::path folder = root / kPreservedFolders[index];
  return fsops::Status(folder).type() == fs::file_type::directory && !fsops::IsEmpty(folder);
}

bool HoldsKeptData(const fs::path& root) {
  for (std::size_t i = 0; i < kPreservedFolderCount; ++i) {
    try {
      if (HasKeptData(root, i)) return true;
    } catch (const std::exception&) {
      return true;
    }
  }
  return false;
}

unsigned long TryMoveFor(const fs::path& from, const fs::path& to, unsigned long flags,
                         std::chrono::milliseconds window) {
  // Without long paths enabled (the default), a plain path stops at 260
  // characters, and a backup's name is longer than the installation's.
  const std::wstring source = ExtendedLengthPath(from);
  const std::wstring target = ExtendedLengthPath(to);
  const auto deadline = std::chrono::steady_clock::now() + window;
  while (true) {
    if (MoveFileExW(source.c_str(), target.c_str(), flags)) return 0;
    const DWORD code = GetLastError();
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(250));
    if (std::chrono::steady_clock::now() >= deadline) return code;
  }
}

void MoveWithRetry(const fs::path& from, const fs::path& to, int seconds) {
  const unsigned long code =
      TryMoveFor(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED, std::chrono::seconds(seconds));
  if (code != 0) {
    throw SetupError(FileSystemFailureText("Unable to activate the Tessaline installation",
                                           WindowsErrorDescription(code), from, to),
                     code);
  }
}

void MoveFolder(const fs::path& from, const fs::path& to) {
  fsops::CreateDirectories(to.parent_path());
  // A scanner or an indexer opening a file in a folder just renamed holds it
  // for a moment, as it may hold the installation folder.
  const unsigned long code =
      TryMoveFor(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED, std::chrono::seconds(kMoveWindowSeconds));
  if (code != 0) {
    throw FileSystemFailure("rename", std::error_code(static_cast<int>(code), std::system_category()), from, to);
  }
}

}  // namespace tessaline
