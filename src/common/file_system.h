// File and folder operations that fail with Setup's own file-system failure:
// the operation's name, the system's description of the error and the paths,
// as in `rename: Access is denied: "C:\a", "C:\b"`. A "not found" answer never
// fails a query; it makes an existence or type test false.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>

#include "common/setup_error.h"
#include "common/unique_handle.h"

namespace tessaline {

class FileSystemFailure : public SetupError {
 public:
  FileSystemFailure(const std::string& operation, const std::error_code& error, const std::filesystem::path& first,
                    const std::filesystem::path& second = {});
};

// Raises the file-system failure of `operation` with the calling thread's
// last Windows error, read before anything else can change it.
[[noreturn]] void RaiseLastFileSystemError(const std::string& operation, const std::filesystem::path& first,
                                           const std::filesystem::path& second = {});

// The failure text for an operation that reported a Windows error code.
std::string FileSystemFailureText(const std::string& operation, const std::string& description,
                                  const std::filesystem::path& first, const std::filesystem::path& second = {});

// The system's description of an error, without its trailing full stop and
// line break: in the system's default language, else in US English, else
// "Windows error <code>".
std::string ErrorDescription(const std::error_code& error);
std::string WindowsErrorDescription(unsigned long code);

// The same from the first of `languages` (LANGIDs) that describes the code.
std::string WindowsErrorDescription(unsigned long code, std::initializer_list<unsigned short> languages);

// The path in the form Windows takes at any length: absolute and
// normalised, after "\\?\" ("\\?\UNC\" for a share), so that the
// 260-character limit of plain paths never applies, whatever the system's
// long-path setting. A path already in that form, or a device path, stays.
std::wstring ExtendedLengthPath(const std::filesystem::path& path);

// The path as UTF-8 for messages.
std::string PathText(const std::filesystem::path& path);

namespace fsops {

bool Exists(const std::filesystem::path& path);
std::uintmax_t FileSize(const std::filesystem::path& path);
std::filesystem::file_status Status(const std::filesystem::path& path);
bool IsEmpty(const std::filesystem::path& path);
void CreateDirectories(const std::filesystem::path& path);
bool Remove(const std::filesystem::path& path);
std::uintmax_t RemoveAll(const std::filesystem::path& path);
void Rename(const std::filesystem::path& from, const std::filesystem::path& to);
void CopyFile(const std::filesystem::path& from, const std::filesystem::path& to,
              std::filesystem::copy_options options = std::filesystem::copy_options::none);

// Opens a file for reading while others may read, write and delete it; an
// invalid handle when it cannot be opened, for the caller to report.
UniqueFile OpenForSharedReading(const std::filesystem::path& path);

// Writes all `length` bytes at the file's position ("write" on failure).
void WriteAll(HANDLE file, const void* data, std::size_t length, const std::filesystem::path& path);

// Replaces `path` with `text` whole: written to `pending` and flushed, then
// renamed over it, so that a cut leaves either the old content or the new,
// never a mix. Raises "open", "write" or "rename".
void ReplaceFileContents(const std::filesystem::path& path, const std::filesystem::path& pending,
                         std::string_view text);

// Writes a file's data through to the disk ("flush" on failure).
void FlushFile(const std::filesystem::path& path);

// Removes a folder tree without ever following a link or junction inside it:
// a link is removed itself, never what it points to. Reports the first error
// and goes on with the rest; a missing root is not an error.
std::uintmax_t RemoveTree(const std::filesystem::path& root, std::error_code& error);

}  // namespace fsops
}  // namespace tessaline
