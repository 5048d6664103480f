#include "installation/installation_lock.h"

#include <string>

#include "common/current_user.h"
#include "common/setup_error.h"

namespace tessaline {
namespace {

constexpr DWORD kCancelCheckMs = 100;

}  // namespace

InstallationLock::InstallationLock() {
  // The installation and the installer cache are the user's in every session
  // (the console, a remote desktop, a scheduled task in session 0), so the
  // name is in the global namespace; a mutex there needs no privilege.
  // The user's SID names the lock, so another account in the same session
  // (an elevated or "run as" Setup) has its own.
  const std::wstring name =
      L"Global\\Quorvant.Tessaline.Installation." + CurrentUserSid("Unable to lock the Tessaline installation");
  mutex_.Reset(CreateMutexW(nullptr, FALSE, name.c_str()));
  // Created by an elevated Setup of this user, the lock grants a normal one
  // no more than waiting and releasing: asking for all rights is refused.
  if (!mutex_ && GetLastError() == ERROR_ACCESS_DENIED) {
    mutex_.Reset(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
    if (!mutex_) mutex_.Reset(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
  }
  if (!mutex_) RaiseWindowsError("Unable to lock the Tessaline installation");
}

InstallationLock::~InstallationLock() {
  if (held_) ReleaseMutex(mutex_.Get());
}

bool InstallationLock::Acquire(const std::atomic<bool>* cancel, const std::function<void()>& waiting,
                               std::optional<std::chrono::milliseconds> limit) {
  const auto start = std::chrono::steady_clock::now();
  bool told = false;
  while (true) {
    // WAIT_ABANDONED: the holder ended without releasing it, and nothing it
    // did is half-way in memory; what it left on disk the caller recovers.
    const DWORD result = WaitForSingleObject(mutex_.Get(), kCancelCheckMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
      held_ = true;
      return true;
    }
    if (result != WAIT_TIMEOUT) RaiseWindowsError("Unable to lock the Tessaline installation");
    if (cancel != nullptr && cancel->load()) return false;
    if (limit && std::chrono::steady_clock::now() - start >= *limit) return false;
    if (!told && waiting) waiting();
    told = true;
  }
}

}  // namespace tessaline
