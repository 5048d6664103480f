// Before the installation folder is replaced, every running copy of the
// installed Tessaline.exe must be gone.
#pragma once

namespace tessaline {

// Asks each process whose image is exactly the installed Tessaline.exe to
// close (WM_CLOSE to its top-level windows), waits up to 10 s, then ends it.
// Copies started from other folders are left alone. Raises only when the
// installation folder cannot be located.
void CloseRunningApplication();

}  // namespace tessaline
