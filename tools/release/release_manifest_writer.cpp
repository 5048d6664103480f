#include "release_manifest_writer.h"

#include <nlohmann/json.hpp>

namespace tessaline::release {

std::string ReleaseManifestText(const ReleaseManifestFields& fields) {
  using Json = nlohmann::ordered_json;
  Json parts = Json::array();
  for (const PackagePartFile& part : fields.package.parts) {
    parts.push_back({{"name", part.name},
                     {"size", part.size},
                     {"sha256", part.sha256},
                     {"url", fields.packageBaseUrl + part.name}});
  }
  const Json manifest = {{"schemaVersion", 1},
                         {"product", "Tessaline"},
                         {"channel", "stable"},
                         {"platform", "windows-x64"},
                         {"version", fields.version},
                         {"filename", fields.filename},
                         {"size", fields.package.size},
                         {"sha256", fields.package.sha256},
                         {"parts", parts}};
  return manifest.dump(2) + "\n";
}

}  // namespace tessaline::release
