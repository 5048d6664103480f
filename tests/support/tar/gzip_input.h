// The decompressed bytes of a gzip file, read through a fixed buffer so that
// an archive of any size needs the same small amount of memory.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <filesystem>
#include <span>
#include <vector>

#include "common/unique_handle.h"

namespace tessaline::tar {

class GzipInput {
 public:
  // Opens the file ("-": standard input) and checks that it starts like
  // gzip; raises ExtractError.
  explicit GzipInput(const std::filesystem::path& path);
  ~GzipInput();
  GzipInput(const GzipInput&) = delete;
  GzipInput& operator=(const GzipInput&) = delete;

  // Up to out.size() bytes; 0 only once the last member has ended with a
  // correct trailer. A damaged or cut-off stream raises ExtractError.
  std::size_t Read(std::span<unsigned char> out);

  // Reads and discards the rest, so every member's checksum is still checked.
  void DrainToEnd();

 private:
  bool FillInput();
  bool StartNextMember();

  UniqueFile file_;
  std::vector<unsigned char> input_;
  z_stream stream_{};
  bool memberEnded_ = false;
};

}  // namespace tessaline::tar
