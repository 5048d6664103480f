#include <windows.h>

#include <initializer_list>

#include "entry/setup_entry.h"
#include "system_libraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandTail, int showCommand) {
  // Before anything else, in every mode: Setup runs from folders where anyone
  // can leave a DLL, and every library not yet loaded (the delay-loaded ones
  // included) must come from System32 only. Without that, no mode runs.
  if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return 1;

  // Setup's delay-loaded libraries, now, from System32. Wine resolves the
  // delay imports of its own DLLs (shell32's ole32, winhttp's crypt32 with
  // its bcrypt) with the program's folder first whatever the process asked
  // for, but takes a DLL that is already loaded. Kept for the process's
  // life; a failure shows at the first call into the library.
  for (const wchar_t* library : {TESSALINE_SYSTEM_LIBRARIES}) {
    LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  return tessaline::RunSetup(instance, commandTail, showCommand);
}
