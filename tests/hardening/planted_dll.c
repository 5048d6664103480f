/* A DLL someone left beside a program, named like one the program uses. When
 * a process loads it, it leaves "<its own path>.loaded" beside itself: the
 * only way the tests learn that the loader took it. */
#include <windows.h>

/* Whatever the importer expects from the real DLL is this one function (the
 * .def names it); the tests only start processes, they never need it to work. */
int PlantedExport(void) { return 0; }

static void WriteMarker(HINSTANCE self) {
  static const wchar_t suffix[] = L".loaded";
  wchar_t path[MAX_PATH + sizeof(suffix) / sizeof(suffix[0])];
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  for (DWORD i = 0; i < sizeof(suffix) / sizeof(suffix[0]); ++i) path[length + i] = suffix[i];
  const HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) WriteMarker(self);
  return TRUE;
}
