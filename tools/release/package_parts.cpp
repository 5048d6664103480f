#include "package_parts.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "durable_file.h"
#include "file_descriptor.h"
#include "release_signing.h"
#include "trust/chunk_map.h"

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

constexpr std::size_t kChunk = 1024 * 1024;

struct DigestDeleter {
  void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};

class Sha256Stream {
 public:
  Sha256Stream() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
      throw ReleaseToolError("SHA-256 is unavailable");
    }
  }
  void Add(const char* data, std::size_t length) {
    if (EVP_DigestUpdate(context_.get(), data, length) != 1) throw ReleaseToolError("SHA-256 failed");
  }
  std::string FinishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) throw ReleaseToolError("SHA-256 failed");
    return LowerHex(digest, length);
  }

 private:
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> context_;
};

[[noreturn]] void RaiseErrno(const std::string& what, const fs::path& path) {
  throw ReleaseToolError(what + " " + path.string() + ": " + std::strerror(errno));
}

std::size_t ReadSome(int fd, char* data, std::size_t length, const fs::path& path) {
  while (true) {
    const ssize_t got = ::read(fd, data, length);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) RaiseErrno("cannot read", path);
  }
}

void WriteAll(int fd, const char* data, std::size_t length, const fs::path& path) {
  if (!WriteFully(fd, data, length)) RaiseErrno("cannot write", path);
}

}  // namespace

std::string ChunkMapFileName(const std::string& packageName) { return packageName + ".chunks"; }

std::string PartFileName(const std::string& packageName, std::size_t index, std::size_t count) {
  const std::size_t width = std::max<std::size_t>(3, std::to_string(count).size());
  std::string number = std::to_string(index);
  if (number.size() < width) number.insert(0, width - number.size(), '0');
  return packageName + "." + number;
}

SplitPackage SplitPackageFile(const fs::path& package, const std::string& packageName, std::uint64_t partSize,
                              const fs::path& folder, const SplitProgress& progress) {
  if (partSize == 0) throw ReleaseToolError("the part size must be at least 1 byte");
  FileDescriptor in(::open(package.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.Get() < 0) RaiseErrno("cannot read", package);
  struct stat info {};
  if (::fstat(in.Get(), &info) != 0) RaiseErrno("cannot read", package);
  const auto total = static_cast<std::uint64_t>(info.st_size);
  if (total == 0) throw ReleaseToolError("the package " + package.string() + " is empty");
  const std::uint64_t count64 = (total + partSize - 1) / partSize;
  const auto count = static_cast<std::size_t>(count64);

  SplitPackage result;
  result.size = total;
  Sha256Stream whole;
  ChunkMap chunkMap;
  ContentChunker chunker(chunkMap.limits);
  const ContentChunker::Sink addChunk = [&](const std::uint8_t* data, std::size_t length) {
    ChunkMapEntry chunk;
    chunk.length = static_cast<std::uint32_t>(length);
    if (EVP_Digest(data, length, chunk.sha256.data(), nullptr, EVP_sha256(), nullptr) != 1) {
      throw ReleaseToolError("SHA-256 failed");
    }
    chunkMap.chunks.push_back(chunk);
  };
  std::vector<char> buffer(kChunk);
  std::uint64_t done = 0;
  for (std::size_t index = 1; index <= count; ++index) {
    PackagePartFile part;
    part.name = PartFileName(packageName, index, count);
    part.size = std::min(partSize, total - done);
    const fs::path path = folder / part.name;
    FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (out.Get() < 0) RaiseErrno("cannot create", path);
    Sha256Stream digest;
    std::uint64_t left = part.size;
    while (left > 0) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
      const std::size_t got = ReadSome(in.Get(), buffer.data(), want, package);
      if (got == 0) throw ReleaseToolError("the package " + package.string() + " became shorter while it was split");
      WriteAll(out.Get(), buffer.data(), got, path);
      digest.Add(buffer.data(), got);
      whole.Add(buffer.data(), got);
      chunker.Add(buffer.data(), got, addChunk);
      left -= got;
    }
    if (::fsync(out.Get()) != 0 || !out.Close()) RaiseErrno("cannot write", path);
    done += part.size;
    part.sha256 = digest.FinishHex();
    result.parts.push_back(std::move(part));
    if (progress) progress(index, count, done);
  }
  char extra = 0;
  if (ReadSome(in.Get(), &extra, 1, package) != 0) {
    throw ReleaseToolError("the package " + package.string() + " grew while it was split");
  }
  result.sha256 = whole.FinishHex();

  chunker.Finish(addChunk);
  const std::vector<std::uint8_t> encoded = EncodeChunkMap(chunkMap);
  result.chunkMap.name = ChunkMapFileName(packageName);
  result.chunkMap.size = encoded.size();
  result.chunkMap.sha256 = Sha256Hex(encoded);
  WriteDurably(folder / result.chunkMap.name, encoded);
  return result;
}

}  // namespace tessaline::release
