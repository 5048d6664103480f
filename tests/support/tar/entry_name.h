// Which archive member names may be written below the target folder, and
// where.
#pragma once

#include <string>
#include <string_view>

namespace tessaline::tar {

// The member name as a relative Windows path ("a\b\c.txt"), or ExtractError
// saying why it would land outside the target folder or cannot exist there:
// absolute paths, drive letters, "..", characters and device names Windows
// does not allow in a file name, and invalid UTF-8. '/' and '\' both
// separate; empty and "." components are dropped, so "./" gives "" (the
// target folder itself).
std::wstring RelativeExtractionPath(std::string_view name);

}  // namespace tessaline::tar
