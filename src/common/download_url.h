// The rule that turns a download address into connection data and refuses
// anything but HTTPS. Shared by the manifest checks and the HTTPS client.
#pragma once

#include <cstdint>
#include <string>

namespace tessaline {

struct CrackedUrl {
  std::wstring host;  // exactly as written in the URL
  std::wstring path;  // the URL path followed by its query and anything after it
  std::uint16_t port = 0;
  bool secure = false;
};

// Raises "Invalid download URL" with the Windows error suffix when the text
// cannot be split, and "Setup downloads require HTTPS" for any other scheme.
CrackedUrl CrackDownloadUrl(const std::wstring& url);

}  // namespace tessaline
