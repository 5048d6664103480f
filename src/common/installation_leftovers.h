// What an installation leaves beside the installation folder while it runs:
// its staging folder, its copy of Setup, the previous version's backup folder
// and the journal of its activation. A run that ended normally removes or
// hands off all of them; a run that was killed does not.
#pragma once

#include <filesystem>
#include <system_error>

namespace tessaline {

// The journal an activation writes before its first move and deletes once
// the new version is registered: while it exists, the backup folder it names
// may hold the only copy of the previous version and the user's data.
std::filesystem::path ActivationJournalPath(const std::filesystem::path& quorvantFolder);

// Whether `name` is one of a run's temporary items in the Quorvant folder:
// ".Tessaline-backup-*", ".Tessaline-staging-*" or ".TessalineSetup-*.exe".
bool IsInstallationLeftover(const std::wstring& name);

// Removes every such item directly inside `quorvantFolder`, never following
// a link. Reports the first error in `error` and goes on with the rest.
void RemoveInstallationLeftovers(const std::filesystem::path& quorvantFolder, std::error_code& error);

// Removes the temporary copies earlier cleanup and uninstall workers ran
// from ("TessalineCleanup-*.exe", "TessalineUninstall-*.exe" directly inside
// `tempFolder`). Each worker asks Windows to delete its own copy at the next
// restart, which Windows does only for administrators. A copy that still
// runs cannot be deleted and stays. Errors are passed over.
void RemoveTemporaryWorkerCopies(const std::filesystem::path& tempFolder);

}  // namespace tessaline
