#include "site_lock.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>

#include "release_signing.h"

namespace tessaline::release {

SiteLock::SiteLock(const std::filesystem::path& site)
    : folder_(::open(site.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (folder_.Get() < 0) throw ReleaseToolError("cannot open the site " + site.string() + ": " + std::strerror(errno));
  if (::flock(folder_.Get(), LOCK_EX | LOCK_NB) == 0) return;
  if (errno == EWOULDBLOCK) {
    throw ReleaseToolError("another publish or refresh is at work on " + site.string() + "; try again when it is done");
  }
  throw ReleaseToolError("cannot lock the site " + site.string() + ": " + std::strerror(errno));
}

}  // namespace tessaline::release
