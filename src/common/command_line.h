// Building command lines that the system's standard splitting reads back
// exactly as written.
#pragma once

#include <string>
#include <string_view>

namespace tessaline {

// The argument in double quotes, with backslashes and embedded quotes escaped
// so that CommandLineToArgvW gives back the original text.
std::wstring QuoteCommandLineArgument(std::wstring_view argument);

}  // namespace tessaline
