#include "common/text_conversion.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include "common/setup_error.h"

namespace tessaline {

std::wstring Utf8ToWide(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > static_cast<std::size_t>(INT_MAX)) throw SetupError("The release contains invalid UTF-8");
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (needed < 1) throw SetupError("The release contains invalid UTF-8");
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), needed) != needed) {
    throw SetupError("The release contains invalid UTF-8");
  }
  return wide;
}

std::string WideToUtf8(std::wstring_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed < 1) return {};
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, narrow.data(), needed, nullptr,
                          nullptr) != needed) {
    return {};
  }
  return narrow;
}

bool SurvivesAnsiCodePage(std::wstring_view text) {
  const bool ascii = std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
  if (ascii) return true;
  // Windows' optional UTF-8 code page: any well-formed text survives.
  if (GetACP() == CP_UTF8) return !WideToUtf8(text).empty();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
  BOOL replaced = FALSE;
  const int needed = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, &replaced);
  return needed > 0 && !replaced;
}

}  // namespace tessaline
