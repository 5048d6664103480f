#include "extractor.h"

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "entry_name.h"
#include "extract_error.h"
#include "gzip_input.h"
#include "tar_reader.h"

namespace tessaline::tar {
namespace {

constexpr std::size_t kWriteBufferSize = 256 * 1024;
// 100 ns intervals between 1601 and 1970.
constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000;

// The extended-length form, so deep trees are not cut off at MAX_PATH and
// no further name rewriting happens behind our checks.
std::wstring ExtendedLengthPath(const std::filesystem::path& folder) {
  const std::wstring& given = folder.native();
  const DWORD needed = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  if (needed == 0) RaiseLastError("cannot resolve the target folder \"" + ToUtf8(given) + "\"");
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(given.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) RaiseLastError("cannot resolve the target folder \"" + ToUtf8(given) + "\"");
  full.resize(length);
  while (!full.empty() && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  if (full.starts_with(L"\\\\?\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string Quoted(const std::wstring& relative) { return "\"" + ToUtf8(relative) + "\""; }

// Attributes of an existing item, or INVALID_FILE_ATTRIBUTES when there is none.
DWORD AttributesOf(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

void RefuseReparsePoint(DWORD attributes, const std::wstring& relative) {
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    throw ExtractError(Quoted(relative) + " is a link or junction in the target folder; not writing through it");
  }
}

// Creates each missing folder of `relative` below `base`; existing ones
// must be real folders.
void EnsureFolders(const std::wstring& base, const std::wstring& relative) {
  std::size_t end = 0;
  while (end != std::wstring::npos) {
    end = relative.find(L'\\', end + 1);
    const std::wstring part = relative.substr(0, end);
    const std::wstring path = base + L"\\" + part;
    if (CreateDirectoryW(path.c_str(), nullptr)) continue;
    if (GetLastError() != ERROR_ALREADY_EXISTS) RaiseLastError("cannot create the folder " + Quoted(part));
    const DWORD attributes = AttributesOf(path);
    RefuseReparsePoint(attributes, part);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      throw ExtractError(Quoted(part) + " exists and is not a folder");
    }
  }
}

// A file being written: removed again unless Commit() is reached, so a
// failure never leaves a cut-off file that looks complete.
class PendingFile {
 public:
  PendingFile(std::wstring path, const std::wstring& relative) : path_(std::move(path)) {
    file_.Reset(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file_) RaiseLastError("cannot create the file " + Quoted(relative));
  }
  ~PendingFile() {
    if (!file_) return;
    file_.Reset();
    DeleteFileW(path_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  HANDLE Get() const { return file_.Get(); }

  void Commit(const std::wstring& relative) {
    if (!CloseHandle(file_.Release())) {
      DeleteFileW(path_.c_str());
      RaiseLastError("cannot finish writing the file " + Quoted(relative));
    }
  }

 private:
  std::wstring path_;
  UniqueFile file_;
};

void WriteAll(HANDLE file, const unsigned char* data, std::size_t size, const std::wstring& relative) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      RaiseLastError("cannot write the file " + Quoted(relative));
    }
    data += written;
    size -= written;
  }
}

void SetModifiedTime(HANDLE file, std::int64_t seconds) {
  // Times before 1601 or beyond FILETIME's range are left to the system.
  if (seconds < -11644473600 || seconds > 900000000000) return;
  const std::int64_t ticks = seconds * 10000000 + kUnixEpochInFileTime;
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  SetFileTime(file, nullptr, nullptr, &time);  // a missing time stamp fails nothing
}

void ExtractFile(TarReader& reader, const TarEntry& entry, const std::wstring& base, const std::wstring& relative,
                 std::vector<unsigned char>& buffer) {
  if (relative.empty()) {
    throw ExtractError("refusing entry \"" + entry.name + "\": a file cannot replace the target folder");
  }
  if (const std::size_t slash = relative.rfind(L'\\'); slash != std::wstring::npos) {
    EnsureFolders(base, relative.substr(0, slash));
  }
  const std::wstring path = base + L"\\" + relative;
  const DWORD attributes = AttributesOf(path);
  RefuseReparsePoint(attributes, relative);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw ExtractError(Quoted(relative) + " exists and is a folder");
  }

  PendingFile file(path, relative);
  for (;;) {
    const std::size_t got = reader.ReadData(buffer);
    if (got == 0) break;
    WriteAll(file.Get(), buffer.data(), got, relative);
  }
  if (entry.modified) SetModifiedTime(file.Get(), *entry.modified);
  file.Commit(relative);
}

}  // namespace

void ExtractArchive(const std::filesystem::path& archive, const std::filesystem::path& target) {
  const std::wstring base = ExtendedLengthPath(target);
  const DWORD targetAttributes = AttributesOf(base + L"\\");
  if (targetAttributes == INVALID_FILE_ATTRIBUTES || (targetAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    throw ExtractError("the target folder \"" + ToUtf8(target.native()) + "\" does not exist");
  }

  GzipInput input(archive);
  TarReader reader(input);
  std::vector<unsigned char> buffer(kWriteBufferSize);
  while (const std::optional<TarEntry> entry = reader.Next()) {
    switch (entry->kind) {
      case EntryKind::Folder: {
        const std::wstring relative = RelativeExtractionPath(entry->name);
        if (entry->size != 0) {
          throw ExtractError("refusing entry \"" + entry->name + "\": a folder entry carries data");
        }
        if (!relative.empty()) EnsureFolders(base, relative);
        break;
      }
      case EntryKind::File:
        ExtractFile(reader, *entry, base, RelativeExtractionPath(entry->name), buffer);
        break;
      case EntryKind::HardLink:
      case EntryKind::SymbolicLink:
        // A link could point anywhere, and a later entry could be written
        // through it; packages hold plain files and folders only.
        throw ExtractError("refusing entry \"" + entry->name + "\": links are not extracted (it points to \"" +
                           entry->linkName + "\")");
      case EntryKind::Other:
        throw ExtractError("refusing entry \"" + entry->name + "\": entry type '" +
                           std::string(1, entry->typeFlag) + "' is not supported");
    }
  }
  input.DrainToEnd();
}

}  // namespace tessaline::tar
