// One publish or refresh at a time on a site: both replace its manifest, and
// a refresh that read the site before a publish replaced it would sign the
// old release over the new one.
#pragma once

#include <filesystem>

#include "file_descriptor.h"

namespace tessaline::release {

class SiteLock {
 public:
  // Takes the lock on the existing folder `site`, held until destruction.
  // Throws ReleaseToolError when another process holds it: it does not wait,
  // since a second signing meanwhile would be signed from what it replaces.
  explicit SiteLock(const std::filesystem::path& site);

 private:
  FileDescriptor folder_;
};

}  // namespace tessaline::release
