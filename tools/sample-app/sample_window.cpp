#include "sample_window.h"

#include <string>

#include "app_files.h"
#include "common/unique_handle.h"

namespace tessaline::sample {
namespace {

constexpr UINT_PTR kReleaseHoldTimer = 1;

// What the window's procedure needs; lives on RunSampleWindow's stack for
// as long as the window exists.
struct WindowState {
  bool ignoreClose = false;
  // Where to say that a close request arrived; empty for nowhere.
  std::filesystem::path closeMarker;
  // A test's stand-in for a user's open document: the file and the
  // application's folder, both without delete sharing, so neither can be
  // deleted or moved while held. Wine lets a folder move when only a file
  // inside it is open, hence the folder's own handle.
  UniqueFile heldFile;
  UniqueFile heldFolder;
};

LRESULT CALLBACK SampleWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_TIMER:
      if (wParam == kReleaseHoldTimer && state != nullptr) {
        KillTimer(window, kReleaseHoldTimer);
        state->heldFile.Reset();
        state->heldFolder.Reset();
        return 0;
      }
      break;
    case WM_CLOSE:
      if (state != nullptr && !state->closeMarker.empty()) {
        WriteWholeFile(state->closeMarker, std::to_string(GetCurrentProcessId()));
      }
      if (state != nullptr && state->ignoreClose) return 0;
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND AddText(HWND parent, HINSTANCE instance, const std::wstring& text, int top) {
  const HWND label = CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT, 16, top, 440, 20,
                                     parent, nullptr, instance, nullptr);
  if (label != nullptr) {
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
  }
  return label;
}

void HoldFile(WindowState& state, const std::filesystem::path& folder, const HeldFile& held) {
  const std::filesystem::path path = folder / held.relativePath;
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  state.heldFile.Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  state.heldFolder.Reset(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

}  // namespace

bool RegisterSampleWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = SampleWindowProcedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kSampleWindowClass;
  return RegisterClassExW(&windowClass) != 0;
}

int RunSampleWindow(HINSTANCE instance, int showCommand, const std::filesystem::path& folder,
                    const std::wstring& version, const SampleBehaviour& behaviour, unsigned long dataProblem) {
  WindowState state;
  state.ignoreClose = behaviour.ignoreClose;
  if (behaviour.closeMarker) state.closeMarker = folder / *behaviour.closeMarker;
  if (behaviour.holdFile) HoldFile(state, folder, *behaviour.holdFile);

  if (!RegisterSampleWindowClass(instance)) return 1;
  const HWND window = CreateWindowExW(0, kSampleWindowClass, L"Tessaline", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                      CW_USEDEFAULT, 480, 160, nullptr, nullptr, instance, &state);
  if (window == nullptr) return 1;
  AddText(window, instance, L"This is the Tessaline sample application, version " + version + L".", 24);
  if (dataProblem != 0) {
    AddText(window, instance, L"Its data folders could not be prepared (Windows error " +
                                  std::to_wstring(dataProblem) + L").", 52);
  }
  if (behaviour.holdFile) SetTimer(window, kReleaseHoldTimer, behaviour.holdFile->milliseconds, nullptr);
  ShowWindow(window, showCommand);
  UpdateWindow(window);

  // Only now, with the window up and any hold in place, so a test that sees
  // the marker can act on both at once.
  if (behaviour.writeMarker) {
    WriteWholeFile(folder / *behaviour.writeMarker, std::to_string(GetCurrentProcessId()));
  }

  MSG message{};
  int result = 0;
  for (;;) {
    result = GetMessageW(&message, nullptr, 0, 0);
    if (result <= 0) break;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return result == 0 ? static_cast<int>(message.wParam) : 1;
}

}  // namespace tessaline::sample
