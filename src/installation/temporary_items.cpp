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
  // Exactly <prefix><process id>.exe: a download of the user's such as
  // "TessalineSetup-2.0.1.exe" is not one of Setup's copies.
  for (const std::wstring prefix : {kCleanupCopyPrefix, kUninstallCopyPrefix, kRelaunchCopyPrefix}) {
    if (!StartsWith(name, prefix) || !EndsWith(name, L".exe")) continue;
    const std::wstring id = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if (!id.empty() && id.find_first_not_of(L"0123456789") == std::wstring::npos) return true;
  }
  return false;
}

}  // namespace tessaline
