#include "extract_error.h"

#include <windows.h>

#include "common/unique_handle.h"

namespace tessaline::tar {

std::string ToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return "?";
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

void RaiseLastError(const std::string& what) {
  const DWORD code = GetLastError();
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const UniqueLocalMemory owner(buffer);
  std::wstring description(buffer != nullptr ? buffer : L"", length);
  while (!description.empty() && (description.back() == L'\n' || description.back() == L'\r' ||
                                  description.back() == L' ' || description.back() == L'.')) {
    description.pop_back();
  }
  std::string message = what + ": ";
  message += description.empty() ? std::string("unknown error") : ToUtf8(description);
  message += " (error " + std::to_string(code) + ")";
  throw ExtractError(message);
}

}  // namespace tessaline::tar
