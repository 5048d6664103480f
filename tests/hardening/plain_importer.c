/* An ordinary program without any of Setup's protection: it imports one
 * function of each DLL the tests plant, statically, and sets no search
 * order. Beside it a planted DLL is loaded, which shows the planted DLLs and
 * the Wine overrides of the tests are able to catch a loader that takes them. */
#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <dwmapi.h>
#include <objbase.h>
#include <shellapi.h>
#include <uxtheme.h>
#include <winhttp.h>
#include <winver.h>

int main(int argc, char** argv) {
  (void)argv;
  /* Never true: the imports must exist, not run (a planted DLL only mimics
   * the names). */
  if (argc > 1000) {
    BCryptGenRandom(NULL, NULL, 0, 0);
    InitCommonControlsEx(NULL);
    BOOL composition = FALSE;
    DwmIsCompositionEnabled(&composition);
    GetStockObject(WHITE_BRUSH);
    CoTaskMemFree(NULL);
    RegCloseKey(NULL);
    int count = 0;
    CommandLineToArgvW(L"", &count);
    GetDesktopWindow();
    IsThemeActive();
    GetFileVersionInfoSizeW(L"", NULL);
    WinHttpCheckPlatform();
  }
  return 0;
}
