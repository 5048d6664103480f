#include "entry_name.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <vector>

#include "extract_error.h"

namespace tessaline::tar {
namespace {

[[noreturn]] void Refuse(std::string_view name, const std::string& reason) {
  throw ExtractError("refusing entry \"" + std::string(name) + "\": " + reason);
}

std::wstring DecodeUtf8(std::string_view name) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()),
                                       nullptr, 0);
  if (size <= 0) Refuse(name, "its name is not valid UTF-8");
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()), wide.data(), size);
  return wide;
}

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// CON, NUL, COM1 and the like open a device whatever extension follows.
bool IsDeviceName(std::wstring_view component) {
  std::wstring stem(component.substr(0, component.find(L'.')));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(), AsciiUpper);
  static constexpr std::array<std::wstring_view, 4> kPlain = {L"CON", L"PRN", L"AUX", L"NUL"};
  if (std::find(kPlain.begin(), kPlain.end(), stem) != kPlain.end()) return true;
  if (stem == L"CONIN$" || stem == L"CONOUT$") return true;
  return stem.size() == 4 && (stem.starts_with(L"COM") || stem.starts_with(L"LPT")) &&
         ((stem[3] >= L'1' && stem[3] <= L'9') || stem[3] == L'\u00B9' || stem[3] == L'\u00B2' ||
          stem[3] == L'\u00B3');
}

void CheckComponent(std::string_view name, std::wstring_view component) {
  if (component == L"..") Refuse(name, "it leaves the target folder through \"..\"");
  for (const wchar_t c : component) {
    if (c < 0x20) Refuse(name, "its name holds a control character");
    if (c == L':') Refuse(name, "its name holds a drive letter or a ':'");
    if (std::wstring_view(L"<>\"|?*").find(c) != std::wstring_view::npos) {
      Refuse(name, "its name holds a character Windows does not allow in file names");
    }
  }
  // Windows drops trailing dots and spaces, so "x." and "x" would be one
  // file, and ". ." would be no name at all.
  if (component.back() == L'.' || component.back() == L' ') {
    Refuse(name, "a part of its name ends in a dot or a space");
  }
  if (IsDeviceName(component)) Refuse(name, "its name is a reserved device name");
}

}  // namespace

std::wstring RelativeExtractionPath(std::string_view name) {
  if (name.empty()) Refuse(name, "its name is empty");
  const std::wstring wide = DecodeUtf8(name);
  if (IsSeparator(wide.front())) Refuse(name, "its path is absolute");
  if (wide.size() >= 2 && wide[1] == L':') Refuse(name, "its path names a drive");

  std::wstring result;
  std::size_t begin = 0;
  while (begin <= wide.size()) {
    std::size_t end = begin;
    while (end < wide.size() && !IsSeparator(wide[end])) ++end;
    const std::wstring_view component(wide.data() + begin, end - begin);
    if (!component.empty() && component != L".") {
      CheckComponent(name, component);
      if (!result.empty()) result += L'\\';
      result += component;
    }
    begin = end + 1;
  }
  return result;
}

}  // namespace tessaline::tar
