#include "ui/setup_window.h"

#include <windows.h>
#include <commctrl.h>
#include <dwmapi.h>
#include <oleacc.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "common/install_session.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "install/install_worker.h"
#include "trust/lifecycle.h"
#include "ui/progress_text.h"
#include "ui/window_layout.h"
#include "ui/window_palette.h"

namespace tessaline {

namespace {

constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressPeriodMs = 250;

// Attribute numbers of the title-bar requests; older SDK headers lack some.
constexpr DWORD kDarkModeBefore20H1 = 19;
constexpr DWORD kDarkMode = 20;
constexpr DWORD kCaptionColor = 35;
constexpr DWORD kTextColor = 36;
// The system's own colour, for the caption and text attributes.
constexpr COLORREF kDwmDefaultColor = 0xFFFFFFFF;

std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

HFONT MakeFont(int height, int weight) {
  return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

HWND MakeChild(HWND parent, const wchar_t* className, int id, DWORD style, Control place, UINT dpi,
               const wchar_t* text) {
  const RECT r = ControlRect(place, dpi);
  return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, r.left, r.top, r.right - r.left,
                         r.bottom - r.top, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         GetModuleHandleW(nullptr), nullptr);
}

// A title bar in the window's colours; under high contrast the system's.
void ColourTitleBar(HWND window, const WindowPalette& palette) {
  const BOOL dark = palette.dark ? TRUE : FALSE;
  if (FAILED(DwmSetWindowAttribute(window, kDarkMode, &dark, sizeof(dark)))) {
    DwmSetWindowAttribute(window, kDarkModeBefore20H1, &dark, sizeof(dark));
  }
  const COLORREF caption = palette.dark ? palette.background : kDwmDefaultColor;
  const COLORREF text = palette.dark ? palette.text : kDwmDefaultColor;
  DwmSetWindowAttribute(window, kCaptionColor, &caption, sizeof(caption));
  DwmSetWindowAttribute(window, kTextColor, &text, sizeof(text));
}

// Fills the item with `face` inside an `edge` outline (a circle or a
// rounded rectangle) and writes `text` centred on it in `textColour`.
// `corner` is the diameter of the rounded corners; 0 draws a circle.
void DrawFace(const DRAWITEMSTRUCT& item, COLORREF face, COLORREF edge, COLORREF textColour, int corner,
              const wchar_t* text, int length) {
  // Declared before the selections, so they are deleted after being deselected.
  const UniqueGdiObject brush(CreateSolidBrush(face));
  const UniqueGdiObject pen(CreatePen(PS_SOLID, 1, edge));
  const ScopedSelection selectBrush(item.hDC, brush.Get());
  const ScopedSelection selectPen(item.hDC, pen.Get());
  const RECT& r = item.rcItem;
  if (corner == 0) {
    Ellipse(item.hDC, r.left, r.top, r.right, r.bottom);
  } else {
    RoundRect(item.hDC, r.left, r.top, r.right, r.bottom, corner, corner);
  }
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, textColour);
  RECT area = r;
  DrawTextW(item.hDC, text, length, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

void DrawBadge(const DRAWITEMSTRUCT& item, const WindowPalette& palette) {
  DrawFace(item, palette.accent, palette.accent, palette.onAccent, 0, L"T", 1);
}

// Version texts come from the verified manifest; shown as received.
std::wstring Wide(const std::string& text) {
  try {
    return Utf8ToWide(text);
  } catch (const std::exception&) {
    return L"?";
  }
}

}  // namespace

SetupWindow::SetupWindow(bool uiPreview)
    : UiPreview(uiPreview), palette_(CurrentPalette()), BackgroundBrush(CreateSolidBrush(palette_.background)) {}

bool SetupWindow::Create(HINSTANCE instance, int showCommand) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(BackgroundBrush.Get());
  windowClass.lpszClassName = kSetupWindowClass;
  if (RegisterClassW(&windowClass) == 0) return false;
  // Created at the 96-DPI size; WM_CREATE resizes it for its monitor.
  const HWND window = CreateWindowExW(0, kSetupWindowClass, L"Tessaline Setup", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                      CW_USEDEFAULT, CW_USEDEFAULT, kDesignWindowSize.cx, kDesignWindowSize.cy,
                                      nullptr, nullptr, instance, this);
  if (window == nullptr) return false;
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  return true;
}

LRESULT CALLBACK SetupWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<SetupWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<SetupWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return self->HandleMessage(message, wParam, lParam);
}

