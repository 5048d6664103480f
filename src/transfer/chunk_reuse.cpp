#include "transfer/chunk_reuse.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "common/download_url.h"
#include "common/file_system.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "transfer/https_client.h"
#include "transfer/part_download.h"
#include "trust/digest.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

constexpr std::uint64_t kNotFound = ~std::uint64_t{0};
constexpr DWORD kReadSize = 1U << 20;
constexpr char kFailure[] = "Package download failed";

struct DigestHash {
  std::size_t operator()(const ChunkDigest& digest) const noexcept {
    std::size_t value = 0;
    std::memcpy(&value, digest.data(), sizeof value);
    return value;
  }
};

UniqueFile OpenForReading(const fs::path& path) {
  UniqueFile file = fsops::OpenForSharedReading(path);
  if (!file) RaiseLastFileSystemError("open", path);
  return file;
}

void KeepChunkMap(const fs::path& path, const std::vector<std::uint8_t>& bytes) noexcept {
  // Only a help for the next update: a map that cannot be kept is fetched then.
  const UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size()) {
    return;
  }
  std::error_code ignored;
  fs::remove(path, ignored);
}

// The regular files of a cache folder, in name order, and which of them are
// chunk maps (known by their first bytes).
void ListCacheFolder(const fs::path& folder, std::vector<fs::path>& data, std::vector<fs::path>& maps) {
  std::vector<fs::path> paths;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    const UniqueFile file = OpenForReading(path);
    std::uint8_t start[8] = {};
    DWORD read = 0;
    const bool isMap = fsops::FileSize(path) <= kChunkMapLimit &&
                       ReadFile(file.Get(), start, sizeof start, &read, nullptr) && StartsLikeChunkMap(start, read);
    (isMap ? maps : data).push_back(path);
  }
}

bool SameLimits(const ChunkerLimits& a, const ChunkerLimits& b) {
  return a.minimum == b.minimum && a.average == b.average && a.maximum == b.maximum;
}

}  // namespace

std::optional<ChunkMap> ObtainChunkMap(const ReleaseManifest& manifest, const fs::path& cacheFolder,
                                       const std::atomic<bool>& cancel) {
  if (!manifest.chunkMap) return {};
  const PackagePart& entry = *manifest.chunkMap;
  const auto matches = [&entry](const std::vector<std::uint8_t>& bytes) {
    return bytes.size() == entry.size && HexLower(Sha256(bytes.data(), bytes.size())) == entry.sha256;
  };
  try {
    const fs::path kept = cacheFolder / Utf8ToWide(entry.name);
    std::vector<std::uint8_t> bytes;
    try {
      if (fsops::Exists(kept) && fsops::FileSize(kept) == entry.size) bytes = ReadSetupFile(kept);
    } catch (const std::exception&) {
      bytes.clear();  // fetched again below
    }
    if (!matches(bytes)) {
      // Its time grows with its signed size, at a rate below any useful link.
      constexpr std::uint64_t kSlowestMapBytesPerSecond = 16 * 1024;
      const ExchangeBounds bounds{kServiceExchangeDeadline + std::chrono::seconds(entry.size / kSlowestMapBytesPerSecond),
                                  &cancel, "The chunk map did not arrive in time"};
      bytes = FetchToMemory(entry.url, static_cast<std::size_t>(entry.size), "Oversized chunk map", bounds);
      if (!matches(bytes)) return {};
      KeepChunkMap(kept, bytes);
    }
    std::optional<ChunkMap> map = DecodeChunkMap(bytes);
    if (!map || map->TotalLength() != manifest.size) return {};
    return map;
  } catch (const std::exception&) {
    // A map that cannot be had: the parts are downloaded whole, as without one.
    return {};
  }
}

std::unique_ptr<ChunkReuse> ChunkReuse::Prepare(const ReleaseManifest& manifest, ChunkMap map,
                                                const fs::path& installedFolder, const fs::path& cacheFolder,
                                                const InstallSession& session) {
  try {
    std::error_code error;
    if (!fs::is_directory(installedFolder, error)) return nullptr;
    std::unique_ptr<ChunkReuse> reuse(new ChunkReuse(manifest, cacheFolder, std::move(map)));
    if (!reuse->FindLocalChunks(installedFolder, session)) return nullptr;
    reuse->PlanParts();
    return reuse;
  } catch (const std::exception&) {
    return nullptr;
  }
}

