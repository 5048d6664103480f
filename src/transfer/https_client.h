// Setup's HTTPS: one WinHTTP session per exchange, its user agent and
// time-outs, and the in-memory GET used for the release service.
#pragma once

#include <atomic>
#include <chrono>
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

// How long a whole exchange with the release service may take: its answers
// are small (a manifest of at most 1 MiB, a signature of 64 bytes), so a
// minute leaves room for a slow or busy link, yet bounds a server that sends
// a byte now and then, which WinHTTP's per-receive time-outs never end.
inline constexpr std::chrono::seconds kServiceExchangeDeadline{60};

// What bounds one exchange: its deadline, and a cancel that ends it at once.
struct ExchangeBounds {
  std::chrono::milliseconds deadline = kServiceExchangeDeadline;
  const std::atomic<bool>* cancel = nullptr;
  const char* timeout = "The Quorvant release service did not answer in time";  // the failure at the deadline
};

// The whole body of a GET, of at most `limit` bytes: a longer announced
// length is refused before the body is read, and a body that passes the limit
// as soon as it does, with `oversize` as the text. Any failure raises, and no
// partial body survives. The exchange ends at `bounds`' deadline with its
// text, and at a cancel with "Installation cancelled".
std::vector<std::uint8_t> FetchToMemory(const std::wstring& url, std::size_t limit, const char* oversize,
                                        const ExchangeBounds& bounds = {});

// A part's download may be slow, but not stalled: an attempt that receives
// less than this in any minute ends as a failed attempt, which the next one
// resumes. A kilobyte a minute is far below any link worth downloading over,
// and far above a server that sends a byte now and then to hold Setup.
inline constexpr std::uint64_t kMinimumProgressBytes = 1024;
inline constexpr std::chrono::seconds kProgressWindow{60};

// Counts what an attempt receives; raises "Package download stalled" once a
// whole window has passed with less than the minimum.
class StallWatch {
 public:
  using Clock = std::chrono::steady_clock;
  explicit StallWatch(Clock::time_point start = Clock::now());
  void Received(std::uint64_t bytes, Clock::time_point now = Clock::now());

 private:
  Clock::time_point windowStart_;
  std::uint64_t windowBytes_ = 0;
};

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
