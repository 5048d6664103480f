#include "gzip_input.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "extract_error.h"

namespace tessaline::tar {
namespace {

constexpr std::size_t kInputBufferSize = 256 * 1024;
// 16 + the largest window: gzip wrapping only, no raw deflate or zlib.
constexpr int kGzipWindowBits = 16 + MAX_WBITS;

std::string ZlibMessage(const z_stream& stream, int code) {
  if (stream.msg != nullptr) return stream.msg;
  return "zlib error " + std::to_string(code);
}

}  // namespace

GzipInput::GzipInput(const std::filesystem::path& path) : input_(kInputBufferSize) {
  if (path.native() == L"-") {
    // The archive on standard input, read as bytes (Windows' own tar reads
    // it in binary mode too): a pipe whose writer goes away early is an
    // archive cut off, never one that ended.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) throw ExtractError("there is no standard input to read");
    file_.Reset(input);
  } else {
    file_.Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file_) RaiseLastError("cannot open the archive \"" + ToUtf8(path.native()) + "\"");
  }

  // Both magic bytes are needed before zlib is involved, so that anything
  // else gets a plain answer instead of "incorrect header check".
  while (stream_.avail_in < 2 && FillInput()) {
  }
  if (stream_.avail_in < 2 || stream_.next_in[0] != 0x1F || stream_.next_in[1] != 0x8B) {
    throw ExtractError("the archive is not gzip-compressed");
  }
  if (inflateInit2(&stream_, kGzipWindowBits) != Z_OK) throw ExtractError("cannot start the decompressor");
}

GzipInput::~GzipInput() { inflateEnd(&stream_); }

// Appends what the file has next behind the unread input; false at its end.
bool GzipInput::FillInput() {
  std::size_t kept = stream_.avail_in;
  if (kept > 0 && stream_.next_in != input_.data()) {
    std::copy(stream_.next_in, stream_.next_in + kept, input_.begin());
  }
  if (kept == input_.size()) return true;
  DWORD got = 0;
  if (!ReadFile(file_.Get(), input_.data() + kept, static_cast<DWORD>(input_.size() - kept), &got, nullptr)) {
    // How a pipe says that its writer has closed it: the end of the data.
    if (GetLastError() != ERROR_BROKEN_PIPE) RaiseLastError("cannot read the archive");
    got = 0;
  }
  stream_.next_in = input_.data();
  stream_.avail_in = static_cast<uInt>(kept + got);
  return got > 0;
}

// After a member's trailer: another member, or the end. Zero bytes after the
// last member are padding some writers add; anything else is damage.
bool GzipInput::StartNextMember() {
  for (;;) {
    while (stream_.avail_in > 0 && stream_.next_in[0] == 0) {
      ++stream_.next_in;
      --stream_.avail_in;
    }
    if (stream_.avail_in > 0) break;
    if (!FillInput()) return false;
  }
  if (stream_.avail_in < 2 && !FillInput()) {
    throw ExtractError("the archive has stray data after its compressed stream");
  }
  if (stream_.next_in[0] != 0x1F || stream_.next_in[1] != 0x8B) {
    throw ExtractError("the archive has stray data after its compressed stream");
  }
  if (inflateReset(&stream_) != Z_OK) throw ExtractError("cannot restart the decompressor");
  memberEnded_ = false;
  return true;
}

std::size_t GzipInput::Read(std::span<unsigned char> out) {
  if (out.empty()) return 0;
  stream_.next_out = out.data();
  stream_.avail_out = static_cast<uInt>(out.size());
  while (stream_.avail_out == out.size()) {
    if (memberEnded_ && !StartNextMember()) break;
    if (stream_.avail_in == 0 && !FillInput()) {
      throw ExtractError("the archive is truncated: its compressed stream ends early");
    }
    const int code = inflate(&stream_, Z_NO_FLUSH);
    if (code == Z_STREAM_END) {
      memberEnded_ = true;
    } else if (code != Z_OK && code != Z_BUF_ERROR) {
      throw ExtractError("the archive is damaged: " + ZlibMessage(stream_, code));
    }
  }
  const std::size_t produced = out.size() - stream_.avail_out;
  stream_.next_out = nullptr;
  stream_.avail_out = 0;
  return produced;
}

void GzipInput::DrainToEnd() {
  std::vector<unsigned char> sink(64 * 1024);
  while (Read(sink) > 0) {
  }
}

}  // namespace tessaline::tar
