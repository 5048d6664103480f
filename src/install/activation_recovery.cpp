#include "activation_recovery.h"

#include <windows.h>

#include <string>
#include <vector>

#include "cleanup.h"
#include "file_system.h"
#include "install_package.h"
#include "installation_leftovers.h"
#include "text_conversion.h"
#include "unique_handle.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

[[noreturn]] void RaiseJournalError(const char* operation, const fs::path& journal) {
  const DWORD code = GetLastError();
  throw FileSystemFailure(operation, std::error_code(static_cast<int>(code), std::system_category()), journal);
}

// The backup folder a journal names, or an empty path when it names none:
// a journal cut short by a power cut was written before the first move, so
// there is nothing to recover from it.
fs::path JournalBackupFolder(const fs::path& quorvantFolder, const fs::path& journal) {
  const std::vector<std::uint8_t> bytes = [&] {
    UniqueFile file(CreateFileW(journal.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) RaiseJournalError("open", journal);
    std::vector<std::uint8_t> content(1024);
    DWORD read = 0;
    if (!ReadFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr)) {
      RaiseJournalError("read", journal);
    }
    content.resize(read);
    return content;
  }();
  try {
    const fs::path name = Utf8ToWide(std::string(bytes.begin(), bytes.end()));
    const fs::path backup = quorvantFolder / name;
    if (name.has_parent_path() || !IsBackupFolderLocation(backup, quorvantFolder)) return {};
    return backup;
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

void WriteActivationJournal(const fs::path& quorvantFolder, const fs::path& backupFolder) {
  const fs::path journal = ActivationJournalPath(quorvantFolder);
  const std::string name = WideToUtf8(backupFolder.filename().native());
  UniqueFile file(CreateFileW(journal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) RaiseJournalError("open", journal);
  DWORD written = 0;
  if (!WriteFile(file.Get(), name.data(), static_cast<DWORD>(name.size()), &written, nullptr) ||
      written != name.size() || !FlushFileBuffers(file.Get())) {
    RaiseJournalError("write", journal);
  }
}

void RemoveActivationJournal(const fs::path& quorvantFolder) { fsops::Remove(ActivationJournalPath(quorvantFolder)); }

void RecoverInterruptedActivation(const fs::path& quorvantFolder, const fs::path& installationFolder) {
  const fs::path journal = ActivationJournalPath(quorvantFolder);
  if (fsops::Exists(journal)) {
    const fs::path backup = JournalBackupFolder(quorvantFolder, journal);
    if (!backup.empty() && fsops::Status(backup).type() == fs::file_type::directory) {
      if (!fsops::Exists(installationFolder)) {
        MoveWithRetry(backup, installationFolder, 20);
      } else {
        // Kept folders the backup still holds were never moved (or were moved
        // back by a rollback that was cut off): the installation lacks them.
        MovePreservedFolders(backup, installationFolder);
      }
    }
    RemoveActivationJournal(quorvantFolder);
  }
  std::error_code ignored;
  RemoveInstallationLeftovers(quorvantFolder, ignored);
}

}  // namespace tessaline
