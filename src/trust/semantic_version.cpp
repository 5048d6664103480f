#include "trust/semantic_version.h"

#include <algorithm>
#include <limits>

#include "common/setup_error.h"

namespace tessaline {
namespace {

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool IsIdentifierChar(char c) {
  return IsAsciiDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
}

bool AllDigits(std::string_view text) { return std::all_of(text.begin(), text.end(), IsAsciiDigit); }

// A numeric component: non-empty, ASCII digits, no leading zero, fits 64 bits.
bool ParseComponent(std::string_view text, std::uint64_t& value) {
  if (text.empty() || !AllDigits(text)) return false;
  if (text.size() > 1 && text.front() == '0') return false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  value = 0;
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

int CompareIdentifiers(const std::string& a, const std::string& b) {
  const bool aNumeric = AllDigits(a);
  const bool bNumeric = AllDigits(b);
  if (aNumeric && bNumeric) {
    // Leading zeros are allowed in prerelease identifiers, so compare values;
    // an identifier beyond 64 bits fails here with std::out_of_range.
    const unsigned long long x = std::stoull(a);
    const unsigned long long y = std::stoull(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (aNumeric) return -1;
  if (bNumeric) return 1;
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

SemanticVersion ParseSemanticVersion(std::string_view text) {
  const auto invalid = [&]() { return SetupError("Invalid Tessaline semantic version: " + std::string(text)); };

  const std::string_view core = text.substr(0, text.find('+'));
  const std::size_t dash = core.find('-');
  const std::string_view numeric = core.substr(0, dash);

  SemanticVersion version;
  std::uint64_t* const components[] = {&version.major, &version.minor, &version.patch};
  std::size_t position = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t dot = numeric.find('.', position);
    const std::string_view component = numeric.substr(position, dot == std::string_view::npos ? dot : dot - position);
    if (!ParseComponent(component, *components[i])) throw invalid();
    if (i < 2) {
      if (dot == std::string_view::npos) throw invalid();
      position = dot + 1;
    } else if (dot != std::string_view::npos) {
      throw invalid();
    }
  }

  if (dash != std::string_view::npos) {
    const std::string_view rest = core.substr(dash + 1);
    std::size_t start = 0;
    while (true) {
      const std::size_t dot = rest.find('.', start);
      const std::string_view identifier = rest.substr(start, dot == std::string_view::npos ? dot : dot - start);
      if (identifier.empty() || !std::all_of(identifier.begin(), identifier.end(), IsIdentifierChar)) throw invalid();
      version.prerelease.emplace_back(identifier);
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
  }
  return version;
}

int CompareSemanticVersions(std::string_view a, std::string_view b) {
  const SemanticVersion x = ParseSemanticVersion(a);
  const SemanticVersion y = ParseSemanticVersion(b);
  if (x.major != y.major) return x.major < y.major ? -1 : 1;
  if (x.minor != y.minor) return x.minor < y.minor ? -1 : 1;
  if (x.patch != y.patch) return x.patch < y.patch ? -1 : 1;
  if (x.prerelease.empty() != y.prerelease.empty()) return x.prerelease.empty() ? 1 : -1;
  const std::size_t shared = std::min(x.prerelease.size(), y.prerelease.size());
  for (std::size_t i = 0; i < shared; ++i) {
    const int c = CompareIdentifiers(x.prerelease[i], y.prerelease[i]);
    if (c != 0) return c;
  }
  if (x.prerelease.size() == y.prerelease.size()) return 0;
  return x.prerelease.size() < y.prerelease.size() ? -1 : 1;
}

}  // namespace tessaline
