#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <utility>

#include "ui/window_palette.h"

namespace tessaline {
namespace {

// Each system colour a value of its own, none of them one of the dark
// palette's.
COLORREF FakeSystemColour(int index) { return RGB(index, 0x40, 0x80); }
bool IsSystemColour(COLORREF c) { return GetGValue(c) == 0x40 && GetBValue(c) == 0x80; }

// A scheme promises only that its pairs read: a text in its window-text
// colour over its button face may vanish. So every text is drawn over the
// background that the scheme pairs with it, and no colour of the dark
// palette survives.
TEST(WindowPalette, UnderHighContrastEveryTextIsOnTheBackgroundTheSchemePairsItWith) {
  const WindowPalette p = HighContrastPalette(FakeSystemColour);
  const std::set<std::pair<COLORREF, COLORREF>> schemePairs = {
      {FakeSystemColour(COLOR_WINDOWTEXT), FakeSystemColour(COLOR_WINDOW)},
      {FakeSystemColour(COLOR_BTNTEXT), FakeSystemColour(COLOR_BTNFACE)},
      {FakeSystemColour(COLOR_HIGHLIGHTTEXT), FakeSystemColour(COLOR_HIGHLIGHT)},
  };
  const struct {
    COLORREF text;
    COLORREF background;
    const char* what;
  } drawn[] = {
      {p.text, p.background, "text"},
      {p.mutedText, p.background, "muted text"},
      {p.onAccent, p.accent, "logo letter"},
      {p.buttonText, p.buttonFace, "button caption"},
      {p.pressedText, p.pressedFace, "pressed button caption"},
  };
  for (const auto& d : drawn) EXPECT_EQ(schemePairs.count({d.text, d.background}), 1U) << d.what;

  for (const COLORREF c : {p.background, p.text, p.mutedText, p.accent, p.onAccent, p.track, p.buttonFace,
                           p.buttonText, p.buttonEdge, p.pressedFace, p.pressedText, p.pressedEdge}) {
    EXPECT_TRUE(IsSystemColour(c)) << std::hex << c;
  }
  EXPECT_FALSE(p.dark);
}

}  // namespace
}  // namespace tessaline
