#include "app_files.h"

#include <windows.h>

#include <vector>

#include "common/unique_handle.h"

#ifndef TESSALINE_SAMPLE_VERSION
#define TESSALINE_SAMPLE_VERSION "1.0.0"
#endif

namespace tessaline::sample {

std::filesystem::path ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);  // truncated: try a larger buffer
  }
}

std::filesystem::path ExecutableFolder() { return ExecutablePath().parent_path(); }

std::optional<std::string> ReadSmallFile(const std::filesystem::path& path) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char chunk[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr)) return std::nullopt;
    if (got == 0) return bytes;
    bytes.append(chunk, got);
  }
}

bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path temporary = path;
  temporary += L".tmp" + std::to_wstring(GetCurrentProcessId());
  {
    const UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
      DeleteFileW(temporary.c_str());
      return false;
    }
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

std::wstring Utf8ToWide(std::string_view text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string WideToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr,
                        nullptr);
  }
  return narrow;
}

std::wstring SampleVersion(const std::filesystem::path& folder) {
  if (std::optional<std::string> text = ReadSmallFile(folder / L"sample-version.txt")) {
    std::string_view line = *text;
    if (line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    line = line.substr(0, line.find_first_of("\r\n"));
    const auto first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos) {
      line = line.substr(first, line.find_last_not_of(" \t") - first + 1);
      return Utf8ToWide(line);
    }
  }
  return Utf8ToWide(TESSALINE_SAMPLE_VERSION);
}

}  // namespace tessaline::sample
