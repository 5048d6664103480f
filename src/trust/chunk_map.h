// Content-defined chunks of a package and the map that lists them. The maker's
// publisher cuts each package into chunks and publishes their lengths and
// digests; Setup cuts the package it already has with the same chunker, so a
// chunk that did not change between two releases is found by its content and
// need not be downloaded again. Pure computation: the callers read the files
// and compute the digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace tessaline {

// A chunk is cut where a gear hash of the last bytes matches a mask, with a
// stricter mask before the average length and a looser one after it, so that
// lengths gather around the average; never shorter than `minimum` (except the
// last chunk) nor longer than `maximum`. `average` is a power of two.
struct ChunkerLimits {
  std::uint32_t minimum = 16 * 1024;
  std::uint32_t average = 64 * 1024;
  std::uint32_t maximum = 256 * 1024;
};

// True for limits the chunker can cut with: 64 <= minimum < average < maximum
// <= 16 MiB, average a power of two.
bool ChunkerLimitsValid(const ChunkerLimits& limits);

// The length of the chunk that starts at `data`, of the `available` bytes
// there. Unless `atEnd` says that no byte follows them, `available` must reach
// `limits.maximum`: a shorter stretch is cut only at its end.
std::size_t NextChunkLength(const std::uint8_t* data, std::size_t available, bool atEnd,
                            const ChunkerLimits& limits);

// Cuts a stream that arrives piece by piece into the same chunks that
// NextChunkLength gives for the whole of it. Holds at most about two maximum
// lengths of it at a time.
class ContentChunker {
 public:
  using Sink = std::function<void(const std::uint8_t* data, std::size_t length)>;

  explicit ContentChunker(const ChunkerLimits& limits);
  // Passes every chunk that the bytes so far complete to `sink`.
  void Add(const void* data, std::size_t length, const Sink& sink);
  // Passes the last chunks; the chunker may then start a new stream.
  void Finish(const Sink& sink);

 private:
  void Cut(bool atEnd, const Sink& sink);

  ChunkerLimits limits_;
  std::vector<std::uint8_t> pending_;
  std::size_t start_ = 0;  // the first byte of pending_ not yet in a chunk
};

using ChunkDigest = std::array<std::uint8_t, 32>;  // SHA-256

struct ChunkMapEntry {
  std::uint32_t length = 0;
  ChunkDigest sha256{};
};

// The chunks of one package, in order.
struct ChunkMap {
  ChunkerLimits limits;
  std::vector<ChunkMapEntry> chunks;
  std::uint64_t TotalLength() const;
};

// The map as published: an 8-byte signature, the format number, the limits,
// the chunk count and the package length, then each chunk's length and
// SHA-256; numbers little-endian.
std::vector<std::uint8_t> EncodeChunkMap(const ChunkMap& map);

// True when `data` begins as an encoded map does; a quick look at a file's
// first bytes before it is read whole.
bool StartsLikeChunkMap(const std::uint8_t* data, std::size_t length);

// The map, or nothing when the bytes are not one: a wrong signature or format,
// limits the chunker cannot use, a length that does not add up, a chunk
// longer than the maximum or empty.
std::optional<ChunkMap> DecodeChunkMap(const std::vector<std::uint8_t>& bytes);

}  // namespace tessaline