// Finds where the map's chunks lie in the installed version's files, taken in
// name order as one stream (its parts are its package in that order). When
// the folder keeps that version's own map and the files add up to it, the
// map says where each chunk lies and nothing is read now; otherwise the
// files are cut with the map's limits and every chunk of a length the map
// has is hashed. Either way a chunk is checked again as it is copied. False
// when no chunk was found, or on a cancel.
bool ChunkReuse::FindLocalChunks(const fs::path& installedFolder, const InstallSession& session) {
  std::vector<fs::path> paths;
  std::vector<fs::path> maps;
  ListCacheFolder(installedFolder, paths, maps);
  std::uint64_t total = 0;
  for (const fs::path& path : paths) {
    const std::uint64_t size = fsops::FileSize(path);
    files_.push_back({path, total, size});
    total += size;
  }

  std::unordered_multimap<ChunkDigest, std::size_t, DigestHash> wanted;
  std::unordered_set<std::uint32_t> lengths;
  for (std::size_t i = 0; i < map_.chunks.size(); ++i) {
    wanted.emplace(map_.chunks[i].sha256, i);
    lengths.insert(map_.chunks[i].length);
  }
  found_.assign(map_.chunks.size(), kNotFound);
  bool any = false;
  std::uint64_t position = 0;
  const auto note = [&](const ChunkDigest& digest, std::size_t length) {
    const auto [first, last] = wanted.equal_range(digest);
    for (auto it = first; it != last; ++it) {
      if (map_.chunks[it->second].length == length && found_[it->second] == kNotFound) {
        found_[it->second] = position;
        any = true;
      }
    }
    position += length;
  };

  for (const fs::path& path : maps) {
    const std::optional<ChunkMap> stored = DecodeChunkMap(ReadSetupFile(path));
    if (!stored || stored->TotalLength() != total || !SameLimits(stored->limits, map_.limits)) continue;
    for (const ChunkMapEntry& chunk : stored->chunks) note(chunk.sha256, chunk.length);
    return any;
  }

  ContentChunker chunker(map_.limits);
  const ContentChunker::Sink sink = [&](const std::uint8_t* data, std::size_t length) {
    if (lengths.count(static_cast<std::uint32_t>(length)) == 0) {
      position += length;
      return;
    }
    note(Sha256(data, length), length);
  };
  std::vector<std::uint8_t> buffer(kReadSize);
  for (const LocalFile& local : files_) {
    const UniqueFile file = OpenForReading(local.path);
    std::uint64_t size = 0;
    while (size < local.size) {
      if (session.cancelRequested.load()) return false;
      DWORD read = 0;
      if (!ReadFile(file.Get(), buffer.data(), kReadSize, &read, nullptr)) RaiseLastFileSystemError("read", local.path);
      if (read == 0) break;
      const auto used = static_cast<std::size_t>(std::min<std::uint64_t>(read, local.size - size));
      chunker.Add(buffer.data(), used, sink);
      size += used;
    }
    if (size != local.size) throw SetupError("The installed version's cached package changed");
  }
  chunker.Finish(sink);
  return any;
}

// Lays each part that is not complete over the map's chunks: a stretch per
// chunk found locally, and the stretches between them joined into ranges to
// fetch. A part whose file holds some bytes already goes on after them.
void ChunkReuse::PlanParts() {
  plans_.resize(manifest_.parts.size());
  std::size_t chunk = 0;
  std::uint64_t chunkStart = 0;  // in the package
  std::uint64_t partStart = 0;
  for (std::size_t index = 0; index < manifest_.parts.size(); ++index) {
    const PackagePart& part = manifest_.parts[index];
    const std::uint64_t partEnd = partStart + part.size;
    PartPlan& plan = plans_[index];
    const fs::path file = cacheFolder_ / Utf8ToWide(part.name);
    plan.from = fsops::Exists(file) ? fsops::FileSize(file) : 0;
    plan.planned = plan.from < part.size;
    // The chunks that end before this part's first byte belong to earlier parts.
    while (chunk < map_.chunks.size() && chunkStart + map_.chunks[chunk].length <= partStart) {
      chunkStart += map_.chunks[chunk].length;
      ++chunk;
    }
    std::size_t at = chunk;
    std::uint64_t atStart = chunkStart;
    for (; plan.planned && at < map_.chunks.size() && atStart < partEnd; atStart += map_.chunks[at++].length) {
      const std::uint64_t first = std::max(atStart, partStart + plan.from);
      const std::uint64_t last = std::min(atStart + map_.chunks[at].length, partEnd);
      if (first >= last) continue;
      Stretch stretch;
      stretch.offset = first - partStart;
      stretch.length = last - first;
      stretch.local = found_[at] != kNotFound;
      stretch.chunk = at;
      stretch.skip = static_cast<std::uint32_t>(first - atStart);
      if (!stretch.local && !plan.stretches.empty() && !plan.stretches.back().local) {
        plan.stretches.back().length += stretch.length;
        continue;
      }
      if (stretch.local) plan.localBytes += stretch.length;
      plan.stretches.push_back(stretch);
    }
    // A part with nothing to copy gains nothing over the ordinary download.
    plan.planned = plan.planned && plan.localBytes > 0;
    if (plan.planned) localBytes_ += plan.localBytes;
    partStart = partEnd;
  }
}

