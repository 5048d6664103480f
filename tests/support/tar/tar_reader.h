// The entries of a POSIX tar stream (ustar, pax extended headers, GNU long
// names), one at a time, with the extended headers folded into the entry
// they describe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "gzip_input.h"

namespace tessaline::tar {

enum class EntryKind { File, Folder, HardLink, SymbolicLink, Other };

struct TarEntry {
  std::string name;  // as stored: UTF-8, '/' separated
  EntryKind kind = EntryKind::Other;
  char typeFlag = '0';
  std::uint64_t size = 0;
  std::optional<std::int64_t> modified;  // seconds since 1970
  std::string linkName;
};

// Pax "length key=value\n" records; raises ExtractError on malformed input.
std::map<std::string, std::string> ParsePaxRecords(std::string_view data);

class TarReader {
 public:
  explicit TarReader(GzipInput& input) : input_(input) {}

  // The next entry, or nullopt at the end-of-archive marker. Skips whatever
  // of the previous entry's data was not read.
  std::optional<TarEntry> Next();

  // Up to out.size() bytes of the current entry's data; 0 when it is all read.
  std::size_t ReadData(std::span<unsigned char> out);

  std::uint64_t EntryNumber() const { return entryNumber_; }

 private:
  void ReadExactly(std::span<unsigned char> out);
  void SkipBytes(std::uint64_t count);
  std::string ReadSmallData(std::uint64_t size, std::uint64_t limit, const char* what);

  GzipInput& input_;
  std::uint64_t remaining_ = 0;  // data bytes of the current entry not yet read
  std::uint64_t padding_ = 0;    // zero bytes up to the next 512-byte block
  std::uint64_t entryNumber_ = 0;
};

}  // namespace tessaline::tar
