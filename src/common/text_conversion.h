// Conversion at the boundary between release data (UTF-8) and everything
// Windows deals in (UTF-16).
#pragma once

#include <string>
#include <string_view>

namespace tessaline {

// Strict UTF-8 to UTF-16. Raises SetupError "The release contains invalid
// UTF-8" for malformed input; embedded zero bytes are converted like any other.
std::wstring Utf8ToWide(std::string_view text);

// UTF-16 to UTF-8 with invalid UTF-16 rejected; a failed conversion gives
// empty text.
std::string WideToUtf8(std::wstring_view text);

// Whether the text comes through a conversion to the ANSI code page and back
// unchanged: what a program with a narrow main receives of its arguments.
bool SurvivesAnsiCodePage(std::wstring_view text);

}  // namespace tessaline
