// The current user's Task Scheduler task that runs the installed Setup's
// unattended update: at logon and every few hours.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace tessaline {

// Registers the task, or replaces the user's existing one in place, so that
// the Task Scheduler runs "<installedSetup>" --update as this user, with the
// user's own (interactive) token, without elevation and with no password
// stored. It lives in the root task folder, named "Tessaline Update <SID>":
// one task per user, so two accounts of one machine never replace each
// other's, and a standard user may create it (a folder of its own below the
// root may need administrator rights).
//
// Raises SetupError "Unable to schedule Tessaline updates (<step>: <HRESULT>)"
// when the Task Scheduler refuses or cannot be reached. The caller catches it:
// an installation without its task still works, and the next installation or
// update registers the task again.
//
// The calling thread must have initialised COM (the install worker's STA);
// without it the first COM call fails with CO_E_NOTINITIALIZED (0x800401F0),
// raised as above.
void RegisterUpdateTask(const std::filesystem::path& installedSetup);

// Deletes the current user's task; a task that is not there is no failure.
// Raises SetupError "Unable to remove the scheduled Tessaline updates
// (<step>: <HRESULT>)" otherwise. COM as for RegisterUpdateTask.
void RemoveUpdateTask();

// The task's definition in the Task Scheduler's XML, as RegisterUpdateTask
// hands it over for a registration at `registeredAt`, for `account`
// ("DOMAIN\user") to run.
std::wstring UpdateTaskXml(const std::filesystem::path& installedSetup, const std::wstring& account,
                           std::chrono::system_clock::time_point registeredAt);

}  // namespace tessaline
