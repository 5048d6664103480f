// One installation at a time for the current user, in all of the user's
// sessions at once: two Setups (or a Setup and an uninstall) would otherwise
// assemble, replace and unpack the same files of the installer cache and the
// installation at once, and one's recovery would undo the other's live work.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

#include "common/unique_handle.h"

namespace tessaline {

class InstallationLock {
 public:
  // Opens the user's lock without taking it. Raises "Unable to lock the
  // Tessaline installation" with the Windows error.
  InstallationLock();
  ~InstallationLock();
  InstallationLock(const InstallationLock&) = delete;
  InstallationLock& operator=(const InstallationLock&) = delete;

  // Takes the lock, waiting as long as another process holds it, or at most
  // `limit`; a holder that died gives it up at once. `waiting` is called
  // once, on the first wait. Returns false, without the lock, when `cancel`
  // is set or the limit passes first.
  bool Acquire(const std::atomic<bool>* cancel, const std::function<void()>& waiting,
               std::optional<std::chrono::milliseconds> limit = std::nullopt);

 private:
  UniqueHandle mutex_;
  bool held_ = false;
};

}  // namespace tessaline
