// Removing Tessaline for the current user: a launcher that asks and hands
// over to a temporary copy of Setup, and the worker that removes.
#pragma once

#include <cstdint>

namespace tessaline {

// Asks (unless quiet), copies Setup to <temp>\TessalineUninstall-<pid>.exe
// and starts it as the worker. Exit code 0 when declined or started, 1 on failure.
int UninstallLauncher(bool quiet);

// Waits (bounded) for the launcher, then removes the shortcut, the
// registration entry and the installation folder. Exit code 0 or 1.
int UninstallWorker(std::uint32_t launcherProcessId, bool quiet);

}  // namespace tessaline
