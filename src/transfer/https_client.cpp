#include "transfer/https_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include <limits>
#include <string_view>

#include "common/download_url.h"
#include "common/setup_error.h"

namespace tessaline {

UniqueInternet OpenHttpsSession() {
  UniqueInternet session(
      WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) RaiseWindowsError("Unable to initialize HTTPS");
  WinHttpSetTimeouts(session.Get(), 30000, 30000, 30000, 30000);
  return session;
}

DWORD QueryStatusCode(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  return status;
}

namespace {

// A response header as text, or nothing when the response has none.
std::optional<std::wstring> QueryHeaderText(HINTERNET request, DWORD header) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::nullopt;
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  text.resize(size / sizeof(wchar_t));
  return text;
}

// Consumes the decimal digits at the start of `text`; nothing when there are
// none or they pass 64 bits.
std::optional<std::uint64_t> TakeDecimal(std::wstring_view& text) {
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; digits < text.size() && text[digits] >= L'0' && text[digits] <= L'9'; ++digits) {
    const auto digit = static_cast<std::uint64_t>(text[digits] - L'0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (digits == 0) return std::nullopt;
  text.remove_prefix(digits);
  return value;
}

}  // namespace

std::optional<std::uint64_t> QueryContentLength(HINTERNET request) {
  const std::optional<std::wstring> text = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
  if (!text) return std::nullopt;
  std::wstring_view rest = *text;
  const std::optional<std::uint64_t> length = TakeDecimal(rest);
  if (!length || !rest.empty()) return std::numeric_limits<std::uint64_t>::max();
  return length;
}

std::optional<ContentRange> QueryContentRange(HINTERNET request) {
  const std::optional<std::wstring> header = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE);
  constexpr std::wstring_view kUnit = L"bytes ";
  if (!header || header->compare(0, kUnit.size(), kUnit) != 0) return std::nullopt;
  std::wstring_view text = std::wstring_view(*header).substr(kUnit.size());
  const std::optional<std::uint64_t> first = TakeDecimal(text);
  if (!first || text.empty() || text.front() != L'-') return std::nullopt;
  text.remove_prefix(1);
  const std::optional<std::uint64_t> last = TakeDecimal(text);
  if (!last || *last < *first || text.empty() || text.front() != L'/') return std::nullopt;
  text.remove_prefix(1);
  if (text == L"*") return ContentRange{*first, *last, std::nullopt};
  const std::optional<std::uint64_t> total = TakeDecimal(text);
  if (!total || !text.empty()) return std::nullopt;
  return ContentRange{*first, *last, total};
}

bool AnswersRange(HINTERNET request, std::uint64_t first, std::uint64_t last, std::uint64_t size) {
  const std::optional<ContentRange> range = QueryContentRange(request);
  return range && range->first == first && range->last == last && (!range->total || *range->total == size);
}

StallWatch::StallWatch(Clock::time_point start) : windowStart_(start) {}

void StallWatch::Received(std::uint64_t bytes, Clock::time_point now) {
  windowBytes_ += bytes;
  if (now - windowStart_ < kProgressWindow) return;
  if (windowBytes_ < kMinimumProgressBytes) throw SetupError("Package download stalled");
  windowStart_ = now;
  windowBytes_ = 0;
}

HttpsExchange OpenGetRequest(const CrackedUrl& url, const char* failure) {
  HttpsExchange exchange;
  exchange.session = OpenHttpsSession();
  exchange.connection.Reset(WinHttpConnect(exchange.session.Get(), url.host.c_str(), url.port, 0));
  if (!exchange.connection) RaiseWindowsError(failure);
  OpenNextGetRequest(exchange, url, failure);
  return exchange;
}

