#include "startup_smoke.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "app_files.h"
#include "common/unique_handle.h"
#include "sample_window.h"

namespace tessaline::sample {
namespace {

using UniqueFindHandle = UniqueFind;

struct Check {
  std::string name;
  bool passed = false;
  std::string detail;
};

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string ErrorDetail(const char* what, DWORD code) {
  return std::string(what) + " (Windows error " + std::to_string(code) + ")";
}

Check CheckExecutable() {
  const std::filesystem::path path = ExecutablePath();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (path.empty() || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return {"executable", false, ErrorDetail("own executable not found", GetLastError())};
  }
  return {"executable", true, WideToUtf8(path.native())};
}

Check CheckFolderListing(const std::filesystem::path& folder) {
  WIN32_FIND_DATAW found{};
  const UniqueFindHandle search(FindFirstFileW((folder / L"*").c_str(), &found));
  if (!search) return {"folder-listing", false, ErrorDetail("cannot list", GetLastError())};
  std::size_t entries = 0;
  do {
    ++entries;
  } while (FindNextFileW(search.Get(), &found));
  return {"folder-listing", true, std::to_string(entries) + " entries"};
}

// Versions are what a release names: a digit first, then letters, digits,
// dots, hyphens and plus signs.
Check CheckVersion(const std::wstring& version) {
  bool valid = !version.empty() && version.front() >= L'0' && version.front() <= L'9';
  for (const wchar_t c : version) {
    valid = valid && ((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                      c == L'.' || c == L'-' || c == L'+');
  }
  return {"version", valid, WideToUtf8(version)};
}

Check CheckBehaviourFile(const SampleBehaviour& behaviour) {
  if (behaviour.unknownLines.empty()) return {"behaviour-file", true, "understood"};
  std::string detail = "unknown lines:";
  for (const std::string& line : behaviour.unknownLines) detail += " [" + line + "]";
  return {"behaviour-file", false, detail};
}

Check CheckIcon(HINSTANCE instance) {
  const HANDLE icon = LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED);
  if (icon == nullptr) return {"icon", false, ErrorDetail("icon resource 1 missing", GetLastError())};
  return {"icon", true, "icon resource 1"};
}

Check CheckWindowClass(HINSTANCE instance) {
  if (!RegisterSampleWindowClass(instance)) {
    return {"window-class", false, ErrorDetail("cannot register the window class", GetLastError())};
  }
  UnregisterClassW(kSampleWindowClass, instance);
  return {"window-class", true, "registered"};
}

}  // namespace

int RunStartupSmoke(HINSTANCE instance, const std::filesystem::path& folder, const std::wstring& version,
                    const SampleBehaviour& behaviour, const std::filesystem::path& reportPath) {
  if (behaviour.smokeHang) {
    for (;;) Sleep(INFINITE);
  }

  const std::vector<Check> checks = {CheckExecutable(),  CheckFolderListing(folder), CheckVersion(version),
                                     CheckBehaviourFile(behaviour), CheckIcon(instance), CheckWindowClass(instance)};
  bool ok = true;
  for (const Check& check : checks) ok = ok && check.passed;

  // The checks say "passed", never "ok": Setup looks for "ok": true anywhere
  // in the report, and a failed report must not contain it.
  std::string report = std::string("{\"ok\": ") + (ok ? "true" : "false") + ", \"version\": " +
                       JsonString(WideToUtf8(version)) + ", \"checks\": [";
  for (std::size_t i = 0; i < checks.size(); ++i) {
    if (i > 0) report += ", ";
    report += "{\"name\": " + JsonString(checks[i].name) + ", \"passed\": " + (checks[i].passed ? "true" : "false") +
              ", \"detail\": " + JsonString(checks[i].detail) + "}";
  }
  report += "]}\n";

  bool written = true;
  if (behaviour.smokeBadReport) {
    written = WriteWholeFile(reportPath, "{\"ok\":true}");
  } else if (!behaviour.smokeNoReport) {
    written = WriteWholeFile(reportPath, report);
  }
  return ok && written && !behaviour.smokeExitOne ? 0 : 1;
}

}  // namespace tessaline::sample
