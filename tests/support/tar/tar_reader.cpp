#include "tar_reader.h"

#include <algorithm>
#include <array>
#include <vector>

#include "extract_error.h"

namespace tessaline::tar {
namespace {

constexpr std::size_t kBlock = 512;
// Extended headers are read into memory; nothing legitimate comes near these.
constexpr std::uint64_t kMaxPaxHeader = 1024 * 1024;
constexpr std::uint64_t kMaxLongName = 64 * 1024;

using Block = std::array<unsigned char, kBlock>;

// ustar header layout: offset and length of each field used here.
struct Field {
  std::size_t offset;
  std::size_t length;
};
constexpr Field kName{0, 100};
constexpr Field kSize{124, 12};
constexpr Field kModified{136, 12};
constexpr Field kChecksum{148, 8};
constexpr Field kTypeFlag{156, 1};
constexpr Field kLinkName{157, 100};
constexpr Field kMagic{257, 6};
constexpr Field kPrefix{345, 155};

std::string_view FieldText(const Block& block, Field field) {
  const auto* begin = reinterpret_cast<const char*>(block.data() + field.offset);
  const auto* end = std::find(begin, begin + field.length, '\0');
  return {begin, static_cast<std::size_t>(end - begin)};
}

// Octal digits, optionally led and followed by spaces or NULs; GNU's base-256
// form (first byte's high bit set) for values that do not fit.
std::optional<std::uint64_t> ParseNumber(const Block& block, Field field) {
  const unsigned char* p = block.data() + field.offset;
  if ((p[0] & 0x80) != 0) {
    if ((p[0] & 0x40) != 0) return std::nullopt;  // negative
    std::uint64_t value = p[0] & 0x3F;
    for (std::size_t i = 1; i < field.length; ++i) {
      if (value > (UINT64_MAX >> 8)) return std::nullopt;
      value = (value << 8) | p[i];
    }
    return value;
  }
  std::size_t i = 0;
  while (i < field.length && p[i] == ' ') ++i;
  std::uint64_t value = 0;
  bool digits = false;
  for (; i < field.length && p[i] >= '0' && p[i] <= '7'; ++i) {
    if (value > (UINT64_MAX >> 3)) return std::nullopt;
    value = (value << 3) | static_cast<std::uint64_t>(p[i] - '0');
    digits = true;
  }
  for (; i < field.length; ++i) {
    if (p[i] != ' ' && p[i] != '\0') return std::nullopt;
  }
  if (!digits) return std::nullopt;
  return value;
}

bool IsZeroBlock(const Block& block) {
  return std::all_of(block.begin(), block.end(), [](unsigned char c) { return c == 0; });
}

// The stored sum is over the header with its own field read as spaces. Some
// old writers summed signed chars; both are accepted, as other readers do.
bool ChecksumMatches(const Block& block) {
  const std::optional<std::uint64_t> stored = ParseNumber(block, kChecksum);
  if (!stored) return false;
  std::int64_t unsignedSum = 0;
  std::int64_t signedSum = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    const bool inField = i >= kChecksum.offset && i < kChecksum.offset + kChecksum.length;
    const unsigned char c = inField ? ' ' : block[i];
    unsignedSum += c;
    signedSum += static_cast<signed char>(c);
  }
  const auto value = static_cast<std::int64_t>(*stored);
  return value == unsignedSum || value == signedSum;
}

bool IsDecimal(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (!IsDecimal(text)) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Pax times are decimal seconds with an optional sign and fraction; the
// fraction is dropped.
std::optional<std::int64_t> ParsePaxTime(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  if (dot != std::string_view::npos && !IsDecimal(text.substr(dot + 1))) return std::nullopt;
  const std::optional<std::uint64_t> seconds = ParseDecimal(whole);
  if (!seconds || *seconds > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  const auto value = static_cast<std::int64_t>(*seconds);
  return negative ? -value : value;
}

EntryKind KindOf(char typeFlag, std::string_view name) {
  switch (typeFlag) {
    case '0':
    case '7':  // contiguous file: an ordinary file everywhere but one old system
      return EntryKind::File;
    case '\0':  // pre-POSIX: a trailing slash marked a folder
      return !name.empty() && name.back() == '/' ? EntryKind::Folder : EntryKind::File;
    case '5':
      return EntryKind::Folder;
    case '1':
      return EntryKind::HardLink;
    case '2':
      return EntryKind::SymbolicLink;
    default:
      return EntryKind::Other;
  }
}

}  // namespace

std::map<std::string, std::string> ParsePaxRecords(std::string_view data) {
  std::map<std::string, std::string> records;
  while (!data.empty()) {
    // Some writers pad the header's data with NULs.
    if (data.front() == '\0' && std::all_of(data.begin(), data.end(), [](char c) { return c == '\0'; })) break;
    const std::size_t space = data.find(' ');
    const std::optional<std::uint64_t> length =
        space == std::string_view::npos ? std::nullopt : ParseDecimal(data.substr(0, space));
    if (!length || *length <= space + 1 || *length > data.size() || data[*length - 1] != '\n') {
      throw ExtractError("the archive is damaged: a pax extended header is malformed");
    }
    const std::string_view record = data.substr(space + 1, *length - space - 2);
    const std::size_t equals = record.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      throw ExtractError("the archive is damaged: a pax extended header is malformed");
    }
    records[std::string(record.substr(0, equals))] = std::string(record.substr(equals + 1));
    data.remove_prefix(*length);
  }
  return records;
}

void TarReader::ReadExactly(std::span<unsigned char> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t got = input_.Read(out.subspan(done));
    if (got == 0) throw ExtractError("the archive is truncated: it ends inside an entry");
    done += got;
  }
}

