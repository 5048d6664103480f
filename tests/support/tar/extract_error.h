// Why an archive could not be extracted: one English sentence for stderr.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace tessaline::tar {

class ExtractError : public std::runtime_error {
 public:
  explicit ExtractError(const std::string& message) : std::runtime_error(message) {}
};

// Raises ExtractError with `what`, the system's description of the calling
// thread's last error and its code.
[[noreturn]] void RaiseLastError(const std::string& what);

// UTF-16 to UTF-8 for messages; unpaired surrogates become U+FFFD.
std::string ToUtf8(std::wstring_view text);

}  // namespace tessaline::tar