void SetupWindow::OnCreate() {
  const HWND window = window_;
  ColourTitleBar(window, palette_);
  // Per-monitor aware: Windows leaves the sizing to us at every DPI.
  dpi_ = GetDpiForWindow(window);
  if (dpi_ == 0) dpi_ = kDesignDpi;
  if (dpi_ != kDesignDpi) {
    SetWindowPos(window, nullptr, 0, 0, ScaleForDpi(kDesignWindowSize.cx, dpi_),
                 ScaleForDpi(kDesignWindowSize.cy, dpi_), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  const UINT dpi = dpi_;
  logo_ = MakeChild(window, L"STATIC", kLogoBadgeId, SS_OWNERDRAW, Control::LogoBadge, dpi, L"T");
  title_ = MakeChild(window, L"STATIC", 0, 0, Control::TitleText, dpi, L"Install Tessaline");
  subtitle_ = MakeChild(window, L"STATIC", 0, 0, Control::SubtitleText, dpi, L"Secure desktop setup by Quorvant Inc.");
  description_ = MakeChild(window, L"STATIC", 0, 0, Control::DescriptionText, dpi,
                           L"Tessaline will be installed for your Windows account.");
  status_ = MakeChild(window, L"STATIC", kStatusTextId, 0, Control::StatusText, dpi, L"Preparing setup\u2026");
  // The bar draws no text: its text names it where a screen reader takes
  // the window text, and NameProgressBar where Windows does not.
  progress_ = MakeChild(window, PROGRESS_CLASSW, kProgressBarId, PBS_SMOOTH, Control::ProgressBar, dpi, L"Progress");
  NameProgressBar();
  detail_ = MakeChild(window, L"STATIC", kDetailTextId, 0, Control::DetailText, dpi,
                      L"Connecting to the Quorvant release service\u2026");
  checkbox_ = MakeChild(window, L"BUTTON", kShortcutCheckboxId, WS_TABSTOP | BS_AUTOCHECKBOX, Control::ShortcutCheckbox,
                        dpi, L"Add Tessaline to Start menu");
  action_ = MakeChild(window, L"BUTTON", kActionButtonId, WS_TABSTOP | BS_OWNERDRAW, Control::ActionButton, dpi,
                      L"Cancel");
  MakeFonts();
  // The action is where the keyboard starts; the focus cues show once it
  // is used.
  focus_ = action_;
  focusCues_ = false;

  SendMessageW(checkbox_, BM_SETCHECK, BST_CHECKED, 0);
  ThemeCheckbox();

  // Without visual styles the bar takes the colours given here.
  SetWindowTheme(progress_, L"", L"");
  ColourProgressBar();
  SendMessageW(progress_, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(progress_, PBM_SETMARQUEE, TRUE, 30);

  SetTimer(window, kProgressTimer, kProgressPeriodMs, nullptr);

  if (UiPreview) {
    session_.progressCounters.bytesTotal = 288178201;
    session_.progressCounters.bytesDone = 121034844;
    session_.progressCounters.bytesAtStart = 0;
    session_.progressCounters.downloadStart = SteadyNanoseconds() - 18'000'000'000LL;
    SetStatus(L"Downloading Tessaline\u2026");
    return;
  }
  session_.window = window;
  StartInstallWorker(session_);
}

void SetupWindow::NameProgressBar() {
  // Windows names a progress bar after the static text before it, here the
  // status line, whatever the bar's own text; the name is given to it
  // instead. COM loads oleacc.dll by the path it is registered under in
  // System32: Setup imports nothing of it. Without it the bar is still read,
  // under the status line's name.
  if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                              reinterpret_cast<void**>(accessibleProperties_.ReleaseAndGetAddressOf())))) {
    return;
  }
  wchar_t name[] = L"Progress";
  accessibleProperties_->SetHwndPropStr(progress_, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, name);
}

void SetupWindow::ThemeCheckbox() {
  // Under high contrast the system's theme draws the box in the scheme's
  // colours; no theme names restore it.
  if (palette_.dark) {
    SetWindowTheme(checkbox_, L"DarkMode_Explorer", nullptr);
  } else {
    SetWindowTheme(checkbox_, nullptr, nullptr);
  }
}

void SetupWindow::ColourProgressBar() {
  SendMessageW(progress_, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(palette_.track));
  SendMessageW(progress_, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(palette_.accent));
}

void SetupWindow::FollowSystemColours() {
  const WindowPalette palette = CurrentPalette();
  if (palette == palette_) return;
  palette_ = palette;
  // The class draws the background with its brush: it gets the new one
  // before the old one is deleted.
  UniqueGdiObject brush(CreateSolidBrush(palette_.background));
  SetClassLongPtrW(window_, GCLP_HBRBACKGROUND, reinterpret_cast<LONG_PTR>(brush.Get()));
  std::swap(BackgroundBrush, brush);
  ColourTitleBar(window_, palette_);
  ThemeCheckbox();
  ColourProgressBar();
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
}

