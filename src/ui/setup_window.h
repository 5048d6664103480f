// The single Setup window: it shows the decision, the stage, the progress and
// finally offers "Launch" or "Close". It starts the install worker when it
// is created and learns of its progress only through posted messages and the
// shared counters.
#pragma once

#include <windows.h>

namespace tessaline {

inline constexpr wchar_t kSetupWindowClass[] = L"TessalineSetupWindow";
inline constexpr int kSetupWindowWidth = 760;
inline constexpr int kSetupWindowHeight = 410;

// Control ids.
inline constexpr int kProgressBarId = 101;
inline constexpr int kStatusTextId = 102;
inline constexpr int kDetailTextId = 103;
inline constexpr int kActionButtonId = 104;
inline constexpr int kLogoBadgeId = 105;
inline constexpr int kShortcutCheckboxId = 106;

// Set by the entry point before the window is created: show the window with
// fixed sample progress and start no worker.
extern bool UiPreview;
// The window background, #0F172A; created by the entry point, deleted by the
// window when it is destroyed.
extern HBRUSH BackgroundBrush;

LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace tessaline
