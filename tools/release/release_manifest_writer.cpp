#include "release_manifest_writer.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <nlohmann/json.hpp>

#include "release_signing.h"

namespace tessaline::release {
namespace {

// Setup keeps every part in a file of its own beside the package and
// "<package>.partial", and Windows tells file names apart neither by letter
// case nor by trailing dots and spaces: Setup refuses a manifest whose names
// would meet, so publish never writes one.
void CheckPartNamesApart(const ReleaseManifestFields& fields) {
  const auto key = [](std::string name) {
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name;
  };
  std::map<std::string, std::string> taken{{key(fields.filename), fields.filename},
                                           {key(fields.filename + ".partial"), fields.filename + ".partial"}};
  for (const PackagePartFile& part : fields.package.parts) {
    const auto [earlier, added] = taken.emplace(key(part.name), part.name);
    if (!added) {
      throw ReleaseToolError("the part name " + part.name + " names the same file on Windows as " + earlier->second);
    }
  }
}

}  // namespace

std::string ReleaseManifestText(const ReleaseManifestFields& fields) {
  using Json = nlohmann::ordered_json;
  CheckPartNamesApart(fields);
  // Parts, the chunk map and the Setup are all listed alike: a file beside the parts.
  const auto fileEntry = [&](const PackagePartFile& file) {
    return Json{{"name", file.name}, {"size", file.size}, {"sha256", file.sha256},
                {"url", fields.packageBaseUrl + file.name}};
  };
  Json parts = Json::array();
  for (const PackagePartFile& part : fields.package.parts) parts.push_back(fileEntry(part));
  Json manifest = {{"schemaVersion", 1},
                   {"product", "Tessaline"},
                   {"channel", "stable"},
                   {"platform", "windows-x64"},
                   {"version", fields.version},
                   {"filename", fields.filename},
                   {"size", fields.package.size},
                   {"sha256", fields.package.sha256},
                   {"parts", parts},
                   {"chunkMap", fileEntry(fields.package.chunkMap)}};
  if (fields.setup) manifest["setup"] = fileEntry(*fields.setup);
  manifest["sequence"] = fields.sequence;
  if (fields.expires) manifest["expires"] = *fields.expires;
  return manifest.dump(2) + "\n";
}

}  // namespace tessaline::release
