#include "package_archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_descriptor.h"
#include "gzip_file_writer.h"
#include "release_signing.h"

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

constexpr std::size_t kChunk = 1024 * 1024;

struct ArchiveDeleter {
  void operator()(archive* a) const noexcept { archive_write_free(a); }
};
struct EntryDeleter {
  void operator()(archive_entry* e) const noexcept { archive_entry_free(e); }
};

// Decodes UTF-8 into code points; false for anything malformed, overlong,
// a surrogate or beyond U+10FFFF.
bool DecodeUtf8(const std::string& text, std::u32string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t value = 0;
    if (lead < 0x80) {
      length = 1;
      value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      value = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    out.push_back(value);
    i += length;
  }
  return true;
}

// The form two names share when Windows treats them as the same name.
std::u32string FoldCase(const std::u32string& name) {
  std::u32string folded = name;
  for (char32_t& c : folded) c = static_cast<char32_t>(std::towupper(static_cast<wint_t>(c)));
  return folded;
}

void ScanFolder(const fs::path& folder, const std::string& relative, PackageContents& contents) {
  std::vector<std::pair<std::string, fs::path>> children;
  for (const fs::directory_entry& child : fs::directory_iterator(folder)) {
    children.emplace_back(child.path().filename().string(), child.path());
  }
  std::sort(children.begin(), children.end());

  std::map<std::u32string, std::string> seen;  // folded name -> name
  for (const auto& [name, path] : children) {
    const std::string archivePath = relative.empty() ? name : relative + "/" + name;
    std::u32string decoded;
    if (!DecodeUtf8(name, decoded)) {
      throw ReleaseToolError("cannot pack " + archivePath + ": its name is not valid UTF-8");
    }
    const std::string problem = WindowsNameProblem(name);
    if (!problem.empty()) throw ReleaseToolError("cannot pack " + archivePath + ": " + problem);
    const auto [it, added] = seen.emplace(FoldCase(decoded), name);
    if (!added) {
      throw ReleaseToolError("cannot pack " + archivePath + ": Windows would take it for " + it->second +
                             " beside it (names differ only in letter case)");
    }

    const fs::file_status status = fs::symlink_status(path);
    PackageEntry entry;
    entry.source = path;
    entry.archivePath = archivePath;
    if (fs::is_symlink(status)) {
      throw ReleaseToolError("cannot pack " + archivePath +
                             ": it is a symbolic link (packages hold regular files and folders only)");
    } else if (fs::is_directory(status)) {
      entry.isFolder = true;
      contents.entries.push_back(entry);
      ScanFolder(path, archivePath, contents);
    } else if (fs::is_regular_file(status)) {
      if (::access(path.c_str(), R_OK) != 0) {
        throw ReleaseToolError("cannot pack " + archivePath + ": " + std::strerror(errno));
      }
      entry.size = fs::file_size(path);
      contents.fileCount += 1;
      contents.fileBytes += entry.size;
      contents.entries.push_back(entry);
    } else {
      throw ReleaseToolError("cannot pack " + archivePath +
                             ": it is a special file (packages hold regular files and folders only)");
    }
  }
}

// libarchive's tar stream goes into the gzip file. A failure there must not
// unwind through libarchive's C frames: it becomes the archive's error, which
// the call that wrote reports.
la_ssize_t WriteToGzip(archive* a, void* gzip, const void* data, size_t length) {
  try {
    static_cast<GzipFileWriter*>(gzip)->Write(data, length);
    return static_cast<la_ssize_t>(length);
  } catch (const std::exception& e) {
    archive_set_error(a, EIO, "%s", e.what());
    return -1;
  }
}

[[noreturn]] void RaiseArchive(archive* a, const std::string& what) {
  const char* text = archive_error_string(a);
  throw ReleaseToolError(what + (text != nullptr ? ": " + std::string(text) : std::string()));
}

void Check(archive* a, int status, const std::string& what) {
  // A warning still produced the entry as asked; only failures stop packing.
  if (status < ARCHIVE_WARN) RaiseArchive(a, what);
}

