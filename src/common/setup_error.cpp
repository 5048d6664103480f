#include "common/setup_error.h"

#include <windows.h>

namespace tessaline {

void RaiseWindowsError(const std::string& message) {
  const DWORD code = GetLastError();
  RaiseWindowsError(message, code);
}

void RaiseWindowsError(const std::string& message, unsigned long code) {
  throw SetupError(message + " (Windows error " + std::to_string(code) + ")", code);
}

}  // namespace tessaline
