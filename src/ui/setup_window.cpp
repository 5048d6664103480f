#include "ui/setup_window.h"

#include <windows.h>
#include <commctrl.h>
#include <dwmapi.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "common/install_state.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "install/install_worker.h"
#include "trust/lifecycle.h"
#include "ui/progress_text.h"

namespace tessaline {

bool UiPreview = false;
HBRUSH BackgroundBrush = nullptr;

namespace {

constexpr COLORREF kBackground = RGB(0x0F, 0x17, 0x2A);
constexpr COLORREF kText = RGB(0xF8, 0xFA, 0xFC);
constexpr COLORREF kMutedText = RGB(0x94, 0xA3, 0xB8);
constexpr COLORREF kAccent = RGB(0x3B, 0x82, 0xF6);
constexpr COLORREF kAccentPressed = RGB(0x25, 0x63, 0xEB);
constexpr COLORREF kTrack = RGB(0x1E, 0x29, 0x3B);
constexpr COLORREF kOnAccent = RGB(0xFF, 0xFF, 0xFF);
constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressPeriodMs = 250;

// Attribute numbers of the title-bar requests; older SDK headers lack some.
constexpr DWORD kDarkModeBefore20H1 = 19;
constexpr DWORD kDarkMode = 20;
constexpr DWORD kCaptionColor = 35;
constexpr DWORD kTextColor = 36;

struct WindowState {
  HWND logo = nullptr;
  HWND title = nullptr;
  HWND subtitle = nullptr;
  HWND description = nullptr;
  HWND status = nullptr;
  HWND progress = nullptr;
  HWND detail = nullptr;
  HWND checkbox = nullptr;
  HWND action = nullptr;
  UniqueGdiObject bodyFont;
  UniqueGdiObject titleFont;
  bool finished = false;
  // Whether the user asked to cancel. The worker's own cancellation (a part
  // that failed stops the others) is not the user's, and is not shown as one.
  bool userCancelled = false;
};

WindowState state;

std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

HFONT MakeFont(int height, int weight) {
  return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

HWND MakeChild(HWND parent, const wchar_t* className, int id, DWORD style, int x, int y, int width, int height,
               const wchar_t* text) {
  return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

void RequestDarkTitleBar(HWND window) {
  const BOOL on = TRUE;
  if (FAILED(DwmSetWindowAttribute(window, kDarkMode, &on, sizeof(on)))) {
    DwmSetWindowAttribute(window, kDarkModeBefore20H1, &on, sizeof(on));
  }
  const COLORREF caption = kBackground;
  const COLORREF text = kText;
  DwmSetWindowAttribute(window, kCaptionColor, &caption, sizeof(caption));
  DwmSetWindowAttribute(window, kTextColor, &text, sizeof(text));
}

void Create(HWND window) {
  RequestDarkTitleBar(window);
  state.bodyFont.Reset(MakeFont(18, FW_NORMAL));
  state.titleFont.Reset(MakeFont(34, FW_SEMIBOLD));

  state.logo = MakeChild(window, L"STATIC", kLogoBadgeId, SS_OWNERDRAW, 32, 28, 50, 50, L"T");
  state.title = MakeChild(window, L"STATIC", 0, 0, 100, 24, 610, 46, L"Install Tessaline");
  state.subtitle = MakeChild(window, L"STATIC", 0, 0, 102, 66, 600, 27, L"Secure desktop setup by Quorvant Inc.");
  state.description = MakeChild(window, L"STATIC", 0, 0, 34, 110, 680, 27,
                                L"Tessaline will be installed for your Windows account.");
  state.status = MakeChild(window, L"STATIC", kStatusTextId, 0, 34, 153, 680, 28, L"Preparing setup\u2026");
  state.progress = MakeChild(window, PROGRESS_CLASSW, kProgressBarId, PBS_SMOOTH, 34, 190, 680, 16, nullptr);
  state.detail = MakeChild(window, L"STATIC", kDetailTextId, 0, 34, 222, 680, 27,
                           L"Connecting to the Quorvant release service\u2026");
  state.checkbox = MakeChild(window, L"BUTTON", kShortcutCheckboxId, WS_TABSTOP | BS_AUTOCHECKBOX, 34, 270, 400, 32,
                             L"Add Tessaline to Start menu");
  state.action = MakeChild(window, L"BUTTON", kActionButtonId, BS_OWNERDRAW, 584, 266, 130, 42, L"Cancel");

  SendMessageW(state.title, WM_SETFONT, reinterpret_cast<WPARAM>(state.titleFont.Get()), TRUE);
  for (HWND child : {state.logo, state.subtitle, state.description, state.status, state.detail, state.checkbox,
                     state.action}) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(state.bodyFont.Get()), TRUE);
  }

  SendMessageW(state.checkbox, BM_SETCHECK, BST_CHECKED, 0);
  SetWindowTheme(state.checkbox, L"DarkMode_Explorer", nullptr);

  // Without visual styles the bar takes the colours given here.
  SetWindowTheme(state.progress, L"", L"");
  SendMessageW(state.progress, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(kTrack));
  SendMessageW(state.progress, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(kAccent));
  SendMessageW(state.progress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(state.progress, PBM_SETMARQUEE, TRUE, 30);

  SetTimer(window, kProgressTimer, kProgressPeriodMs, nullptr);

  if (UiPreview) {
    progressCounters.bytesTotal = 288178201;
    progressCounters.bytesDone = 121034844;
    progressCounters.bytesAtStart = 0;
    progressCounters.downloadStart = SteadyNanoseconds() - 18'000'000'000LL;
    SetWindowTextW(state.status, L"Downloading Tessaline\u2026");
    return;
  }
  setupWindow = window;
  StartInstallWorker();
}

// Fills the item with `face` (a circle or a rounded rectangle) and writes
// `text` centred on it in white.
void DrawOnAccent(const DRAWITEMSTRUCT& item, COLORREF face, bool circle, const wchar_t* text, int length) {
  // Declared before the selections, so they are deleted after being deselected.
  const UniqueGdiObject brush(CreateSolidBrush(face));
  const UniqueGdiObject pen(CreatePen(PS_SOLID, 1, face));
  const ScopedSelection selectBrush(item.hDC, brush.Get());
  const ScopedSelection selectPen(item.hDC, pen.Get());
  const RECT& r = item.rcItem;
  if (circle) {
    Ellipse(item.hDC, r.left, r.top, r.right, r.bottom);
  } else {
    RoundRect(item.hDC, r.left, r.top, r.right, r.bottom, 10, 10);
  }
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, kOnAccent);
  RECT area = r;
  DrawTextW(item.hDC, text, length, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

void DrawBadge(const DRAWITEMSTRUCT& item) { DrawOnAccent(item, kAccent, true, L"T", 1); }

void DrawButton(const DRAWITEMSTRUCT& item) {
  const COLORREF face = (item.itemState & ODS_SELECTED) ? kAccentPressed : kAccent;
  wchar_t caption[64] = {};
  const int length = GetWindowTextW(item.hwndItem, caption, 64);
  DrawOnAccent(item, face, false, caption, length);
}

void RefreshProgress() {
  const std::uint64_t total = progressCounters.bytesTotal.load();
  if (total == 0) return;
  const std::uint64_t done = progressCounters.bytesDone.load();
  SendMessageW(state.progress, PBM_SETMARQUEE, FALSE, 0);
  SendMessageW(state.progress, PBM_SETPOS, static_cast<WPARAM>(ProgressPercent(done, total)), 0);
  const double elapsed = ElapsedSeconds(SteadyNanoseconds(), progressCounters.downloadStart.load());
  const std::wstring text = ProgressText(total, done, progressCounters.bytesAtStart.load(), elapsed);
  SetWindowTextW(state.detail, text.c_str());
}

// Version texts come from the verified manifest; shown as received.
std::wstring Wide(const std::string& text) {
  try {
    return Utf8ToWide(text);
  } catch (const std::exception&) {
    return L"?";
  }
}

void ShowReleaseInfo(const LifecycleDecision& decision) {
  const std::wstring installed = Wide(decision.installedVersion);
  const std::wstring available = Wide(decision.availableVersion);
  switch (decision.action) {
    case LifecycleAction::Update:
      SetWindowTextW(state.title, L"Update Tessaline");
      SetWindowTextW(state.description,
                     (L"Update " + installed + L" to " + available + L" for your Windows account.").c_str());
      break;
    case LifecycleAction::Repair:
      SetWindowTextW(state.title, L"Repair Tessaline");
      SetWindowTextW(state.description, (L"Repair Tessaline " + available + L" using the verified release.").c_str());
      break;
    case LifecycleAction::BlockDowngrade:
      SetWindowTextW(state.title, L"Tessaline is newer");
      SetWindowTextW(state.description,
                     (L"Installed " + installed + L" is newer than available " + available + L".").c_str());
      break;
    default:
      SetWindowTextW(state.description, (L"Install Tessaline " + available + L" for your Windows account.").c_str());
      break;
  }
}

void Finish(HWND window, bool succeeded, std::unique_ptr<std::wstring> failure) {
  state.finished = true;
  KillTimer(window, kProgressTimer);
  SendMessageW(state.progress, PBM_SETMARQUEE, FALSE, 0);
  if (succeeded) {
    SendMessageW(state.progress, PBM_SETPOS, 100, 0);
    SetWindowTextW(state.status, L"Tessaline is ready.");
    SetWindowTextW(state.detail, L"Installation completed successfully.");
    SetWindowTextW(state.action, L"Launch");
  } else {
    SetWindowTextW(state.status, state.userCancelled ? L"Installation cancelled." : L"Tessaline could not be installed.");
    SetWindowTextW(state.detail, failure ? failure->c_str() : L"Unknown setup error");
    SetWindowTextW(state.action, L"Close");
  }
  InvalidateRect(state.action, nullptr, TRUE);
}

void RequestCancel() {
  state.userCancelled = true;
  cancelRequested.exchange(true);
}

void ActionClicked(HWND window) {
  if (UiPreview) {
    DestroyWindow(window);
  } else if (state.finished) {
    if (!launchPath.empty()) ShellExecuteW(nullptr, L"open", launchPath.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    DestroyWindow(window);
  } else {
    RequestCancel();
  }
}

}  // namespace

LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      Create(window);
      return 0;
    case WM_DESTROY:
      state.bodyFont.Reset();
      state.titleFont.Reset();
      if (BackgroundBrush != nullptr) DeleteObject(std::exchange(BackgroundBrush, nullptr));
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      if (state.finished || UiPreview) {
        DestroyWindow(window);
      } else {
        RequestCancel();
      }
      return 0;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlID == kLogoBadgeId) {
        DrawBadge(*item);
        return TRUE;
      }
      if (item->CtlID == kActionButtonId) {
        DrawButton(*item);
        return TRUE;
      }
      break;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == kShortcutCheckboxId && HIWORD(wParam) == BN_CLICKED) {
        AddToStartMenu.exchange(SendMessageW(state.checkbox, BM_GETCHECK, 0, 0) == BST_CHECKED);
        return 0;
      }
      if (LOWORD(wParam) == kActionButtonId) {
        ActionClicked(window);
        return 0;
      }
      break;
    case WM_TIMER:
      RefreshProgress();
      return 0;
    case WM_CTLCOLORBTN:
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      SetTextColor(reinterpret_cast<HDC>(wParam), kText);
      return reinterpret_cast<LRESULT>(BackgroundBrush);
    case WM_CTLCOLORSTATIC: {
      const HWND control = reinterpret_cast<HWND>(lParam);
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      SetTextColor(reinterpret_cast<HDC>(wParam),
                   control == state.detail || control == state.description ? kMutedText : kText);
      return reinterpret_cast<LRESULT>(BackgroundBrush);
    }
    case StatusMessage: {
      const std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(lParam));
      if (text) SetWindowTextW(state.status, text->c_str());
      return 0;
    }
    case ReleaseInfoMessage: {
      const std::unique_ptr<LifecycleDecision> decision(reinterpret_cast<LifecycleDecision*>(lParam));
      if (decision) ShowReleaseInfo(*decision);
      return 0;
    }
    case FinishedMessage:
      Finish(window, wParam == 1, std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam)));
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace tessaline
