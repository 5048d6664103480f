// Setup's HTTPS: one WinHTTP session per exchange, its user agent and
// time-outs, and the in-memory GET used for the release service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace tessaline {

inline constexpr wchar_t kUserAgent[] = L"TessalineSetup/0.1";

// A new session with automatic proxy and 30-second time-outs. Raises
// "Unable to initialize HTTPS" with the Windows error suffix.
UniqueInternet OpenHttpsSession();

struct CrackedUrl;

// The three handles of one exchange; members close in reverse order:
// request, connection, session.
struct HttpsExchange {
  UniqueInternet session;
  UniqueInternet connection;
  UniqueInternet request;
};

// A new session, a connection to the URL's host and port, and a GET request
// for its path with the secure flag. A missing connection or request raises
// `failure` with the Windows error suffix.
HttpsExchange OpenGetRequest(const CrackedUrl& url, const char* failure);

// Replaces the exchange's request with a new GET on the same connection, so
// that requests in turn to one host share its TLS session.
void OpenNextGetRequest(HttpsExchange& exchange, const CrackedUrl& url, const char* failure);

// The whole body of a GET, of at most `limit` bytes: a longer announced
// length is refused before the body is read, and a body that passes the limit
// as soon as it does, with `oversize` as the text. Any failure raises, and no
// partial body survives.
std::vector<std::uint8_t> FetchToMemory(const std::wstring& url, std::size_t limit, const char* oversize);

// The status code of a received response, or 0 when it cannot be read.
DWORD QueryStatusCode(HINTERNET request);

// The announced Content-Length, or nothing when the response has none. A
// length that is not a decimal number, or too large for 64 bits, counts as
// the largest: no limit accepts it.
std::optional<std::uint64_t> QueryContentLength(HINTERNET request);

// A Content-Range "bytes <first>-<last>/<total>", whose total may be '*'
// (unknown), or nothing when the response has none or it does not read so.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::uint64_t> total;  // nothing for '*'
};
std::optional<ContentRange> QueryContentRange(HINTERNET request);

// Whether a 206 answer's Content-Range is exactly bytes first-last of a file
// of `size` bytes; a total of '*' is accepted, any other must be `size`.
bool AnswersRange(HINTERNET request, std::uint64_t first, std::uint64_t last, std::uint64_t size);

}  // namespace tessaline
