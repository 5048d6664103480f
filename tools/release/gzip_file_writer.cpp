#include "gzip_file_writer.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "release_signing.h"

namespace tessaline::release {
namespace {

constexpr std::size_t kOutputSize = 256 * 1024;
constexpr int kGzipWindowBits = 15 + 16;  // the largest window, gzip wrapping
constexpr int kMemoryLevel = 8;           // zlib's default
constexpr int kOsUnix = 3;                // the header's fixed system byte

}  // namespace

GzipFileWriter::GzipFileWriter(const std::filesystem::path& path)
    : path_(path),
      file_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)),
      output_(kOutputSize) {
  if (file_.Get() < 0) throw ReleaseToolError("cannot create " + path_.string() + ": " + std::strerror(errno));
  if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    throw ReleaseToolError("cannot start gzip compression");
  }
  header_.os = kOsUnix;  // time 0, no name, no comment, no extra field
  if (deflateSetHeader(&stream_, &header_) != Z_OK) {
    deflateEnd(&stream_);
    throw ReleaseToolError("cannot start gzip compression");
  }
}

GzipFileWriter::~GzipFileWriter() { deflateEnd(&stream_); }

void GzipFileWriter::Deflate(int flush) {
  // deflate has taken all input and said all it has once it leaves output
  // space unused; Z_FINISH is done when it says the stream ended.
  int status = Z_OK;
  do {
    stream_.next_out = output_.data();
    stream_.avail_out = static_cast<uInt>(output_.size());
    status = deflate(&stream_, flush);
    if (status != Z_OK && status != Z_STREAM_END) {
      throw ReleaseToolError("gzip compression failed for " + path_.string());
    }
    const std::size_t produced = output_.size() - stream_.avail_out;
    if (!WriteFully(file_.Get(), output_.data(), produced)) {
      throw ReleaseToolError("cannot write " + path_.string() + ": " + std::strerror(errno));
    }
  } while (flush == Z_FINISH ? status != Z_STREAM_END : stream_.avail_out == 0);
}

void GzipFileWriter::Write(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const std::size_t piece = std::min<std::size_t>(length, std::numeric_limits<uInt>::max());
    stream_.next_in = const_cast<unsigned char*>(bytes);
    stream_.avail_in = static_cast<uInt>(piece);
    Deflate(Z_NO_FLUSH);
    bytes += piece;
    length -= piece;
    unflushed_ = true;
  }
}

void GzipFileWriter::FullFlush() {
  if (!unflushed_) return;
  Deflate(Z_FULL_FLUSH);
  unflushed_ = false;
}

void GzipFileWriter::Finish() {
  Deflate(Z_FINISH);
  if (::fsync(file_.Get()) != 0 || !file_.Close()) {
    throw ReleaseToolError("cannot write " + path_.string() + ": " + std::strerror(errno));
  }
}

}  // namespace tessaline::release
