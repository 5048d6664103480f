#include "chunk_map_check.h"

#include <cstdint>
#include <nlohmann/json.hpp>

#include "trust/chunk_map.h"

namespace tessaline::release {

std::string ChunkMapProblem(const Bytes& manifest, const Bytes& chunkMap) {
  const nlohmann::json document = nlohmann::json::parse(manifest.begin(), manifest.end(), nullptr, false);
  if (!document.is_object()) return "the manifest is not a JSON object";
  const auto entry = document.find("chunkMap");
  if (entry == document.end()) return "the manifest names no chunk map";
  const auto listed = [&](const char* key) {
    const auto it = entry->is_object() ? entry->find(key) : entry->end();
    return it == entry->end() ? nlohmann::json() : *it;
  };
  const nlohmann::json size = listed("size");
  const nlohmann::json sha256 = listed("sha256");
  const auto packageSize = document.find("size");
  if (!size.is_number_unsigned() || !sha256.is_string() || packageSize == document.end() ||
      !packageSize->is_number_unsigned()) {
    return "the manifest's chunkMap entry or package size is malformed";
  }

  if (chunkMap.size() != size.get<std::uint64_t>()) {
    return "the chunk map is " + std::to_string(chunkMap.size()) + " bytes; the manifest lists " +
           std::to_string(size.get<std::uint64_t>());
  }
  const std::string digest = Sha256Hex(chunkMap);
  if (digest != sha256.get<std::string>()) {
    return "the chunk map's SHA-256 is " + digest + "; the manifest lists " + sha256.get<std::string>();
  }
  const std::optional<ChunkMap> decoded = DecodeChunkMap(chunkMap);
  if (!decoded) return "the chunk map does not decode: its header, limits or chunk lengths are invalid";
  if (decoded->TotalLength() != packageSize->get<std::uint64_t>()) {
    return "the chunk map covers " + std::to_string(decoded->TotalLength()) + " bytes; the package is " +
           std::to_string(packageSize->get<std::uint64_t>());
  }
  return {};
}

}  // namespace tessaline::release
