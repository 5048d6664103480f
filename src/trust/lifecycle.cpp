#include "trust/lifecycle.h"

#include <windows.h>

#include <array>
#include <cwchar>

#include "common/product_constants.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "trust/semantic_version.h"

namespace tessaline {

const char* LifecycleActionText(LifecycleAction action) {
  switch (action) {
    case LifecycleAction::Install:
      return "install";
    case LifecycleAction::Update:
      return "update";
    case LifecycleAction::Repair:
      return "repair";
    case LifecycleAction::BlockDowngrade:
      return "block-downgrade";
  }
  return "install";
}

LifecycleDecision DecideLifecycle(std::string_view installed, std::string_view available) {
  ParseSemanticVersion(available);
  LifecycleDecision decision;
  decision.availableVersion = std::string(available);
  if (installed.empty()) {
    decision.action = LifecycleAction::Install;
    return decision;
  }
  const int c = CompareSemanticVersions(installed, available);
  decision.action = c < 0 ? LifecycleAction::Update : (c == 0 ? LifecycleAction::Repair : LifecycleAction::BlockDowngrade);
  decision.installedVersion = std::string(installed);
  return decision;
}

std::string ReadInstalledVersion() {
  UniqueRegistryKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS) return {};

  constexpr DWORD kUnits = 256;
  std::array<wchar_t, kUnits> buffer{};
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  const LSTATUS status =
      RegQueryValueExW(key.Get(), kDisplayVersionValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
  key.Reset();
  if (status != ERROR_SUCCESS || type != REG_SZ || size < 2) return {};

  // Stored text without room for its terminating zero counts as absent.
  const std::size_t length = wcsnlen(buffer.data(), kUnits);
  if (length == kUnits) return {};

  std::string text = WideToUtf8(std::wstring_view(buffer.data(), length));
  if (text.empty()) return {};
  try {
    ParseSemanticVersion(text);
  } catch (const std::exception&) {
    return {};
  }
  return text;
}

}  // namespace tessaline
