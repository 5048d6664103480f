#include "durable_file.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "file_descriptor.h"
#include "release_signing.h"

namespace tessaline::release {

void WriteDurably(const std::filesystem::path& path, std::string_view data) {
  FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.Get() < 0) throw ReleaseToolError("cannot create " + path.string() + ": " + std::strerror(errno));
  if (!WriteFully(out.Get(), data.data(), data.size()) || ::fsync(out.Get()) != 0 || !out.Close()) {
    throw ReleaseToolError("cannot write " + path.string() + ": " + std::strerror(errno));
  }
}

bool SyncFolder(const std::filesystem::path& folder) {
  FileDescriptor handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return handle.Get() >= 0 && ::fsync(handle.Get()) == 0 && handle.Close();
}

}  // namespace tessaline::release
