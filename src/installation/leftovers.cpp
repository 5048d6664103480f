#include "installation/leftovers.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "common/file_system.h"
#include "common/product_constants.h"
#include "common/unique_handle.h"
#include "installation/close_application.h"
#include "installation/kept_folders.h"
#include "installation/temporary_items.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

// Removes every entry directly inside `folder` whose name `matches`, never
// following a link. Reports the first error in `error` and goes on with the rest.
void RemoveMatching(const fs::path& folder, const std::function<bool(const fs::path&)>& matches,
                    std::error_code& error) {
  error.clear();
  std::vector<fs::path> found;
  std::error_code listing;
  if (!fs::exists(folder, listing)) {
    error = listing;
    return;
  }
  for (fs::directory_iterator entry(folder, listing), end; !listing && entry != end; entry.increment(listing)) {
    if (matches(entry->path())) found.push_back(entry->path());
  }
  if (listing) error = listing;
  for (const fs::path& item : found) {
    std::error_code removal;
    fsops::RemoveTree(item, removal);
    if (removal && !error) error = removal;
  }
}

bool IsRunningProcess(const std::wstring& idText) {
  if (idText.empty() || idText.size() > 10 || idText.find_first_not_of(L"0123456789") != std::wstring::npos) {
    return false;
  }
  const DWORD id = static_cast<DWORD>(std::stoul(idText));
  const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
  return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

bool IsStaleWorkerCopy(const fs::path& path) {
  const std::wstring name = path.filename().native();
  if (!IsTemporarySetupCopy(name)) return false;
  const std::wstring stem = path.stem().native();
  const std::wstring id = stem.substr(stem.rfind(L'-') + 1);
  return !IsRunningProcess(id) && !IsApplicationRunning(path);
}

}  // namespace

bool IsTessalineRegistered() {
  UniqueRegistryKey key;
  return RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_QUERY_VALUE, key.Put()) == ERROR_SUCCESS;
}

void RemoveInstallationLeftovers(const fs::path& quorvantFolder, std::error_code& error) {
  error.clear();
  // A journal that still exists names folders that may hold the user's data.
  std::error_code ignored;
  if (fs::exists(ActivationJournalPath(quorvantFolder), ignored) || ignored) return;
  // While the entry exists, a folder an uninstall moved aside is the user's
  // installation that it could not put back.
  const bool registered = IsTessalineRegistered();
  RemoveMatching(
      quorvantFolder,
      [&](const fs::path& item) {
        const std::wstring name = item.filename().native();
        if (!IsInstallationLeftover(name)) return false;
        const bool mayHoldTheUsersData =
            IsBackupFolderLocation(item, quorvantFolder) || (registered && StartsWith(name, kRemovalPrefix));
        return !mayHoldTheUsersData || !HoldsKeptData(item);
      },
      error);
}

void RemoveAllInstallationLeftovers(const fs::path& quorvantFolder, std::error_code& error) {
  RemoveMatching(
      quorvantFolder, [](const fs::path& item) { return IsInstallationLeftover(item.filename().native()); }, error);
}

void ScheduleTemporaryCopyDeletion(const fs::path& executable) {
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  if (error || temp / executable.filename() != executable) return;
  MoveFileExW(executable.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void RemoveTemporaryWorkerCopies(const fs::path& tempFolder) {
  std::error_code ignored;
  RemoveMatching(tempFolder, IsStaleWorkerCopy, ignored);
}

}  // namespace tessaline
