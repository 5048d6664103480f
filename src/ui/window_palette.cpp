#include "ui/window_palette.h"

#include <windows.h>

#include <functional>

namespace tessaline {

WindowPalette HighContrastPalette(const std::function<COLORREF(int)>& systemColour) {
  const COLORREF window = systemColour(COLOR_WINDOW);
  const COLORREF windowText = systemColour(COLOR_WINDOWTEXT);
  const COLORREF highlight = systemColour(COLOR_HIGHLIGHT);
  const COLORREF highlightText = systemColour(COLOR_HIGHLIGHTTEXT);
  const COLORREF buttonFace = systemColour(COLOR_BTNFACE);
  const COLORREF buttonText = systemColour(COLOR_BTNTEXT);
  return WindowPalette{
      .background = window,
      .text = windowText,
      // No grey under high contrast: the scheme's text colour is the only
      // one it promises to be readable on its window colour.
      .mutedText = windowText,
      .accent = highlight,
      .onAccent = highlightText,
      .track = buttonFace,
      .buttonFace = buttonFace,
      .buttonText = buttonText,
      .buttonEdge = buttonText,
      .pressedFace = highlight,
      .pressedText = highlightText,
      .pressedEdge = buttonText,
      .dark = false,
  };
}

bool HighContrastIsOn() {
  HIGHCONTRASTW contrast{};
  contrast.cbSize = sizeof(contrast);
  return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) != FALSE &&
         (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

WindowPalette CurrentPalette() {
  if (!HighContrastIsOn()) return kDarkPalette;
  return HighContrastPalette([](int index) { return static_cast<COLORREF>(GetSysColor(index)); });
}

}  // namespace tessaline