void CopyFileData(archive* a, const PackageEntry& entry, std::vector<char>& buffer, std::uint64_t& bytesDone,
                  std::uint64_t filesDone, const PackProgress& progress) {
  FileDescriptor file(::open(entry.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.Get() < 0) {
    throw ReleaseToolError("cannot read " + entry.source.string() + ": " + std::strerror(errno));
  }
  const std::string changed = entry.source.string() + " changed while it was being packed";
  std::uint64_t left = entry.size;
  while (left > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    const ssize_t got = ::read(file.Get(), buffer.data(), want);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ReleaseToolError("cannot read " + entry.source.string() + ": " + std::strerror(errno));
    }
    if (got == 0) throw ReleaseToolError(changed);
    if (archive_write_data(a, buffer.data(), static_cast<std::size_t>(got)) != got) {
      RaiseArchive(a, "cannot write the package");
    }
    left -= static_cast<std::uint64_t>(got);
    bytesDone += static_cast<std::uint64_t>(got);
    if (progress) progress(filesDone, bytesDone);
  }
  char extra = 0;
  ssize_t more = 0;
  do {
    more = ::read(file.Get(), &extra, 1);
  } while (more < 0 && errno == EINTR);
  if (more != 0) throw ReleaseToolError(changed);
}

}  // namespace

std::string WindowsNameProblem(const std::string& name) {
  if (name.empty()) return "its name is empty";
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return "its name holds a control character, which Windows refuses";
    if (std::strchr("<>:\"\\|?*", c) != nullptr) {
      return std::string("its name holds '") + c + "', which Windows refuses in file names";
    }
  }
  if (name.back() == '.' || name.back() == ' ') return "its name ends in a dot or space, which Windows drops";
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  bool reserved = std::find_if(std::begin(kDevices), std::end(kDevices),
                               [&](const char* d) { return stem == d; }) != std::end(kDevices);
  if (stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '1' &&
      stem[3] <= '9') {
    reserved = true;
  }
  if (reserved) return "its name is a Windows device name";
  return {};
}

PackageContents ScanApplicationFolder(const fs::path& folder) {
  if (!fs::is_directory(folder)) throw ReleaseToolError("the application folder " + folder.string() + " is not a folder");
  const fs::file_status app = fs::symlink_status(folder / "Tessaline.exe");
  if (!fs::is_regular_file(app)) {
    throw ReleaseToolError("the application folder " + folder.string() +
                           " has no regular file Tessaline.exe at its top");
  }
  PackageContents contents;
  ScanFolder(folder, "", contents);
  return contents;
}

void WritePackageArchive(const PackageContents& contents, const fs::path& package, const PackProgress& progress) {
  // Before the archive: libarchive writes its end marker into it even when
  // it is freed after a failure.
  GzipFileWriter gzip(package);
  std::unique_ptr<archive, ArchiveDeleter> writer(archive_write_new());
  if (!writer) throw ReleaseToolError("cannot start the package writer");
  archive* a = writer.get();
  // ustar headers, with pax records only where a name or size needs them.
  Check(a, archive_write_set_format_pax_restricted(a), "cannot set up the tar format");
  // Every byte straight to the compressor, as it is produced: no records.
  Check(a, archive_write_set_bytes_per_block(a, 0), "cannot set up the tar format");
  Check(a, archive_write_open2(a, &gzip, nullptr, WriteToGzip, nullptr, nullptr), "cannot open " + package.string());

  // Each entry, from its header to the end of its padding, is compressed
  // after a full flush: a file that did not change from one release to the
  // next gives the same compressed bytes wherever it lies, so Setup finds it
  // in the package it has and need not download it again.
  const auto startSegment = [&](const std::string& what) {
    Check(a, archive_write_finish_entry(a), what);  // the previous entry's padding
    gzip.FullFlush();
  };
  std::vector<char> buffer(kChunk);
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  for (const PackageEntry& item : contents.entries) {
    startSegment("cannot add " + item.archivePath + " to the package");
    std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
    archive_entry_set_pathname_utf8(entry.get(), item.archivePath.c_str());
    archive_entry_set_filetype(entry.get(), item.isFolder ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(entry.get(), item.isFolder ? 0755 : 0644);
    archive_entry_set_size(entry.get(), item.isFolder ? 0 : static_cast<la_int64_t>(item.size));
    archive_entry_set_mtime(entry.get(), 0, 0);
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    Check(a, archive_write_header(a, entry.get()), "cannot add " + item.archivePath + " to the package");
    if (!item.isFolder) {
      files += 1;
      CopyFileData(a, item, buffer, bytes, files, progress);
      if (progress) progress(files, bytes);
    }
  }
  // The end marker too, so the last file's bytes do not depend on being last.
  startSegment("cannot finish the package");
  Check(a, archive_write_close(a), "cannot finish the package");
  gzip.Finish();
}

}  // namespace tessaline::release
