#include "site_rules.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> ParseDecimal(std::string_view s) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

SiteResponse TextResponse(unsigned status, std::string text) {
  SiteResponse response;
  response.head.result(status);
  response.head.set(http::field::content_type, "text/plain; charset=utf-8");
  response.text = std::move(text);
  return response;
}

BodyReader::BodyReader(const SiteResponse& response) : response_(response) {}

std::size_t BodyReader::Read(std::span<char> into) {
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), response_.BodyLength() - position_));
  std::size_t got = 0;
  if (!response_.file) {
    std::memcpy(into.data(), response_.text.data() + position_, wanted);
    got = wanted;
  }
  while (got < wanted) {
    const FileSlice& slice = *response_.file;
    const ssize_t read = ::pread(slice.file->Get(), into.data() + got, wanted - got,
                                 static_cast<off_t>(slice.offset + position_ + got));
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) {
      throw std::runtime_error("cannot read " + slice.path.string() + ": " +
                               (read < 0 ? std::strerror(errno) : "the file is shorter than it was"));
    }
    got += static_cast<std::size_t>(read);
  }
  position_ += got;
  return got;
}

ByteRange ParseRangeHeader(std::string_view value, std::uint64_t size) {
  const ByteRange whole;
  const ByteRange unsatisfiable{ByteRange::Kind::Unsatisfiable, 0, 0};
  constexpr std::string_view kUnit = "bytes=";
  value = Trim(value);
  if (!StartsWithIgnoringCase(value, kUnit)) return whole;
  const std::string_view rangeSet = Trim(value.substr(kUnit.size()));
  const std::size_t dash = rangeSet.find('-');
  if (rangeSet.find(',') != std::string_view::npos || dash == std::string_view::npos) return whole;
  const std::string_view firstText = Trim(rangeSet.substr(0, dash));
  const std::string_view lastText = Trim(rangeSet.substr(dash + 1));

  if (firstText.empty()) {  // "-N": the last N bytes
    const auto suffix = ParseDecimal(lastText);
    if (!suffix) return whole;
    if (*suffix == 0 || size == 0) return unsatisfiable;
    const std::uint64_t length = std::min(*suffix, size);
    return {ByteRange::Kind::Part, size - length, length};
  }
  const auto first = ParseDecimal(firstText);
  if (!first) return whole;
  std::optional<std::uint64_t> last;
  if (!lastText.empty()) {
    last = ParseDecimal(lastText);
    if (!last || *last < *first) return whole;
  }
  if (*first >= size) return unsatisfiable;
  const std::uint64_t end = last ? std::min(*last, size - 1) : size - 1;
  return {ByteRange::Kind::Part, *first, end - *first + 1};
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

SitePath ResolveSitePath(const fs::path& root, std::string_view urlPath) {
  const SitePath malformed{SitePath::Kind::Malformed, {}};
  const SitePath missing{SitePath::Kind::Missing, {}};
  if (urlPath.empty() || urlPath.front() != '/') return malformed;

  const std::optional<std::string> unescaped = PercentDecode(urlPath);
  if (!unescaped) return malformed;
  const std::string& decoded = *unescaped;
  if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos) return malformed;

  fs::path relative;
  std::size_t start = 1;
  while (start <= decoded.size()) {
    const std::size_t end = std::min(decoded.find('/', start), decoded.size());
    const std::string segment = decoded.substr(start, end - start);
    if (segment == "." || segment == "..") return malformed;
    if (!segment.empty()) relative /= segment;
    start = end + 1;
  }
  if (relative.empty()) return missing;  // no folder listings

  std::error_code error;
  const fs::path canonicalRoot = fs::canonical(root, error);
  if (error) return missing;
  const fs::path resolved = fs::canonical(canonicalRoot / relative, error);
  if (error) return missing;
  // Symbolic links may point anywhere inside the root, never out of it.
  const auto rootEnd =
      std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), resolved.begin(), resolved.end()).first;
  if (rootEnd != canonicalRoot.end()) return {SitePath::Kind::Outside, {}};
  if (!fs::is_regular_file(resolved, error)) return missing;
  return {SitePath::Kind::File, resolved};
}

SiteResponse ServeSiteFile(const fs::path& root, std::string_view urlPath, const http::fields& request,
                           bool honourRange) {
  const SitePath site = ResolveSitePath(root, urlPath);
  switch (site.kind) {
    case SitePath::Kind::Malformed: return TextResponse(400, "Malformed path\n");
    case SitePath::Kind::Outside: return TextResponse(403, "Outside the site\n");
    case SitePath::Kind::Missing: return TextResponse(404, "Not found\n");
    case SitePath::Kind::File: break;
  }
  // Opened and measured before anything is answered: a file that cannot be
  // read is a 500 while no head has gone out, and the length announced is
  // that of the file the bytes come from, even if the path is replaced
  // meanwhile. O_NONBLOCK: a FIFO put in the file's place must not hold the
  // server.
  auto file = std::make_shared<const FileDescriptor>(::open(site.file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (file->Get() < 0 || ::fstat(file->Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return TextResponse(500, "Cannot read the file\n");
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);

  const bool rangeHolds = honourRange && request.find(http::field::if_range) == request.end();
  const ByteRange range = rangeHolds ? ParseRangeHeader(request[http::field::range], size) : ByteRange{};
  if (range.kind == ByteRange::Kind::Unsatisfiable) {
    SiteResponse refused = TextResponse(416, "Range not satisfiable\n");
    refused.head.set(http::field::content_range, "bytes */" + std::to_string(size));
    return refused;
  }
  SiteResponse response;
  response.head.set(http::field::content_type,
                    site.file.filename() == "manifest" ? "application/json" : "application/octet-stream");
  response.head.set(http::field::accept_ranges, "bytes");
  if (range.kind == ByteRange::Kind::Part) {
    response.head.result(http::status::partial_content);
    response.head.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" +
                                                      std::to_string(range.first + range.length - 1) + "/" +
                                                      std::to_string(size));
    response.file = FileSlice{site.file, std::move(file), range.first, range.length};
  } else {
    response.file = FileSlice{site.file, std::move(file), 0, size};
  }
  return response;
}

}  // namespace tessaline::release
