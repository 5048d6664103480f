#include "trust/chunk_map.h"

#include <algorithm>
#include <cstring>

namespace tessaline {
namespace {

// 256 fixed pseudo-random words, the same in every build: both ends of a
// chunk map must cut alike, so the table may never change.
struct GearTable {
  std::uint64_t values[256];
  constexpr GearTable() : values() {
    std::uint64_t state = 0x7e55a11e5e7c0deULL;
    for (std::uint64_t& value : values) {
      state += 0x9e3779b97f4a7c15ULL;
      std::uint64_t z = state;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      value = z ^ (z >> 31);
    }
  }
};
constexpr GearTable kGear;

constexpr char kSignature[8] = {'T', 'S', 'C', 'H', 'U', 'N', 'K', 'S'};
constexpr std::uint32_t kFormat = 1;
constexpr std::size_t kHeaderSize = sizeof kSignature + 4 + 3 * 4 + 8 + 8;
constexpr std::size_t kEntrySize = 4 + 32;
constexpr std::uint32_t kLargestMaximum = 16 * 1024 * 1024;

int Log2(std::uint32_t value) {
  int bits = 0;
  while (value > 1) {
    value >>= 1;
    ++bits;
  }
  return bits;
}

// The gear hash shifts left, so its high bits depend on the last 64 bytes:
// the masks take the top bits.
std::uint64_t TopBits(int count) { return count <= 0 ? 0 : ~std::uint64_t{0} << (64 - count); }

void PutNumber(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t GetNumber(const std::uint8_t*& at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= std::uint64_t{at[i]} << (8 * i);
  at += bytes;
  return value;
}

}  // namespace

bool ChunkerLimitsValid(const ChunkerLimits& limits) {
  const bool powerOfTwo = limits.average != 0 && (limits.average & (limits.average - 1)) == 0;
  return powerOfTwo && limits.minimum >= 64 && limits.minimum < limits.average && limits.average < limits.maximum &&
         limits.maximum <= kLargestMaximum;
}

std::size_t NextChunkLength(const std::uint8_t* data, std::size_t available, bool atEnd,
                            const ChunkerLimits& limits) {
  if (available <= limits.minimum) return available;
  const std::size_t end = std::min<std::size_t>(available, limits.maximum);
  if (!atEnd && end < limits.maximum) return available;
  const int bits = Log2(limits.average);
  const std::uint64_t strict = TopBits(bits + 2);
  const std::uint64_t loose = TopBits(bits - 2);
  const std::size_t normal = std::min<std::size_t>(end, limits.average);
  std::uint64_t hash = 0;
  std::size_t i = limits.minimum;
  for (; i < normal; ++i) {
    hash = (hash << 1) + kGear.values[data[i]];
    if ((hash & strict) == 0) return i + 1;
  }
  for (; i < end; ++i) {
    hash = (hash << 1) + kGear.values[data[i]];
    if ((hash & loose) == 0) return i + 1;
  }
  return end;
}

ContentChunker::ContentChunker(const ChunkerLimits& limits) : limits_(limits) {
  pending_.reserve(2 * static_cast<std::size_t>(limits_.maximum));
}

void ContentChunker::Cut(bool atEnd, const Sink& sink) {
  while (start_ < pending_.size()) {
    const std::size_t available = pending_.size() - start_;
    if (!atEnd && available < limits_.maximum) break;
    const std::size_t length = NextChunkLength(pending_.data() + start_, available, atEnd, limits_);
    sink(pending_.data() + start_, length);
    start_ += length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start_));
  start_ = 0;
}

void ContentChunker::Add(const void* data, std::size_t length, const Sink& sink) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const std::size_t piece = std::min<std::size_t>(length, limits_.maximum);
    pending_.insert(pending_.end(), bytes, bytes + piece);
    bytes += piece;
    length -= piece;
    Cut(false, sink);
  }
}

void ContentChunker::Finish(const Sink& sink) { Cut(true, sink); }

std::uint64_t ChunkMap::TotalLength() const {
  std::uint64_t total = 0;
  for (const ChunkMapEntry& chunk : chunks) total += chunk.length;
  return total;
}

std::vector<std::uint8_t> EncodeChunkMap(const ChunkMap& map) {
  std::vector<std::uint8_t> out(std::begin(kSignature), std::end(kSignature));
  out.reserve(kHeaderSize + map.chunks.size() * kEntrySize);
  PutNumber(out, kFormat, 4);
  PutNumber(out, map.limits.minimum, 4);
  PutNumber(out, map.limits.average, 4);
  PutNumber(out, map.limits.maximum, 4);
  PutNumber(out, map.chunks.size(), 8);
  PutNumber(out, map.TotalLength(), 8);
  for (const ChunkMapEntry& chunk : map.chunks) {
    PutNumber(out, chunk.length, 4);
    out.insert(out.end(), chunk.sha256.begin(), chunk.sha256.end());
  }
  return out;
}

bool StartsLikeChunkMap(const std::uint8_t* data, std::size_t length) {
  return length >= sizeof kSignature && std::memcmp(data, kSignature, sizeof kSignature) == 0;
}

std::optional<ChunkMap> DecodeChunkMap(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < kHeaderSize || !StartsLikeChunkMap(bytes.data(), bytes.size())) return {};
  const std::uint8_t* at = bytes.data() + sizeof kSignature;
  if (GetNumber(at, 4) != kFormat) return {};
  ChunkMap map;
  map.limits.minimum = static_cast<std::uint32_t>(GetNumber(at, 4));
  map.limits.average = static_cast<std::uint32_t>(GetNumber(at, 4));
  map.limits.maximum = static_cast<std::uint32_t>(GetNumber(at, 4));
  const std::uint64_t count = GetNumber(at, 8);
  const std::uint64_t total = GetNumber(at, 8);
  if (!ChunkerLimitsValid(map.limits) || count != (bytes.size() - kHeaderSize) / kEntrySize ||
      (bytes.size() - kHeaderSize) % kEntrySize != 0) {
    return {};
  }
  map.chunks.resize(static_cast<std::size_t>(count));
  std::uint64_t sum = 0;
  for (ChunkMapEntry& chunk : map.chunks) {
    chunk.length = static_cast<std::uint32_t>(GetNumber(at, 4));
    if (chunk.length == 0 || chunk.length > map.limits.maximum) return {};
    std::memcpy(chunk.sha256.data(), at, chunk.sha256.size());
    at += chunk.sha256.size();
    sum += chunk.length;
  }
  if (sum != total) return {};
  return map;
}

}  // namespace tessaline
