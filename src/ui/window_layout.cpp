#include "ui/window_layout.h"

#include <windows.h>

namespace tessaline {

int ScaleForDpi(int length, UINT dpi) { return MulDiv(length, static_cast<int>(dpi), static_cast<int>(kDesignDpi)); }

RECT ControlRect(Control control, UINT dpi) {
  const DesignBox& box = kDesignLayout[static_cast<std::size_t>(control)];
  return RECT{ScaleForDpi(box.x, dpi), ScaleForDpi(box.y, dpi), ScaleForDpi(box.x + box.width, dpi),
              ScaleForDpi(box.y + box.height, dpi)};
}

}  // namespace tessaline
