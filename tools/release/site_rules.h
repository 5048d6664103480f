// The rules of a static release site, apart from any connection: which file
// a URL path names, which part of it a Range header asks for, and the answer
// that makes of it. `serve` and the test bench's server share them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <boost/beast/http/message.hpp>

#include "file_descriptor.h"

namespace tessaline::release {

namespace http = boost::beast::http;

struct FileSlice {
  std::filesystem::path path;
  // Open before the answer's head goes out; read by position, so copies of
  // the answer never disturb one another.
  std::shared_ptr<const FileDescriptor> file;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// An answer before it is sent: status and fields (Content-Length and
// Connection are the server's to add), and a body that is either `text` or
// a slice of a file, read from disk as it goes out.
struct SiteResponse {
  http::response_header<> head;
  std::string text;
  std::optional<FileSlice> file;

  std::uint64_t BodyLength() const { return file ? file->length : text.size(); }
};

SiteResponse TextResponse(unsigned status, std::string text);

// Reads a response's body in order, a piece at a time.
class BodyReader {
 public:
  explicit BodyReader(const SiteResponse& response);
  // Fills `into` from the body, up to its end; returns the bytes read, fewer
  // only at the end. Throws when the file cannot be read, or has shrunk.
  std::size_t Read(std::span<char> into);

 private:
  const SiteResponse& response_;
  std::uint64_t position_ = 0;
};

// The Range header of a request measured against a file of `size` bytes.
// Only single ranges are honoured; anything else is ignored, which HTTP
// allows, and the whole file is served.
struct ByteRange {
  enum class Kind { Whole, Part, Unsatisfiable };
  Kind kind = Kind::Whole;
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};
ByteRange ParseRangeHeader(std::string_view value, std::uint64_t size);

// Undoes %XX escapes; nullopt for a '%' without two hexadecimal digits.
std::optional<std::string> PercentDecode(std::string_view text);

// Maps a URL path (still percent-encoded) to a regular file under `root`.
// Dot segments, backslashes, NUL and bad escapes are malformed; a path that
// resolves, through symbolic links, outside the root is refused.
struct SitePath {
  enum class Kind { File, Malformed, Outside, Missing };
  Kind kind = Kind::Missing;
  std::filesystem::path file;
};
SitePath ResolveSitePath(const std::filesystem::path& root, std::string_view urlPath);

// The answer of a static site to GET or HEAD of `urlPath`: the file, the
// part of it that the request's Range names, 416 for a range beyond its end,
// or an error status: 500 for a file it cannot open. The site sends no validator (no ETag, no
// Last-Modified), so no If-Range can vouch for the bytes a client already
// has: under one the range is not honoured and the whole file goes out,
// never a piece of another file spliced onto them. `honourRange` false
// serves the whole file whatever the request.
SiteResponse ServeSiteFile(const std::filesystem::path& root, std::string_view urlPath, const http::fields& request,
                           bool honourRange = true);

}  // namespace tessaline::release