// Reads at `offset` of the installed version's files taken as one stream,
// opening each file the first time it is needed.
void ChunkReuse::ReadLocal(std::vector<UniqueFile>& open, std::uint64_t offset, std::uint8_t* data,
                           std::size_t length) const {
  open.resize(files_.size());
  for (std::size_t i = 0; i < files_.size() && length > 0; ++i) {
    const LocalFile& local = files_[i];
    if (offset >= local.start + local.size) continue;
    if (!open[i]) open[i] = OpenForReading(local.path);
    const std::uint64_t at = offset - local.start;
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    const auto want = static_cast<DWORD>(std::min<std::uint64_t>(length, local.size - at));
    DWORD read = 0;
    if (!ReadFile(open[i].Get(), data, want, &read, &position)) RaiseLastFileSystemError("read", local.path);
    if (read != want) throw SetupError("The installed version's cached package changed");
    data += read;
    offset += read;
    length -= read;
  }
  if (length != 0) throw SetupError("The installed version's cached package changed");
}

namespace {

// One closed range of a part, appended to its file as it arrives. Anything
// but exactly the range asked for is refused before its body is read, and
// the body may not run past it.
void FetchRange(const PackagePart& part, std::uint64_t offset, std::uint64_t length,
                std::optional<HttpsExchange>& exchange, HANDLE output, const fs::path& file, Sha256Hasher& hasher,
                InstallSession& session) {
  const CrackedUrl url = CrackDownloadUrl(part.url);
  if (!exchange) {
    exchange = OpenGetRequest(url, kFailure);
  } else {
    OpenNextGetRequest(*exchange, url, kFailure);
  }
  const HINTERNET request = exchange->request.Get();
  const std::uint64_t last = offset + length - 1;
  const std::wstring range = L"Range: bytes=" + std::to_wstring(offset) + L"-" + std::to_wstring(last) + L"\r\n";
  if (!WinHttpSendRequest(request, range.c_str(), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request, nullptr)) {
    RaiseWindowsError(kFailure);
  }
  const std::optional<std::uint64_t> announced = QueryContentLength(request);
  if (QueryStatusCode(request) != 206 || !AnswersRange(request, offset, last, part.size) ||
      (announced && *announced != length)) {
    throw SetupError("The package host did not answer the byte range asked for");
  }
  std::vector<std::uint8_t> buffer(131072);
  std::uint64_t left = length;
  StallWatch watch;
  while (left > 0) {
    if (session.cancelRequested.load()) throw SetupError("Installation cancelled");
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
      RaiseWindowsError("Package download interrupted");
    }
    watch.Received(read);
    if (read == 0) throw SetupError("Package download interrupted");
    if (read > left) throw SetupError("The package host sent more than the byte range asked for");
    fsops::WriteAll(output, buffer.data(), read, file);
    hasher.Update(buffer.data(), read);
    session.progressCounters.bytesDone.fetch_add(read);
    left -= read;
  }
}

}  // namespace

void ChunkReuse::WritePart(std::size_t index, InstallSession& session, std::uint64_t& localUnwritten) const {
  const PackagePart& part = manifest_.parts[index];
  const PartPlan& plan = plans_[index];
  const fs::path file = cacheFolder_ / Utf8ToWide(part.name);
  Sha256Hasher hasher;
  if (plan.from > 0 && hasher.UpdateFromFile(file, plan.from) != plan.from) {
    throw SetupError("The part's file changed");
  }
  UniqueFile output = OpenPartFile(file, plan.from);
  std::optional<HttpsExchange> exchange;
  std::vector<UniqueFile> localFiles;
  std::vector<std::uint8_t> chunk;
  for (const Stretch& stretch : plan.stretches) {
    if (session.cancelRequested.load()) throw SetupError("Installation cancelled");
    if (!stretch.local) {
      FetchRange(part, stretch.offset, stretch.length, exchange, output.Get(), file, hasher, session);
      continue;
    }
    // The whole chunk is read and checked, whatever part of it this part
    // takes. A damaged one is fetched instead, its bytes no longer counted
    // as there.
    const ChunkMapEntry& entry = map_.chunks[stretch.chunk];
    chunk.resize(entry.length);
    ReadLocal(localFiles, found_[stretch.chunk], chunk.data(), chunk.size());
    if (Sha256(chunk.data(), chunk.size()) != entry.sha256) {
      session.progressCounters.TakeBack(stretch.length);
      localUnwritten -= stretch.length;
      FetchRange(part, stretch.offset, stretch.length, exchange, output.Get(), file, hasher, session);
      continue;
    }
    fsops::WriteAll(output.Get(), chunk.data() + stretch.skip, static_cast<std::size_t>(stretch.length), file);
    hasher.Update(chunk.data() + stretch.skip, static_cast<std::size_t>(stretch.length));
    localUnwritten -= stretch.length;
  }
  output.Reset();
  if (HexLower(hasher.Finish()) != part.sha256) throw SetupError("Downloaded part verification failed: " + part.name);
}

bool ChunkReuse::BringPart(std::size_t index, InstallSession& session) const noexcept {
  if (index >= plans_.size() || !plans_[index].planned) return false;
  std::uint64_t localUnwritten = plans_[index].localBytes;
  try {
    WritePart(index, session, localUnwritten);
    return true;
  } catch (...) {
    // What was written stays: local chunks were checked, fetched bytes are
    // the range asked for, and the ordinary download resumes after them and
    // verifies the whole part, or starts it again.
    session.progressCounters.TakeBack(localUnwritten);
    return false;
  }
}

}  // namespace tessaline
