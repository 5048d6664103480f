// An update's shortcut: the new release's parts made, where they can be, of
// the bytes of the installed version's parts still in the installer cache,
// found chunk by chunk through the release's chunk map, with only the rest
// fetched as byte ranges. Every part is still verified by its size and
// SHA-256 as a downloaded one is; whatever goes wrong here leaves the part to
// the ordinary download, which resumes from what was written.
//
// Each version's chunk map stays in its installer-cache folder beside its
// parts, so that the next update knows where the installed version's chunks
// lie without reading and hashing its parts first; each chunk is checked as
// it is copied. A folder without its map is cut with the same chunker.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/install_session.h"
#include "common/unique_handle.h"
#include "trust/chunk_map.h"
#include "trust/release_manifest.h"

namespace tessaline {

// The release's chunk map, from `cacheFolder` when it holds the one the
// manifest names, or else fetched within its signed size, checked against its
// digest and kept there. Nothing when the manifest names none, or when it
// cannot be had, fails its digest or does not describe the package.
std::optional<ChunkMap> ObtainChunkMap(const ReleaseManifest& manifest, const std::filesystem::path& cacheFolder,
                                       const std::atomic<bool>& cancel);

class ChunkReuse {
 public:
  // Finds the chunks of `map` (the release's) among the files of
  // `installedFolder` (the installed version's installer-cache folder), and
  // plans each part of `cacheFolder` that is not complete yet. Nothing when
  // there is nothing to reuse: no chunk found, a folder that cannot be read,
  // a cancel.
  static std::unique_ptr<ChunkReuse> Prepare(const ReleaseManifest& manifest, ChunkMap map,
                                             const std::filesystem::path& installedFolder,
                                             const std::filesystem::path& cacheFolder, const InstallSession& session);

  // The bytes that the parts will take from the installed version's files;
  // they count as there already, as a cached part's bytes do.
  std::uint64_t LocalBytes() const { return localBytes_; }

  // Brings part `index` of the manifest into the cache folder. True once it
  // is complete and verified; false when it is left to the ordinary download
  // (no plan for it, a cancel, or any failure), with the local bytes that
  // were counted but not written taken back from the session's bytesDone.
  bool BringPart(std::size_t index, InstallSession& session) const noexcept;

 private:
  // One stretch of a part: copied from a chunk found locally, or fetched.
  struct Stretch {
    std::uint64_t offset = 0;  // in the part
    std::uint64_t length = 0;
    bool local = false;
    std::size_t chunk = 0;     // the map's chunk it lies in, when local
    std::uint32_t skip = 0;    // bytes of that chunk before the stretch
  };
  struct PartPlan {
    bool planned = false;
    std::uint64_t from = 0;    // bytes the part's file already holds
    std::uint64_t localBytes = 0;
    std::vector<Stretch> stretches;
  };
  struct LocalFile {
    std::filesystem::path path;
    std::uint64_t start = 0;   // where it begins in the files taken as one stream
    std::uint64_t size = 0;
  };

  ChunkReuse(const ReleaseManifest& manifest, std::filesystem::path cacheFolder, ChunkMap map)
      : manifest_(manifest), cacheFolder_(std::move(cacheFolder)), map_(std::move(map)) {}
  bool FindLocalChunks(const std::filesystem::path& installedFolder, const InstallSession& session);
  void PlanParts();
  void ReadLocal(std::vector<UniqueFile>& open, std::uint64_t offset, std::uint8_t* data, std::size_t length) const;
  void WritePart(std::size_t index, InstallSession& session, std::uint64_t& localUnwritten) const;

  const ReleaseManifest& manifest_;
  std::filesystem::path cacheFolder_;
  ChunkMap map_;
  std::vector<LocalFile> files_;
  std::vector<std::uint64_t> found_;  // per map chunk: its offset in the local stream, or kNotFound
  std::vector<PartPlan> plans_;
  std::uint64_t localBytes_ = 0;
};

}  // namespace tessaline