void OpenNextGetRequest(HttpsExchange& exchange, const CrackedUrl& url, const char* failure) {
  exchange.request.Reset(WinHttpOpenRequest(exchange.connection.Get(), L"GET", url.path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!exchange.request) RaiseWindowsError(failure);
}

namespace {

// One fetch, shared between the thread that makes it and the one waiting for
// its result, which may stop waiting first.
struct SharedFetch {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::atomic<bool> abandoned{false};
  std::vector<std::uint8_t> body;
  std::exception_ptr failure;
};

std::vector<std::uint8_t> FetchNow(const std::wstring& url, std::size_t limit, const char* oversize,
                                   const std::atomic<bool>& abandoned) {
  const HttpsExchange exchange = OpenGetRequest(CrackDownloadUrl(url), "HTTPS request failed");
  const HINTERNET request = exchange.request.Get();
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request, nullptr)) {
    RaiseWindowsError("HTTPS request failed");
  }
  const DWORD status = QueryStatusCode(request);
  if (status < 200 || status > 299) throw SetupError("Release service returned HTTP " + std::to_string(status));
  const std::optional<std::uint64_t> announced = QueryContentLength(request);
  if (announced && *announced > limit) throw SetupError(oversize);

  std::vector<std::uint8_t> body;
  std::vector<std::uint8_t> buffer(65536);
  while (!abandoned.load()) {
    // Only what has arrived is read, so that a fetch given up on stops at
    // the next byte a trickling server sends: a read of more may wait for
    // all of it.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) RaiseWindowsError("HTTPS response failed");
    if (available == 0) break;
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), std::min(available, static_cast<DWORD>(buffer.size())), &read)) {
      RaiseWindowsError("HTTPS response failed");
    }
    if (read == 0) break;
    if (read > limit - body.size()) throw SetupError(oversize);
    body.insert(body.end(), buffer.begin(), buffer.begin() + read);
  }
  return body;
}

// Fetches given up on, still ending: each stops at its next read, or at
// WinHTTP's receive time-out. They are joined when the process ends, never
// left to run into its teardown.
class AbandonedFetches {
 public:
  ~AbandonedFetches() {
    for (std::thread& fetch : threads_) fetch.join();
  }
  void Keep(std::thread fetch) {
    const std::lock_guard<std::mutex> lock(mutex_);
    threads_.push_back(std::move(fetch));
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

AbandonedFetches& Abandoned() {
  static AbandonedFetches fetches;
  return fetches;
}

}  // namespace

std::vector<std::uint8_t> FetchToMemory(const std::wstring& url, std::size_t limit, const char* oversize,
                                        const ExchangeBounds& bounds) {
  // WinHTTP bounds each receive, not an exchange: a server that sends a byte
  // now and then holds a fetch for ever. The fetch runs on a thread of its
  // own, and the caller stops waiting at the deadline or a cancel; nothing of
  // what that thread fetched is used then.
  AbandonedFetches& abandoned = Abandoned();  // made before the first fetch, so gone after the last
  const auto shared = std::make_shared<SharedFetch>();
  std::thread fetch([shared, url, limit, oversize] {
    std::vector<std::uint8_t> body;
    std::exception_ptr failure;
    try {
      body = FetchNow(url, limit, oversize, shared->abandoned);
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(shared->mutex);
    shared->body = std::move(body);
    shared->failure = failure;
    shared->done = true;
    shared->finished.notify_all();
  });

  constexpr auto kCancelCheck = std::chrono::milliseconds(50);
  const auto deadline = std::chrono::steady_clock::now() + bounds.deadline;
  const char* givenUp = nullptr;
  {
    std::unique_lock<std::mutex> lock(shared->mutex);
    while (!shared->done && givenUp == nullptr) {
      if (bounds.cancel != nullptr && bounds.cancel->load()) {
        givenUp = "Installation cancelled";
      } else if (std::chrono::steady_clock::now() >= deadline) {
        givenUp = bounds.timeout;
      } else {
        shared->finished.wait_for(lock, kCancelCheck);
      }
    }
  }
  if (givenUp != nullptr) {
    shared->abandoned = true;
    abandoned.Keep(std::move(fetch));
    throw SetupError(givenUp);
  }
  fetch.join();
  if (shared->failure) std::rethrow_exception(shared->failure);
  return std::move(shared->body);
}

}  // namespace tessaline
