// What verify says of a manifest whose signature it accepted: the members
// that Setups newer than the manifest's first readers act on, each checked as
// publish writes it.
#pragma once

#include <string>

#include "release_signing.h"

namespace tessaline::release {

struct ManifestSummary {
  std::string text;     // one "name: value" line per member, for stdout
  std::string problem;  // empty when every member is well formed, else a sentence for the maker
};

ManifestSummary SummariseManifest(const Bytes& manifest);

}  // namespace tessaline::release
