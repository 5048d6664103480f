#include "common/file_system.h"

#include <windows.h>

#include <algorithm>

#include "common/text_conversion.h"
#include "common/unique_handle.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

std::string TrimDescription(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

std::string WindowsErrorDescription(unsigned long code, std::initializer_list<unsigned short> languages) {
  for (const unsigned short language : languages) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const UniqueLocalMemory owned(buffer);
    std::string text;
    if (length != 0 && buffer != nullptr) text = WideToUtf8(std::wstring_view(buffer, length));
    text = TrimDescription(std::move(text));
    if (!text.empty()) return text;
  }
  return "Windows error " + std::to_string(code);
}

// A Windows installed in another language may carry no English messages at
// all: its own language first, English where it has no text of its own.
std::string WindowsErrorDescription(unsigned long code) {
  return WindowsErrorDescription(code, {GetSystemDefaultUILanguage(), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)});
}

std::string ErrorDescription(const std::error_code& error) {
  if (error.category() == std::system_category()) return WindowsErrorDescription(static_cast<unsigned long>(error.value()));
  return TrimDescription(error.message());
}

std::string PathText(const fs::path& path) { return WideToUtf8(path.native()); }

std::string FileSystemFailureText(const std::string& operation, const std::string& description, const fs::path& first,
                                  const fs::path& second) {
  std::string text = operation + ": " + description + ": \"" + PathText(first) + "\"";
  if (!second.empty()) text += ", \"" + PathText(second) + "\"";
  return text;
}

FileSystemFailure::FileSystemFailure(const std::string& operation, const std::error_code& error, const fs::path& first,
                                     const fs::path& second)
    : SetupError(FileSystemFailureText(operation, ErrorDescription(error), first, second),
                 error.category() == std::system_category() ? static_cast<unsigned long>(error.value()) : 0) {}

void RaiseLastFileSystemError(const std::string& operation, const fs::path& first, const fs::path& second) {
  const DWORD code = GetLastError();
  throw FileSystemFailure(operation, std::error_code(static_cast<int>(code), std::system_category()), first, second);
}

std::wstring ExtendedLengthPath(const fs::path& path) {
  std::wstring text = path.native();
  if (text.empty() || text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\\\.\\", 0) == 0) return text;
  std::replace(text.begin(), text.end(), L'/', L'\\');
  // The prefix turns off the system's own normalisation: the path must
  // already be absolute, with "." and ".." resolved.
  const DWORD needed = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return text;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(text.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return text;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  return full;
}

namespace fsops {

bool Exists(const fs::path& path) {
  std::error_code error;
  const bool result = fs::exists(path, error);
  if (error) throw FileSystemFailure("exists", error, path);
  return result;
}

std::uintmax_t FileSize(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) throw FileSystemFailure("file_size", error, path);
  return size;
}

fs::file_status Status(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  // status() reports "not found" both as file_type::not_found and as an
  // error code; only other errors are failures.
  if (error && status.type() != fs::file_type::not_found) throw FileSystemFailure("status", error, path);
  return status;
}

bool IsEmpty(const fs::path& path) {
  std::error_code error;
  const bool result = fs::is_empty(path, error);
  if (error) throw FileSystemFailure("is_empty", error, path);
  return result;
}

void CreateDirectories(const fs::path& path) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error) throw FileSystemFailure("create_directories", error, path);
}

bool Remove(const fs::path& path) {
  std::error_code error;
  const bool removed = fs::remove(path, error);
  if (error) throw FileSystemFailure("remove", error, path);
  return removed;
}

namespace {

std::error_code LastError() { return std::error_code(static_cast<int>(GetLastError()), std::system_category()); }

bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Deletes one entry whose attributes are known; folders are emptied first
// unless they are reparse points. `path` is in the extended-length form. An
// entry just listed that has gone since is not an error, but only "file not
// found" says so: "path not found" for it means its path could not be
// followed, and the tree would stay.
void RemoveEntry(const std::wstring& path, DWORD attributes, bool root, std::uintmax_t& count, std::error_code& error) {
  const auto gone = [root](DWORD code) { return root ? IsMissing(code) : code == ERROR_FILE_NOT_FOUND; };
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW entry{};
    const std::wstring pattern = path + L"\\*";
    const UniqueFind find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!find) {
      if (!error && !gone(GetLastError())) error = LastError();
    } else {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        RemoveEntry(path + L"\\" + name, entry.dwFileAttributes, false, count, error);
      } while (FindNextFileW(find.Get(), &entry));
    }
  }
  const BOOL removed = folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
  if (removed) {
    ++count;
  } else if (!error && !gone(GetLastError())) {
    error = LastError();
  }
}

}  // namespace

std::uintmax_t RemoveTree(const fs::path& root, std::error_code& error) {
  error.clear();
  std::uintmax_t count = 0;
  const std::wstring path = ExtendedLengthPath(root);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (!IsMissing(GetLastError())) error = LastError();
    return 0;
  }
  RemoveEntry(path, attributes, true, count, error);
  return count;
}

std::uintmax_t RemoveAll(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t count = RemoveTree(path, error);
  if (error) throw FileSystemFailure("remove_all", error, path);
  return count;
}

void Rename(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (error) throw FileSystemFailure("rename", error, from, to);
}

UniqueFile OpenForSharedReading(const fs::path& path) {
  return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

void WriteAll(HANDLE file, const void* data, std::size_t length, const fs::path& path) {
  DWORD written = 0;
  if (!WriteFile(file, data, static_cast<DWORD>(length), &written, nullptr) || written != length) {
    RaiseLastFileSystemError("write", path);
  }
}

void ReplaceFileContents(const fs::path& path, const fs::path& pending, std::string_view text) {
  {
    UniqueFile file(
        CreateFileW(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) RaiseLastFileSystemError("open", pending);
    WriteAll(file.Get(), text.data(), text.size(), pending);
    if (!FlushFileBuffers(file.Get())) RaiseLastFileSystemError("write", pending);
  }
  if (!MoveFileExW(pending.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    RaiseLastFileSystemError("rename", pending, path);
  }
}

void FlushFile(const fs::path& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file || !FlushFileBuffers(file.Get())) throw FileSystemFailure("flush", LastError(), path);
}

void CopyFile(const fs::path& from, const fs::path& to, fs::copy_options options) {
  std::error_code error;
  fs::copy_file(from, to, options, error);
  if (error) throw FileSystemFailure("copy_file", error, from, to);
}

}  // namespace fsops
}  // namespace tessaline
