// Before the installed application's folder is replaced or removed, every
// running copy of the installed Tessaline.exe must be gone.
#pragma once

#include <filesystem>

namespace tessaline {

// Asks each process whose image is exactly `executable` to close (WM_CLOSE
// to its top-level windows), waits up to 10 s, then ends it. Copies started
// from other folders are left alone. Returns false when a copy it found was
// still running at the end; a copy it could not open is not found at all.
bool CloseRunningApplication(const std::filesystem::path& executable);

// Whether a process whose image is exactly `executable` (ignoring the case
// of ASCII letters) runs and can be opened by this user.
bool IsApplicationRunning(const std::filesystem::path& executable);

}  // namespace tessaline
