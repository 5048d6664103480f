// The names of everything Setup keeps for a while beside the installation
// folder or in the user's temporary folder. One place, so that what a run
// creates and what a later run recognises and removes cannot drift apart.
#pragma once

#include <filesystem>
#include <string>

namespace tessaline {

// Beside the installation folder, each followed by a run suffix.
inline constexpr wchar_t kBackupPrefix[] = L".Tessaline-backup-";    // the previous version during an update
inline constexpr wchar_t kStagingPrefix[] = L".Tessaline-staging-";  // the new version while it is unpacked
inline constexpr wchar_t kSetupCopyPrefix[] = L".TessalineSetup-";   // + ".exe": the copy that goes with it
inline constexpr wchar_t kRemovalPrefix[] = L".Tessaline-removed-";  // an uninstalled folder being deleted
// The activation's journal, while it moves folders.
inline constexpr wchar_t kActivationJournalName[] = L".Tessaline-activation";
// Where recovery puts a kept folder that it found twice (see README); never
// removed by Setup.
inline constexpr wchar_t kRecoveredDataFolder[] = L"Tessaline recovered data";

// In the temporary folder, each followed by a process id and ".exe".
inline constexpr wchar_t kCleanupCopyPrefix[] = L"TessalineCleanup-";
inline constexpr wchar_t kUninstallCopyPrefix[] = L"TessalineUninstall-";
inline constexpr wchar_t kRelaunchCopyPrefix[] = L"TessalineSetup-";

bool StartsWith(const std::wstring& text, const std::wstring& prefix);
bool EndsWith(const std::wstring& text, const std::wstring& suffix);

std::filesystem::path ActivationJournalPath(const std::filesystem::path& quorvantFolder);

// Whether `name` is one of a run's temporary items in the Quorvant folder:
// a backup, staging or removal folder, or a copy of Setup.
bool IsInstallationLeftover(const std::wstring& name);

// Whether `folder` is a backup folder directly inside `quorvantFolder`.
bool IsBackupFolderLocation(const std::filesystem::path& folder, const std::filesystem::path& quorvantFolder);

// Whether `name` is a temporary copy a worker or a relaunched Setup ran from.
bool IsTemporarySetupCopy(const std::wstring& name);

}  // namespace tessaline
