// What Setup does with an offered release, given what is installed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaline {

enum class LifecycleAction : std::int32_t {
  Install = 0,         // nothing valid is installed
  Update = 1,          // the installed version is lower
  Repair = 2,          // the same precedence
  BlockDowngrade = 3,  // the installed version is higher
};

struct LifecycleDecision {
  LifecycleAction action = LifecycleAction::Install;
  std::string installedVersion;  // UTF-8, as read; empty for Install
  std::string availableVersion;  // UTF-8, as given by the manifest
};

// "install", "update", "repair" or "block-downgrade".
const char* LifecycleActionText(LifecycleAction action);

// An empty `installed` means nothing is installed. The available version is
// always validated; parse failures propagate.
LifecycleDecision DecideLifecycle(std::string_view installed, std::string_view available);

// The version recorded by the last installation (UTF-8, unchanged), or empty
// when none is recorded or what is recorded is not a valid version. Never
// raises for registry or format problems.
std::string ReadInstalledVersion();

}  // namespace tessaline
