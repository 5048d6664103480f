// What verify says of a manifest whose signature it accepted: the members
// that newer Setups act on (the sequence, the expiry, the Setup to update
// to), each checked as publish writes it.
#pragma once

#include <cstdint>
#include <string>

#include "release_signing.h"

namespace tessaline::release {

struct ManifestSummary {
  std::string text;     // one "name: value" line per member, for stdout
  std::string problem;  // empty when every member is well formed, else a sentence for the maker
};

// `now` in seconds since 1970: a manifest expired by then is a problem.
ManifestSummary SummariseManifest(const Bytes& manifest, std::uint64_t now);

}  // namespace tessaline::release
