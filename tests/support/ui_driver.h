// Drives another process's Setup window the way a person would: finds it by
// its class, reads the texts of its controls, clicks, answers message boxes
// and takes pictures of it; and reads it as a screen reader does.
#pragma once

#include <windows.h>
#include <oleacc.h>
#include <wincodec.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tessaline::testing {

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// A visible top-level window of `processId` with the given class, or null.
inline HWND FindProcessWindow(DWORD processId, const wchar_t* className) {
  struct Search {
    DWORD processId;
    const wchar_t* className;
    HWND found;
  } search{processId, className, nullptr};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t name[128] = {};
        GetClassNameW(window, name, 128);
        if (owner == s->processId && std::wstring(name) == s->className && IsWindowVisible(window)) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

inline std::wstring TextOf(HWND control) {
  if (control == nullptr) return L"<no control>";
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return L"<no answer>";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 5000,
                      &copied);
  text.resize(copied);
  return text;
}

inline std::wstring ControlText(HWND window, int id) { return TextOf(GetDlgItem(window, id)); }

// The child controls in creation order (for the texts that have no id).
inline std::vector<HWND> Children(HWND window) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

inline void Click(HWND window, int id) { PostMessageW(GetDlgItem(window, id), BM_CLICK, 0, 0); }

inline bool IsChecked(HWND window, int id) {
  DWORD_PTR state = 0;
  SendMessageTimeoutW(GetDlgItem(window, id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
  return state == BST_CHECKED;
}

// Presses and releases `key` in whatever window has the keyboard, as a
// person would; SendInput reaches the foreground window only.
inline void PressKey(HWND window, WORD key) {
  SetForegroundWindow(window);
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, input, sizeof(INPUT));
}

// The id of the control of `window` that has the keyboard focus, or -1.
inline int FocusedControl(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) || info.hwndFocus == nullptr) return -1;
  return GetDlgCtrlID(info.hwndFocus);
}

// What a screen reader learns of a control through Active Accessibility.
// A program that calls this links oleacc.
struct AccessibleControl {
  bool found = false;
  std::wstring name;
  LONG role = 0;  // ROLE_SYSTEM_*, 0 when it has none
  std::wstring value;
};

inline AccessibleControl ReadAccessible(HWND control) {
  AccessibleControl read;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IAccessible* accessible = nullptr;
  if (SUCCEEDED(AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                           reinterpret_cast<void**>(&accessible)))) {
    read.found = true;
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    const auto take = [](BSTR text, std::wstring& into) {
      if (text != nullptr) into.assign(text, SysStringLen(text));
      SysFreeString(text);
    };
    BSTR text = nullptr;
    if (accessible->get_accName(self, &text) == S_OK) take(text, read.name);
    text = nullptr;
    if (accessible->get_accValue(self, &text) == S_OK) take(text, read.value);
    VARIANT role{};
    if (accessible->get_accRole(self, &role) == S_OK && role.vt == VT_I4) read.role = role.lVal;
    VariantClear(&role);
    accessible->Release();
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return read;
}

// A message box of `processId`: its text and its buttons.
inline HWND FindMessageBox(DWORD processId) { return FindProcessWindow(processId, L"#32770"); }
inline std::wstring MessageBoxText(HWND box) { return ControlText(box, 0xFFFF); }
inline void PressMessageBoxButton(HWND box, int id) { PostMessageW(GetDlgItem(box, id), BM_CLICK, 0, 0); }

// Saves what the screen shows of `window` as a PNG.
inline bool SaveWindowPicture(HWND window, const std::filesystem::path& file) {
  RECT area{};
  if (!GetWindowRect(window, &area)) return false;
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  bool saved = false;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IWICImagingFactory* factory = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)))) {
    IWICBitmap* source = nullptr;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    if (SUCCEEDED(factory->CreateBitmapFromHBITMAP(bitmap, nullptr, WICBitmapIgnoreAlpha, &source)) &&
        SUCCEEDED(factory->CreateStream(&stream)) &&
        SUCCEEDED(stream->InitializeFromFilename(file.c_str(), GENERIC_WRITE)) &&
        SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
        SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
        SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
        SUCCEEDED(frame->WriteSource(source, nullptr)) && SUCCEEDED(frame->Commit()) &&
        SUCCEEDED(encoder->Commit())) {
      saved = true;
    }
    for (IUnknown* p : std::initializer_list<IUnknown*>{frame, encoder, stream, source, factory}) {
      if (p != nullptr) p->Release();
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
  DeleteObject(bitmap);
  return saved;
}

}  // namespace tessaline::testing
