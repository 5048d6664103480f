// The single Setup window: it shows the decision, the stage, the progress and
// finally offers "Launch" or "Close". It starts the install worker when it
// is created and learns of its progress only through posted messages and the
// shared counters.
#pragma once

#include <windows.h>
#include <oleacc.h>
#include <wrl/client.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "common/install_session.h"
#include "common/unique_handle.h"
#include "trust/lifecycle.h"
#include "ui/window_layout.h"
#include "ui/window_palette.h"

namespace tessaline {

inline constexpr wchar_t kSetupWindowClass[] = L"TessalineSetupWindow";

// Control ids.
inline constexpr int kProgressBarId = 101;
inline constexpr int kStatusTextId = 102;
inline constexpr int kDetailTextId = 103;
inline constexpr int kActionButtonId = 104;
inline constexpr int kLogoBadgeId = 105;
inline constexpr int kShortcutCheckboxId = 106;

// The window and everything it owns: its controls, fonts and background
// brush, and the session the install worker shares with it. The object
// outlives the window (the entry keeps it until its message loop ends), and
// the window finds it through its user data.
class SetupWindow {
 public:
  // With `uiPreview`, the window shows fixed sample progress and starts no
  // worker.
  explicit SetupWindow(bool uiPreview);
  SetupWindow(const SetupWindow&) = delete;
  SetupWindow& operator=(const SetupWindow&) = delete;

  // Registers the class, creates and shows the window; false on failure.
  bool Create(HINSTANCE instance, int showCommand);

  // The window, for the message loop's dialog navigation; null before Create.
  HWND Handle() const { return window_; }
  bool ShowsFocusCues() const { return focusCues_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCreate();
  // The children in creation order.
  std::array<HWND, static_cast<std::size_t>(Control::Count)> Controls() const;
  // Fonts and control rectangles for dpi_.
  void MakeFonts();
  void PlaceControls();
  // The bar's name for screen readers.
  void NameProgressBar();
  // The colours of palette_ where the controls keep them.
  void ThemeCheckbox();
  void ColourProgressBar();
  // High contrast switched on or off, or its colours changed: the palette
  // is read again and, if it changed, everything is drawn anew with it.
  void FollowSystemColours();
  void OnDpiChanged(UINT dpi, const RECT& suggested);
  void SetStatus(const wchar_t* text);
  void DrawActionButton(const DRAWITEMSTRUCT& item) const;
  void RefreshProgress();
  void ShowReleaseInfo(const LifecycleDecision& decision);
  void Finish(bool succeeded, std::unique_ptr<std::wstring> failure);
  void RequestCancel();
  void ActionClicked();

  const bool UiPreview;
  InstallSession session_;
  WindowPalette palette_;
  // The window background, in palette_'s colour.
  UniqueGdiObject BackgroundBrush;
  // Keeps the progress bar's name; released with the window.
  Microsoft::WRL::ComPtr<IAccPropServices> accessibleProperties_;
  UniqueGdiObject bodyFont_;
  UniqueGdiObject titleFont_;
  HWND window_ = nullptr;
  UINT dpi_ = 96;
  // The control that had the keyboard focus when the window was deactivated.
  HWND focus_ = nullptr;
  // Whether the focus is drawn: from the first key press on.
  bool focusCues_ = false;
  HWND logo_ = nullptr;
  HWND title_ = nullptr;
  HWND subtitle_ = nullptr;
  HWND description_ = nullptr;
  HWND status_ = nullptr;
  HWND progress_ = nullptr;
  HWND detail_ = nullptr;
  HWND checkbox_ = nullptr;
  HWND action_ = nullptr;
  bool finished_ = false;
  // Whether the user asked to cancel. The worker's own cancellation (a part
  // that failed stops the others) is not the user's, and is not shown as one.
  bool userCancelled_ = false;
};

}  // namespace tessaline
