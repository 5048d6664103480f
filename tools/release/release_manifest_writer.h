// The release manifest as publish writes it: UTF-8 JSON, keys in a fixed
// order, pretty-printed with a final newline. These bytes are what is signed
// and served.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "package_parts.h"

namespace tessaline::release {

struct ReleaseManifestFields {
  std::string version;
  std::string filename;
  std::string packageBaseUrl;  // ends in '/'; each part's and the chunk map's URL is this + its name
  SplitPackage package;
  std::optional<PackagePartFile> setup;  // TessalineSetup.exe beside the parts, URL formed as theirs
  std::uint64_t sequence = 0;
  std::optional<std::string> expires;  // RFC 3339 UTC, to the second
};

std::string ReleaseManifestText(const ReleaseManifestFields& fields);

}  // namespace tessaline::release
