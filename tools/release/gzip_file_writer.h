// A gzip file compressed with zlib, whose stream can be cut where the caller
// says. After FullFlush the compressor has forgotten every byte before it and
// its output is byte-aligned, so the same bytes written after a flush become
// the same compressed bytes whatever came before them. Between flushes it is
// one ordinary deflate stream; any gzip reader reads the file as usual.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <filesystem>
#include <vector>

#include "file_descriptor.h"

namespace tessaline::release {

class GzipFileWriter {
 public:
  // Creates or truncates the file. The header carries no name and no time.
  explicit GzipFileWriter(const std::filesystem::path& path);
  ~GzipFileWriter();
  GzipFileWriter(const GzipFileWriter&) = delete;
  GzipFileWriter& operator=(const GzipFileWriter&) = delete;

  void Write(const void* data, std::size_t length);
  // Starts a new independent stretch; does nothing when nothing was written
  // since the last one.
  void FullFlush();
  // Ends the stream with its trailer and flushes the file to disk.
  void Finish();

 private:
  void Deflate(int flush);

  std::filesystem::path path_;
  FileDescriptor file_;
  z_stream stream_{};
  gz_header header_{};
  std::vector<unsigned char> output_;
  bool unflushed_ = false;
};

}  // namespace tessaline::release
