#include "publish_inputs.h"

#include <cstring>
#include <system_error>

#include "common/setup_error.h"
#include "release_signing.h"
#include "trust/semantic_version.h"

namespace tessaline::release {
namespace {

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string Quoted(char c) { return std::string("'") + c + "'"; }

// Characters the version may not hold although the grammar lets them through
// after '+': Windows refuses them in file names, or a URL would not carry
// them verbatim.
constexpr const char* kVersionForbidden = "/\\:*?\"<>| #%[]^`{}";

bool IsUrlPathChar(char c) {
  return IsAsciiLetter(c) || IsAsciiDigit(c) || std::strchr("-._~!$&'()*+,;=:@/", c) != nullptr;
}

void CheckHost(std::string_view authority, std::string_view url) {
  const auto refuse = [&](const std::string& why) {
    throw ReleaseToolError("the package URL " + std::string(url) + " " + why);
  };
  if (authority.find('@') != std::string_view::npos) refuse("must not carry a user name");
  std::string_view host = authority;
  std::string_view port;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) refuse("has an unclosed '[' in its host");
    const std::string_view inside = host.substr(1, close - 1);
    for (const char c : inside) {
      if (!(IsAsciiDigit(c) || std::strchr("abcdefABCDEF:.", c) != nullptr)) refuse("has an invalid IPv6 host");
    }
    if (inside.empty()) refuse("has no host");
    const std::string_view after = host.substr(close + 1);
    if (!after.empty() && after.front() != ':') refuse("has characters after its IPv6 host");
    port = after.empty() ? after : after.substr(1);
    if (!after.empty() && port.empty()) refuse("has an empty port");
    host = host.substr(0, close + 1);
  } else {
    const std::size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
      port = host.substr(colon + 1);
      if (port.empty()) refuse("has an empty port");
      host = host.substr(0, colon);
    }
    if (host.empty()) refuse("has no host");
    for (const char c : host) {
      if (!(IsAsciiLetter(c) || IsAsciiDigit(c) || c == '-' || c == '.')) {
        refuse("has the character " + Quoted(c) + " in its host");
      }
    }
  }
  if (!port.empty()) {
    unsigned long value = 0;
    for (const char c : port) {
      if (!IsAsciiDigit(c) || port.size() > 5) refuse("has an invalid port");
      value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value == 0 || value > 65535) refuse("has an invalid port");
  }
}

}  // namespace

void CheckReleaseVersion(std::string_view version) {
  try {
    ParseSemanticVersion(version);
  } catch (const SetupError& e) {
    throw ReleaseToolError(std::string(e.what()) + " (Setup accepts MAJOR.MINOR.PATCH[-PRERELEASE][+BUILD])");
  }
  const std::string quoted = "the version " + std::string(version) +
                             " cannot name Setup's installer-cache folder and the package files: it ";
  for (const char c : version) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) throw ReleaseToolError(quoted + "holds a character outside printable ASCII");
    if (std::strchr(kVersionForbidden, c) != nullptr) throw ReleaseToolError(quoted + "holds " + Quoted(c));
  }
  if (version.find("..") != std::string_view::npos) throw ReleaseToolError(quoted + "holds \"..\"");
  // Windows drops a trailing dot from a folder name, so two versions would share one folder.
  if (version.back() == '.') throw ReleaseToolError(quoted + "ends in '.'");
}

std::uint64_t CheckSetupFile(const std::filesystem::path& setup) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(setup, error)) throw ReleaseToolError("no Setup file " + setup.string());
  const std::uint64_t size = std::filesystem::file_size(setup, error);
  if (error) throw ReleaseToolError("cannot read " + setup.string() + ": " + error.message());
  if (size == 0) throw ReleaseToolError("the Setup " + setup.string() + " is empty");
  if (size > kLargestSetupFile) {
    throw ReleaseToolError("the Setup " + setup.string() + " is " + std::to_string(size) +
                           " bytes; Setup downloads at most " + std::to_string(kLargestSetupFile) +
                           " bytes as a new Setup");
  }
  return size;
}

std::string PackageFileName(std::string_view version) {
  return "Tessaline-" + std::string(version) + "-windows-x64.tar.gz";
}

std::uint64_t ParsePartSize(std::string_view text) {
  const std::string shown(text);
  if (text.empty()) throw ReleaseToolError("the part size is empty: give a number of bytes");
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!IsAsciiDigit(c)) throw ReleaseToolError("the part size " + shown + " is not a number of bytes");
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kLargestVerifiableFile - digit) / 10) {
      throw ReleaseToolError("the part size " + shown + " is larger than " + std::to_string(kLargestVerifiableFile) +
                             " bytes, the most Setup can verify in one part");
    }
    value = value * 10 + digit;
  }
  if (value == 0) throw ReleaseToolError("the part size must be at least 1 byte");
  return value;
}

PackageBaseUrl ParsePackageBaseUrl(std::string_view text) {
  const std::string url(text);
  const auto refuse = [&](const std::string& why) { throw ReleaseToolError("the package URL " + url + " " + why); };
  constexpr std::string_view kScheme = "https://";
  bool https = text.size() >= kScheme.size();
  for (std::size_t i = 0; https && i < kScheme.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    https = c == kScheme[i];
  }
  if (!https) refuse("is not an absolute https:// URL (Setup downloads over HTTPS only)");
  const std::string_view rest = text.substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  for (const char c : authority) {
    if (c == '?' || c == '#') refuse("must not have a query or fragment: part URLs are this URL followed by the part name");
  }
  CheckHost(authority, text);
  if (text.back() != '/') refuse("must end in '/': part URLs are this URL followed by the part name");
  // slash exists here: the text ends in '/' and the authority holds none.
  const std::string_view path = rest.substr(slash + 1);
  for (const char c : path) {
    if (c == '?' || c == '#') refuse("must not have a query or fragment: part URLs are this URL followed by the part name");
    if (c == '%') refuse("must not hold percent escapes: its path is laid out as folder names as written");
    if (!IsUrlPathChar(c)) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte > 0x7E) refuse("holds a character outside printable ASCII");
      refuse("holds " + Quoted(c) + ", which a URL path cannot carry as it is");
    }
  }
  // Each segment becomes a folder of the site: no empty, "." or ".." ones.
  std::size_t start = 0;
  while (start < path.size()) {
    const std::size_t end = path.find('/', start);
    const std::string_view segment = path.substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") {
      refuse("has an empty, \".\" or \"..\" path segment");
    }
    start = end + 1;
  }
  PackageBaseUrl result;
  result.url = url;
  result.path = std::string(path.empty() ? path : path.substr(0, path.size() - 1));
  return result;
}

}  // namespace tessaline::release
