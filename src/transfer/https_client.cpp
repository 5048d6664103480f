#include "https_client.h"

#include <windows.h>
#include <winhttp.h>

#include "download_url.h"
#include "setup_error.h"

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

HttpsExchange OpenGetRequest(const CrackedUrl& url, const char* failure) {
  HttpsExchange exchange;
  exchange.session = OpenHttpsSession();
  exchange.connection.Reset(WinHttpConnect(exchange.session.Get(), url.host.c_str(), url.port, 0));
  if (!exchange.connection) RaiseWindowsError(failure);
  exchange.request.Reset(WinHttpOpenRequest(exchange.connection.Get(), L"GET", url.path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!exchange.request) RaiseWindowsError(failure);
  return exchange;
}

std::vector<std::uint8_t> FetchToMemory(const std::wstring& url) {
  const HttpsExchange exchange = OpenGetRequest(CrackDownloadUrl(url), "HTTPS request failed");
  const HINTERNET request = exchange.request.Get();
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request, nullptr)) {
    RaiseWindowsError("HTTPS request failed");
  }
  const DWORD status = QueryStatusCode(request);
  if (status < 200 || status > 299) throw SetupError("Release service returned HTTP " + std::to_string(status));

  std::vector<std::uint8_t> body;
  std::vector<std::uint8_t> buffer(65536);
  while (true) {
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
      RaiseWindowsError("HTTPS response failed");
    }
    if (read == 0) break;
    body.insert(body.end(), buffer.begin(), buffer.begin() + read);
  }
  return body;
}

}  // namespace tessaline
