// The one owner of a POSIX file descriptor, and writing to one.
#pragma once

#include <cerrno>
#include <cstddef>

#include <unistd.h>

namespace tessaline::release {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }
  // Closes now, so that a late write error reported by close is seen.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Writes all `length` bytes, through short and interrupted writes; false
// with errno set when the system refuses.
inline bool WriteFully(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t put = ::write(fd, bytes, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += put;
    length -= static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace tessaline::release
