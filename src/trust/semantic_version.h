// Release version texts: MAJOR.MINOR.PATCH, an optional prerelease after '-',
// optional build metadata after '+' that never takes part in precedence.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

struct SemanticVersion {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t patch = 0;
  std::vector<std::string> prerelease;  // empty for a release version
};

// Raises SetupError "Invalid Tessaline semantic version: <text>" on any
// violation of the grammar.
SemanticVersion ParseSemanticVersion(std::string_view text);

// -1, 0 or +1 as `a` has lower, equal or higher precedence than `b`.
int CompareSemanticVersions(std::string_view a, std::string_view b);

}  // namespace tessaline
