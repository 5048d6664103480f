// Where the Setup window's controls sit, as drawn at 96 DPI, and how that
// layout and the window's other sizes follow the window's DPI.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>

namespace tessaline {

// The design resolution: at it every size is used as written.
inline constexpr UINT kDesignDpi = 96;

// One control's place at 96 DPI, in client coordinates.
struct DesignBox {
  int x;
  int y;
  int width;
  int height;
};

// The window's controls, in creation order (which is also the tab order).
enum class Control : std::size_t {
  LogoBadge,
  TitleText,
  SubtitleText,
  DescriptionText,
  StatusText,
  ProgressBar,
  DetailText,
  ShortcutCheckbox,
  ActionButton,
  Count,
};

inline constexpr std::array<DesignBox, static_cast<std::size_t>(Control::Count)> kDesignLayout = {{
    {32, 28, 50, 50},    // LogoBadge
    {100, 24, 610, 46},  // TitleText
    {102, 66, 600, 27},  // SubtitleText
    {34, 110, 680, 27},  // DescriptionText
    {34, 153, 680, 28},  // StatusText
    {34, 190, 680, 16},  // ProgressBar
    {34, 222, 680, 27},  // DetailText
    {34, 270, 400, 32},  // ShortcutCheckbox
    {584, 266, 130, 42}, // ActionButton
}};

// The outer size of the window, frame included, at 96 DPI.
inline constexpr SIZE kDesignWindowSize = {760, 410};

// Other sizes drawn at 96 DPI.
inline constexpr int kBodyFontHeight = 18;
inline constexpr int kTitleFontHeight = 34;
inline constexpr int kButtonCornerDiameter = 10;

// A 96-DPI length at `dpi`.
int ScaleForDpi(int length, UINT dpi);

// The control's rectangle at `dpi`. Its edges are scaled, not its size, so
// that controls that meet at 96 DPI still meet.
RECT ControlRect(Control control, UINT dpi);

}  // namespace tessaline
