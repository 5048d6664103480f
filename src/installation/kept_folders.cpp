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

void MoveWithRetry(const fs::path& from, const fs::path& to, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (true) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return;
    const DWORD code = GetLastError();
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(250));
    if (std::chrono::steady_clock::now() >= deadline) {
      throw SetupError(FileSystemFailureText("Unable to activate the Tessaline installation",
                                             WindowsErrorDescription(code), from, to));
    }
  }
}

void MoveFolder(const fs::path& from, const fs::path& to) {
  fsops::CreateDirectories(to.parent_path());
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    RaiseLastFileSystemError("rename", from, to);
  }
}

}  // namespace tessaline
