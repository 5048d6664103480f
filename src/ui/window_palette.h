// The colours the Setup window draws with: its own dark palette, or, while
// the user has high contrast on, the system colours of the user's scheme.
#pragma once

#include <windows.h>

#include <functional>

namespace tessaline {

struct WindowPalette {
  // The window, and the background of every text on it.
  COLORREF background;
  // Title, subtitle, status line and check box.
  COLORREF text;
  // The description and the detail line.
  COLORREF mutedText;
  // The logo circle and the progress-bar fill, and the letter on the circle.
  COLORREF accent;
  COLORREF onAccent;
  COLORREF track;
  // The action button: face, caption and outline, at rest and held down.
  COLORREF buttonFace;
  COLORREF buttonText;
  COLORREF buttonEdge;
  COLORREF pressedFace;
  COLORREF pressedText;
  COLORREF pressedEdge;
  // The dark title bar and check box; under high contrast the system's own.
  bool dark;

  bool operator==(const WindowPalette&) const = default;
};

inline constexpr WindowPalette kDarkPalette = {
    .background = RGB(0x0F, 0x17, 0x2A),
    .text = RGB(0xF8, 0xFA, 0xFC),
    .mutedText = RGB(0x94, 0xA3, 0xB8),
    .accent = RGB(0x3B, 0x82, 0xF6),
    .onAccent = RGB(0xFF, 0xFF, 0xFF),
    .track = RGB(0x1E, 0x29, 0x3B),
    .buttonFace = RGB(0x3B, 0x82, 0xF6),
    .buttonText = RGB(0xFF, 0xFF, 0xFF),
    .buttonEdge = RGB(0x3B, 0x82, 0xF6),
    .pressedFace = RGB(0x25, 0x63, 0xEB),
    .pressedText = RGB(0xFF, 0xFF, 0xFF),
    .pressedEdge = RGB(0x25, 0x63, 0xEB),
    .dark = true,
};

// The palette for high contrast, from `systemColour` (GetSysColor). Every
// text is drawn on the background the scheme pairs it with; the button is
// outlined in its text colour, since a scheme's button face may be the
// window's own colour.
WindowPalette HighContrastPalette(const std::function<COLORREF(int)>& systemColour);

// Whether the user has high contrast on, and the palette for that.
bool HighContrastIsOn();
WindowPalette CurrentPalette();

}  // namespace tessaline
