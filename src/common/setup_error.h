// The one failure type Setup's own code raises: a short, user-facing English
// message and nothing else.
#pragma once

#include <stdexcept>
#include <string>

namespace tessaline {

class SetupError : public std::runtime_error {
 public:
  explicit SetupError(const std::string& message) : std::runtime_error(message) {}
};

// Raises SetupError with `message` followed by " (Windows error <code>)",
// where the code is the calling thread's last Windows error, read first.
[[noreturn]] void RaiseWindowsError(const std::string& message);

// The same suffix for an error code already in hand.
[[noreturn]] void RaiseWindowsError(const std::string& message, unsigned long code);

}  // namespace tessaline
