// Recognising and finishing an activation that was cut off between its
// moves (a crash, a power cut, Setup ended from outside), from the journal
// that the activation keeps while it moves folders.
#pragma once

#include <filesystem>

namespace tessaline {

// Records, durably, that an activation with this backup folder is under way.
// Written before the activation's first move.
void WriteActivationJournal(const std::filesystem::path& quorvantFolder, const std::filesystem::path& backupFolder);

// Deletes the journal once the new version is registered.
void RemoveActivationJournal(const std::filesystem::path& quorvantFolder);

// Run under the installation lock, before anything else touches the
// installation. When a journal says an activation did not finish, its backup
// goes back into place if no installation folder exists, and otherwise the
// kept folders the backup still holds are carried into the installation.
// Then every temporary item of earlier runs is removed; a failure to remove
// one does not stop the installation.
void RecoverInterruptedActivation(const std::filesystem::path& quorvantFolder,
                                  const std::filesystem::path& installationFolder);

}  // namespace tessaline
