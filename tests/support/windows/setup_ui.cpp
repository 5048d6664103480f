// setup-ui: drives a running Setup window from a script (the demo).
//   setup-ui wait-window [SECONDS]
//   setup-ui wait-text CONTROL_ID TEXT [SECONDS]
//   setup-ui text CONTROL_ID
//   setup-ui click CONTROL_ID
//   setup-ui picture FILE.png
//   setup-ui wait-end [SECONDS]  until the installation ended: exit 0 when
//                                the window offers Launch, 1 when it offers Close
//   setup-ui close               closes the window as its close box would
// Exit code 0 on success, 1 when the window or the text does not appear in
// time, 2 for a usage error.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>

#include "common/text_conversion.h"
#include "ui/setup_window.h"
#include "ui_driver.h"

using namespace tessaline;
using namespace tessaline::testing;

namespace {

HWND FindSetupWindow() { return FindWindowW(L"TessalineSetupWindow", nullptr); }

int Usage() {
  std::fputs("usage: setup-ui wait-window [S] | wait-text ID TEXT [S] | text ID | click ID | picture FILE | wait-end [S] | close\n", stderr);
  return 2;
}

std::chrono::seconds Seconds(int argc, wchar_t** argv, int index) {
  return std::chrono::seconds(index < argc ? std::wcstol(argv[index], nullptr, 10) : 120);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  if (command == L"wait-window") {
    return WaitUntil([] { return FindSetupWindow() != nullptr; }, Seconds(argc, argv, 2)) ? 0 : 1;
  }
  HWND window = FindSetupWindow();
  if (window == nullptr) {
    std::fputs("setup-ui: no Setup window\n", stderr);
    return 1;
  }
  if (command == L"wait-text" && argc >= 4) {
    const int id = std::wcstol(argv[2], nullptr, 10);
    const std::wstring wanted = argv[3];
    const bool seen = WaitUntil([&] { return ControlText(window, id) == wanted; }, Seconds(argc, argv, 4));
    if (!seen) std::fprintf(stderr, "setup-ui: control %d reads \"%s\"\n", id, WideToUtf8(ControlText(window, id)).c_str());
    return seen ? 0 : 1;
  }
  if (command == L"wait-end") {
    std::wstring action;
    WaitUntil([&] {
      action = ControlText(window, kActionButtonId);
      return action == L"Launch" || action == L"Close";
    }, Seconds(argc, argv, 2));
    if (action != L"Launch") {
      std::fprintf(stderr, "setup-ui: the installation did not succeed: %s\n",
                   WideToUtf8(ControlText(window, kDetailTextId)).c_str());
    }
    return action == L"Launch" ? 0 : 1;
  }
  if (command == L"text" && argc >= 3) {
    std::printf("%s\n", WideToUtf8(ControlText(window, std::wcstol(argv[2], nullptr, 10))).c_str());
    return 0;
  }
  if (command == L"click" && argc >= 3) {
    Click(window, std::wcstol(argv[2], nullptr, 10));
    return 0;
  }
  if (command == L"picture" && argc >= 3) return SaveWindowPicture(window, argv[2]) ? 0 : 1;
  if (command == L"close") return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
  return Usage();
}
