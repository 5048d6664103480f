#include "common/download_url.h"

#include <windows.h>
#include <winhttp.h>

#include "common/setup_error.h"

namespace tessaline {

CrackedUrl CrackDownloadUrl(const std::wstring& url) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) RaiseWindowsError("Invalid download URL");

  CrackedUrl cracked;
  cracked.host.assign(parts.lpszHostName != nullptr ? parts.lpszHostName : L"", parts.dwHostNameLength);
  cracked.path.assign(parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
  if (parts.dwExtraInfoLength > 0 && parts.lpszExtraInfo != nullptr) {
    cracked.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  }
  cracked.port = parts.nPort;
  cracked.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (!cracked.secure) throw SetupError("Setup downloads require HTTPS");
  return cracked;
}

}  // namespace tessaline
