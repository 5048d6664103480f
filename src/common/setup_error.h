// The one failure type Setup's own code raises: a short, user-facing English
// message and nothing else.
#pragma once

#include <stdexcept>
#include <string>

namespace tessaline {

// A failure that came from a Windows call also keeps its error code, for the
// code that decides what to do about it; the message stays what users read.
class SetupError : public std::runtime_error {
 public:
  explicit SetupError(const std::string& message, unsigned long windowsError = 0)
      : std::runtime_error(message), windowsError_(windowsError) {}
  // The Windows error code behind the failure; 0 when there is none.
  unsigned long WindowsError() const { return windowsError_; }

 private:
  unsigned long windowsError_;
};

// Raises SetupError with `message` followed by " (Windows error <code>)",
// where the code is the calling thread's last Windows error, read first.
[[noreturn]] void RaiseWindowsError(const std::string& message);

// The same suffix for an error code already in hand.
[[noreturn]] void RaiseWindowsError(const std::string& message, unsigned long code);

}  // namespace tessaline