void TarReader::SkipBytes(std::uint64_t count) {
  std::array<unsigned char, 16 * kBlock> sink{};
  while (count > 0) {
    const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(count, sink.size()));
    ReadExactly(std::span(sink).first(step));
    count -= step;
  }
}

std::string TarReader::ReadSmallData(std::uint64_t size, std::uint64_t limit, const char* what) {
  if (size > limit) throw ExtractError(std::string("the archive is damaged: its ") + what + " is implausibly large");
  std::string data(static_cast<std::size_t>(size), '\0');
  ReadExactly(std::span(reinterpret_cast<unsigned char*>(data.data()), data.size()));
  SkipBytes((kBlock - size % kBlock) % kBlock);
  return data;
}

std::size_t TarReader::ReadData(std::span<unsigned char> out) {
  const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, out.size()));
  if (step == 0) return 0;
  ReadExactly(out.first(step));
  remaining_ -= step;
  return step;
}

std::optional<TarEntry> TarReader::Next() {
  SkipBytes(remaining_ + padding_);
  remaining_ = 0;
  padding_ = 0;

  std::map<std::string, std::string> pax;
  std::optional<std::string> longName;
  std::optional<std::string> longLinkName;
  for (;;) {
    Block block{};
    const std::size_t first = input_.Read(block);
    if (first == 0) throw ExtractError("the archive is truncated: its end-of-archive marker is missing");
    ReadExactly(std::span(block).subspan(first));
    // One zero block ends the archive; the second and any record padding
    // after it carry nothing, so they are not required.
    if (IsZeroBlock(block)) return std::nullopt;
    ++entryNumber_;
    if (!ChecksumMatches(block)) {
      throw ExtractError("the archive is damaged: the header of entry " + std::to_string(entryNumber_) +
                         " fails its checksum");
    }
    const std::optional<std::uint64_t> headerSize = ParseNumber(block, kSize);
    if (!headerSize) {
      throw ExtractError("the archive is damaged: the header of entry " + std::to_string(entryNumber_) +
                         " has an invalid size");
    }
    const char typeFlag = static_cast<char>(block[kTypeFlag.offset]);

    switch (typeFlag) {
      case 'x':
        for (auto& [key, value] : ParsePaxRecords(ReadSmallData(*headerSize, kMaxPaxHeader, "pax header"))) {
          pax[key] = value;
        }
        continue;
      case 'g':
        // Global defaults (for example a comment) name no file; checked for
        // damage and otherwise ignored.
        ParsePaxRecords(ReadSmallData(*headerSize, kMaxPaxHeader, "pax global header"));
        continue;
      case 'L': {
        std::string name = ReadSmallData(*headerSize, kMaxLongName, "long name");
        name.erase(std::find(name.begin(), name.end(), '\0'), name.end());
        longName = std::move(name);
        continue;
      }
      case 'K': {
        std::string name = ReadSmallData(*headerSize, kMaxLongName, "long link name");
        name.erase(std::find(name.begin(), name.end(), '\0'), name.end());
        longLinkName = std::move(name);
        continue;
      }
      default:
        break;
    }

    for (const auto& [key, value] : pax) {
      if (key.starts_with("GNU.sparse.")) {
        throw ExtractError("entry " + std::to_string(entryNumber_) + " is a sparse file, which is not supported");
      }
    }

    TarEntry entry;
    entry.typeFlag = typeFlag;
    if (const auto it = pax.find("path"); it != pax.end() && !it->second.empty()) {
      entry.name = it->second;
    } else if (longName) {
      entry.name = *longName;
    } else {
      entry.name = std::string(FieldText(block, kName));
      // Only POSIX ustar has the prefix field; GNU headers use those bytes
      // for other things.
      const std::string_view prefix = FieldText(block, kPrefix);
      if (std::string_view(reinterpret_cast<const char*>(block.data() + kMagic.offset), kMagic.length) ==
              std::string_view("ustar\0", 6) &&
          !prefix.empty()) {
        entry.name = std::string(prefix) + "/" + entry.name;
      }
    }
    if (const auto it = pax.find("linkpath"); it != pax.end() && !it->second.empty()) {
      entry.linkName = it->second;
    } else if (longLinkName) {
      entry.linkName = *longLinkName;
    } else {
      entry.linkName = std::string(FieldText(block, kLinkName));
    }
    entry.size = *headerSize;
    if (const auto it = pax.find("size"); it != pax.end()) {
      const std::optional<std::uint64_t> size = ParseDecimal(it->second);
      if (!size) throw ExtractError("the archive is damaged: a pax size is not a number");
      entry.size = *size;
    }
    if (const auto it = pax.find("mtime"); it != pax.end()) {
      entry.modified = ParsePaxTime(it->second);
    } else if (const std::optional<std::uint64_t> modified = ParseNumber(block, kModified);
               modified && *modified <= static_cast<std::uint64_t>(INT64_MAX)) {
      entry.modified = static_cast<std::int64_t>(*modified);
    }
    entry.kind = KindOf(typeFlag, entry.name);

    // Link and device headers carry no data whatever their size field says.
    const bool hasData = entry.kind == EntryKind::File || entry.kind == EntryKind::Folder ||
                         entry.kind == EntryKind::Other;
    remaining_ = hasData ? entry.size : 0;
    padding_ = (kBlock - remaining_ % kBlock) % kBlock;
    return entry;
  }
}

}  // namespace tessaline::tar
