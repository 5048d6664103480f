// Where the sample application lives and the small files it reads and writes
// beside itself.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessaline::sample {

// The full path of Tessaline.exe as it was started, and its folder.
std::filesystem::path ExecutablePath();
std::filesystem::path ExecutableFolder();

// The whole file, or nullopt when it cannot be opened or read.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path);

// Writes the bytes to a temporary name beside `path` and renames it into
// place, so a reader never sees half of it; false on any failure.
bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);

// The version shown and reported: the first line of sample-version.txt
// beside the executable when there is one, else the built-in version.
std::wstring SampleVersion(const std::filesystem::path& folder);

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

}  // namespace tessaline::sample