void SetupWindow::MakeFonts() {
  // The old fonts are released only after the controls have the new ones.
  UniqueGdiObject body(MakeFont(ScaleForDpi(kBodyFontHeight, dpi_), FW_NORMAL));
  UniqueGdiObject title(MakeFont(ScaleForDpi(kTitleFontHeight, dpi_), FW_SEMIBOLD));
  SendMessageW(title_, WM_SETFONT, reinterpret_cast<WPARAM>(title.Get()), TRUE);
  for (HWND child : {logo_, subtitle_, description_, status_, detail_, checkbox_, action_}) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(body.Get()), TRUE);
  }
  std::swap(bodyFont_, body);
  std::swap(titleFont_, title);
}

std::array<HWND, static_cast<std::size_t>(Control::Count)> SetupWindow::Controls() const {
  return {logo_, title_, subtitle_, description_, status_, progress_, detail_, checkbox_, action_};
}

void SetupWindow::PlaceControls() {
  const auto controls = Controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const RECT r = ControlRect(static_cast<Control>(i), dpi_);
    SetWindowPos(controls[i], nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void SetupWindow::OnDpiChanged(UINT dpi, const RECT& suggested) {
  dpi_ = dpi;
  MakeFonts();
  PlaceControls();
  SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(window_, nullptr, TRUE);
}

void SetupWindow::SetStatus(const wchar_t* text) {
  SetWindowTextW(status_, text);
  // A static's new text is not announced unless it is said to have changed.
  NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, status_, OBJID_CLIENT, CHILDID_SELF);
}

void SetupWindow::DrawActionButton(const DRAWITEMSTRUCT& item) const {
  const WindowPalette& p = palette_;
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  // The caption is the button's own text, which is also its name for
  // screen readers.
  wchar_t caption[64] = {};
  const int length = GetWindowTextW(item.hwndItem, caption, 64);
  DrawFace(item, pressed ? p.pressedFace : p.buttonFace, pressed ? p.pressedEdge : p.buttonEdge,
           pressed ? p.pressedText : p.buttonText, ScaleForDpi(kButtonCornerDiameter, dpi_), caption, length);
  const bool cuesHidden = !focusCues_ || (item.itemState & ODS_NOFOCUSRECT) != 0;
  if ((item.itemState & ODS_FOCUS) != 0 && !cuesHidden) {
    RECT focus = item.rcItem;
    const int inset = ScaleForDpi(4, dpi_);
    InflateRect(&focus, -inset, -inset);
    SetTextColor(item.hDC, p.buttonText);
    SetBkColor(item.hDC, p.buttonFace);
    DrawFocusRect(item.hDC, &focus);
  }
}

void SetupWindow::RefreshProgress() {
  const ProgressCounters& counters = session_.progressCounters;
  const std::uint64_t total = counters.bytesTotal.load();
  if (total == 0) return;
  const std::uint64_t done = counters.bytesDone.load();
  SendMessageW(progress_, PBM_SETMARQUEE, FALSE, 0);
  SendMessageW(progress_, PBM_SETPOS, static_cast<WPARAM>(ProgressPercent(done, total)), 0);
  const double elapsed = ElapsedSeconds(SteadyNanoseconds(), counters.downloadStart.load());
  const std::wstring text = ProgressText(total, done, counters.bytesAtStart.load(), elapsed);
  SetWindowTextW(detail_, text.c_str());
}

void SetupWindow::ShowReleaseInfo(const LifecycleDecision& decision) {
  const std::wstring installed = Wide(decision.installedVersion);
  const std::wstring available = Wide(decision.availableVersion);
  switch (decision.action) {
    case LifecycleAction::Update:
      SetWindowTextW(title_, L"Update Tessaline");
      SetWindowTextW(description_,
                     (L"Update " + installed + L" to " + available + L" for your Windows account.").c_str());
      break;
    case LifecycleAction::Repair:
      SetWindowTextW(title_, L"Repair Tessaline");
      SetWindowTextW(description_, (L"Repair Tessaline " + available + L" using the verified release.").c_str());
      break;
    case LifecycleAction::BlockDowngrade:
      SetWindowTextW(title_, L"Tessaline is newer");
      SetWindowTextW(description_,
                     (L"Installed " + installed + L" is newer than available " + available + L".").c_str());
      break;
    default:
      SetWindowTextW(description_, (L"Install Tessaline " + available + L" for your Windows account.").c_str());
      break;
  }
}

void SetupWindow::Finish(bool succeeded, std::unique_ptr<std::wstring> failure) {
  finished_ = true;
  KillTimer(window_, kProgressTimer);
  SendMessageW(progress_, PBM_SETMARQUEE, FALSE, 0);
  if (succeeded) {
    SendMessageW(progress_, PBM_SETPOS, 100, 0);
    SetStatus(L"Tessaline is ready.");
    SetWindowTextW(detail_, L"Installation completed successfully.");
    SetWindowTextW(action_, L"Launch");
  } else {
    SetStatus(userCancelled_ ? L"Installation cancelled." : L"Tessaline could not be installed.");
    SetWindowTextW(detail_, failure ? failure->c_str() : L"Unknown setup error");
    SetWindowTextW(action_, L"Close");
  }
  InvalidateRect(action_, nullptr, TRUE);
}

void SetupWindow::RequestCancel() {
  userCancelled_ = true;
  session_.cancelRequested.exchange(true);
}

void SetupWindow::ActionClicked() {
  if (UiPreview) {
    DestroyWindow(window_);
  } else if (finished_) {
    if (!session_.launchPath.empty()) {
      ShellExecuteW(nullptr, L"open", session_.launchPath.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
    DestroyWindow(window_);
  } else {
    RequestCancel();
  }
}

LRESULT SetupWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND window = window_;
  switch (message) {
    case WM_CREATE:
      OnCreate();
      return 0;
    case WM_DESTROY:
      // The fonts and the brush go with this object, after the window.
      if (accessibleProperties_) {
        MSAAPROPID name = PROPID_ACC_NAME;
        accessibleProperties_->ClearHwndProps(progress_, OBJID_CLIENT, CHILDID_SELF, &name, 1);
        accessibleProperties_.Reset();
      }
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      if (finished_ || UiPreview) {
        DestroyWindow(window);
      } else {
        RequestCancel();
      }
      return 0;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlID == kLogoBadgeId) {
        DrawBadge(*item, palette_);
        return TRUE;
      }
      if (item->CtlID == kActionButtonId) {
        DrawActionButton(*item);
        return TRUE;
      }
      break;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == kShortcutCheckboxId && HIWORD(wParam) == BN_CLICKED) {
        session_.AddToStartMenu.exchange(SendMessageW(checkbox_, BM_GETCHECK, 0, 0) == BST_CHECKED);
        return 0;
      }
      if (LOWORD(wParam) == kActionButtonId) {
        ActionClicked();
        return 0;
      }
      // Esc, through the dialog navigation: what the close box does.
      if (LOWORD(wParam) == IDCANCEL) {
        SendMessageW(window, WM_CLOSE, 0, 0);
        return 0;
      }
      break;
    case DM_GETDEFID:
      // Enter presses the action wherever the focus is.
      return MAKELRESULT(kActionButtonId, DC_HASDEFID);
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window, focus)) focus_ = focus;
      }
      break;
    case WM_SETFOCUS:
      if (focus_ != nullptr) SetFocus(focus_);
      return 0;
    case WM_CHANGEUISTATE:
      // Kept here as well: Wine's buttons do not pass the state on in
      // ODS_NOFOCUSRECT. The button draws its own focus, so it is redrawn.
      if ((HIWORD(wParam) & UISF_HIDEFOCUS) != 0 && (LOWORD(wParam) == UIS_SET || LOWORD(wParam) == UIS_CLEAR)) {
        focusCues_ = LOWORD(wParam) == UIS_CLEAR;
        InvalidateRect(action_, nullptr, FALSE);
      }
      break;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_TIMER:
      RefreshProgress();
      return 0;
    case WM_SYSCOLORCHANGE:
      // The common controls learn of it only from their parent.
      for (HWND control : Controls()) SendMessageW(control, WM_SYSCOLORCHANGE, wParam, lParam);
      FollowSystemColours();
      return 0;
    case WM_SETTINGCHANGE:
      // High contrast on or off (SPI_SETHIGHCONTRAST); any other change
      // leaves the palette as it is and costs one comparison.
      FollowSystemColours();
      break;
    case WM_CTLCOLORBTN:
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      SetTextColor(reinterpret_cast<HDC>(wParam), palette_.text);
      return reinterpret_cast<LRESULT>(BackgroundBrush.Get());
    case WM_CTLCOLORSTATIC: {
      const HWND control = reinterpret_cast<HWND>(lParam);
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      SetTextColor(reinterpret_cast<HDC>(wParam),
                   control == detail_ || control == description_ ? palette_.mutedText : palette_.text);
      return reinterpret_cast<LRESULT>(BackgroundBrush.Get());
    }
    case StatusMessage: {
      const std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(lParam));
      if (text) SetStatus(text->c_str());
      return 0;
    }
    case ReleaseInfoMessage: {
      const std::unique_ptr<LifecycleDecision> decision(reinterpret_cast<LifecycleDecision*>(lParam));
      if (decision) ShowReleaseInfo(*decision);
      return 0;
    }
    case FinishedMessage:
      Finish(wParam == 1, std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam)));
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace tessaline
