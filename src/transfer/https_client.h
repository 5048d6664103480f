// Setup's HTTPS: one WinHTTP session per exchange, its user agent and
// time-outs, and the in-memory GET used for the release service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unique_handle.h"

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

// The whole body of a GET; any failure raises, and no partial body survives.
std::vector<std::uint8_t> FetchToMemory(const std::wstring& url);

// The status code of a received response, or 0 when it cannot be read.
DWORD QueryStatusCode(HINTERNET request);

}  // namespace tessaline
