#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "trust/chunk_map.h"

namespace tessaline {
namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::uint8_t> bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// The chunks of `bytes`, fed to the chunker `piece` bytes at a time.
std::vector<std::string> Chunks(const std::vector<std::uint8_t>& bytes, std::size_t piece) {
  std::vector<std::string> chunks;
  ContentChunker chunker{ChunkerLimits{}};
  const auto sink = [&](const std::uint8_t* data, std::size_t length) {
    chunks.emplace_back(reinterpret_cast<const char*>(data), length);
  };
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    chunker.Add(bytes.data() + at, std::min(piece, bytes.size() - at), sink);
  }
  chunker.Finish(sink);
  return chunks;
}

TEST(ContentChunker, CutsAlikeHoweverTheBytesArriveAndResyncsAfterAnInsertion) {
  const std::vector<std::uint8_t> bytes = RandomBytes(8 << 20, 1);
  const std::vector<std::string> whole = Chunks(bytes, bytes.size());
  EXPECT_EQ(Chunks(bytes, 4097), whole);
  EXPECT_EQ(Chunks(bytes, 1 << 20), whole);
  std::string joined;
  for (const std::string& chunk : whole) {
    if (&chunk != &whole.back()) {
      EXPECT_GE(chunk.size(), ChunkerLimits{}.minimum);
    }
    EXPECT_LE(chunk.size(), ChunkerLimits{}.maximum);
    joined += chunk;
  }
  EXPECT_EQ(joined, std::string(bytes.begin(), bytes.end()));
  EXPECT_GT(whole.size(), 64U);
  EXPECT_LT(whole.size(), 256U);

  // Ten bytes inserted near the start: only the chunk around them is new.
  std::vector<std::uint8_t> edited = bytes;
  edited.insert(edited.begin() + 100000, 10, 0x5a);
  const std::set<std::string> before(whole.begin(), whole.end());
  int added = 0;
  for (const std::string& chunk : Chunks(edited, 65536)) added += before.count(chunk) == 0 ? 1 : 0;
  EXPECT_LE(added, 2);
}

TEST(ChunkMap, ReadsBackWhatItWroteAndRefusesAnythingElse) {
  ChunkMap map;
  for (std::uint32_t length : {70000U, 20000U, 5U}) {
    ChunkMapEntry entry;
    entry.length = length;
    entry.sha256.fill(static_cast<std::uint8_t>(length));
    map.chunks.push_back(entry);
  }
  const std::vector<std::uint8_t> bytes = EncodeChunkMap(map);
  const std::optional<ChunkMap> read = DecodeChunkMap(bytes);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->TotalLength(), 90005U);
  ASSERT_EQ(read->chunks.size(), 3U);
  EXPECT_EQ(read->chunks[1].sha256, map.chunks[1].sha256);

  const auto refused = [&](std::size_t at, std::uint8_t value) {
    std::vector<std::uint8_t> damaged = bytes;
    damaged[at] = value;
    return !DecodeChunkMap(damaged);
  };
  EXPECT_TRUE(refused(0, 'X'));             // signature
  EXPECT_TRUE(refused(8, 2));               // format
  EXPECT_TRUE(refused(16, 0x01));           // an average that is no power of two
  EXPECT_TRUE(refused(24, 4));              // a chunk count the bytes do not hold
  EXPECT_TRUE(refused(36, 0x77));           // a length the chunks do not add up to
  EXPECT_TRUE(refused(40 + 36 + 2, 0x10));  // a chunk beyond the maximum
  std::vector<std::uint8_t> cut = bytes;
  cut.pop_back();
  EXPECT_FALSE(DecodeChunkMap(cut));
}

}  // namespace
}  // namespace tessaline
