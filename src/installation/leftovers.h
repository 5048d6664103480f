// What runs leave beside the installation folder and in the temporary
// folder, and its removal. A run that ended normally removes or hands off all
// of it; a run that was killed does not, and the next one removes it.
#pragma once

#include <filesystem>
#include <system_error>

namespace tessaline {

// Whether the application's entry is in the user's list of installed
// programs.
bool IsTessalineRegistered();

// Removes every leftover of earlier runs directly inside `quorvantFolder`
// (see IsInstallationLeftover), never following a link, except a backup
// folder that still holds data in a kept folder, and, while the entry
// exists, such a folder an uninstall moved aside: those are the user's, and
// recovery must carry them first. Nothing goes while an activation journal
// exists. Reports the first error in `error` and goes on with the rest.
void RemoveInstallationLeftovers(const std::filesystem::path& quorvantFolder, std::error_code& error);

// The same, kept data and all: for an uninstall, which removes the user's
// data with the application.
void RemoveAllInstallationLeftovers(const std::filesystem::path& quorvantFolder, std::error_code& error);

// Removes the temporary copies earlier workers and relaunched Setups ran
// from (see IsTemporarySetupCopy) directly inside `tempFolder`. Windows
// deletes a copy scheduled for deletion at a restart only for
// administrators. A copy whose process still runs, or whose starter (the
// process id in its name) still runs and may be about to start it, stays.
// Errors are passed over.
void RemoveTemporaryWorkerCopies(const std::filesystem::path& tempFolder);

// Schedules `executable` for deletion at the next restart of Windows, but
// only when it is a temporary copy (it lies in the temporary folder): a
// worker started by hand from a downloaded or installed Setup must not have
// that Setup deleted.
void ScheduleTemporaryCopyDeletion(const std::filesystem::path& executable);

}  // namespace tessaline
