#include "installation/temporary_items.h"

namespace fs = std::filesystem;

namespace tessaline {

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.rfind(prefix, 0) == 0; }

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

fs::path ActivationJournalPath(const fs::path& quorvantFolder) { return quorvantFolder / kActivationJournalName; }

bool IsInstallationLeftover(const std::wstring& name) {
  return StartsWith(name, kBackupPrefix) || StartsWith(name, kStagingPrefix) || StartsWith(name, kRemovalPrefix) ||
         name == std::wstring(kActivationJournalName) + L".new" ||
         (StartsWith(name, kSetupCopyPrefix) && EndsWith(name, L".exe"));
}

bool IsBackupFolderLocation(const fs::path& folder, const fs::path& quorvantFolder) {
  const std::wstring name = folder.filename().native();
  return folder.parent_path() == quorvantFolder &&
         StartsWith(name, kBackupPrefix);
}

bool IsTemporarySetupCopy(const std::wstring& name) {
  return (StartsWith(name, kCleanupCopyPrefix) || StartsWith(name, kUninstallCopyPrefix) ||
          StartsWith(name, kRelaunchCopyPrefix)) &&
         EndsWith(name, L".exe");
}

}  // namespace tessaline
