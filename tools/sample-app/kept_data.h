// The data the application keeps across updates, in the two folders Setup
// carries from one version into the next.
#pragma once

#include <filesystem>
#include <string>

namespace tessaline::sample {

// Makes sure both kept folders exist below `folder` and hold sample-data.bin;
// a data file already there is never touched. Returns 0, or the Windows
// error code of the first step that failed.
unsigned long EnsureKeptData(const std::filesystem::path& folder, const std::wstring& version);

}  // namespace tessaline::sample
