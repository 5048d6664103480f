#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>

#include "ui/window_layout.h"

namespace tessaline {
namespace {

constexpr std::size_t kControls = static_cast<std::size_t>(Control::Count);

RECT At(std::size_t i, UINT dpi) { return ControlRect(static_cast<Control>(i), dpi); }

TEST(WindowLayout, At200PercentEveryControlIsTwiceItsSizeInTheSamePlace) {
  for (std::size_t i = 0; i < kControls; ++i) {
    const RECT small = At(i, 96);
    const RECT large = At(i, 192);
    const DesignBox& box = kDesignLayout[i];
    EXPECT_EQ(small.left, box.x) << i;
    EXPECT_EQ(small.bottom - small.top, box.height) << i;
    EXPECT_EQ(large.left, 2 * small.left) << i;
    EXPECT_EQ(large.top, 2 * small.top) << i;
    EXPECT_EQ(large.right, 2 * small.right) << i;
    EXPECT_EQ(large.bottom, 2 * small.bottom) << i;
  }
  EXPECT_EQ(ScaleForDpi(kDesignWindowSize.cx, 192), 1520);
}

// At a fractional scale rounding must not open gaps or overlaps between
// rows, and everything stays inside the client area of the scaled window.
TEST(WindowLayout, At125And150PercentRowsKeepTheirOrderInsideTheWindow) {
  for (const UINT dpi : {120U, 144U, 168U}) {
    RECT frame{0, 0, 0, 0};
    ASSERT_TRUE(AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE, 0));
    const int clientWidth = ScaleForDpi(kDesignWindowSize.cx, dpi) - (frame.right - frame.left);
    for (std::size_t i = 0; i < kControls; ++i) {
      const RECT r = At(i, dpi);
      EXPECT_LE(r.right, clientWidth) << dpi << " " << i;
      EXPECT_GE(r.bottom - r.top, kDesignLayout[i].height * static_cast<int>(dpi) / 96 - 1) << dpi << " " << i;
    }
    const RECT status = At(static_cast<std::size_t>(Control::StatusText), dpi);
    const RECT bar = At(static_cast<std::size_t>(Control::ProgressBar), dpi);
    const RECT detail = At(static_cast<std::size_t>(Control::DetailText), dpi);
    EXPECT_LE(status.bottom, bar.top) << dpi;
    EXPECT_LE(bar.bottom, detail.top) << dpi;
  }
}

}  // namespace
}  // namespace tessaline
