#include "trust/release_manifest.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>

#include "build_config.h"
#include "common/download_url.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "trust/release_freshness.h"

namespace tessaline {
namespace {

using Json = nlohmann::json;

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

// The file a name opens in a folder, as Windows finds it: trailing dots and
// spaces are dropped and letter case does not count.
std::wstring FileKey(std::wstring name) {
  while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
  return name;
}

struct SameFileLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
  }
};

// A member that must be an unsigned integer. The JSON library converts any
// number to the type asked for: a negative one wraps (a negative part size
// could wrap the running total back to the package size), a fraction is cut,
// and a float beyond the type's range is undefined behaviour. So another
// number raises `refusal` before any conversion; a member that is no number
// at all still raises the library's own type error.
std::uint64_t ReadUnsigned(const Json& value, const char* refusal) {
  if (value.is_number() && !value.is_number_unsigned()) throw SetupError(refusal);
  return value.get<std::uint64_t>();
}

// The form Windows gives a long name as its 8.3 alias: a base of at most 8
// characters ending in '~' and digits, and at most one extension of at most 3
// ("TESSAL~1.001" for "Tessaline-1.0.0-windows-x64.tar.gz.001"). Such a name
// opens the long-named file it aliases, so one part could be written over
// another's file. Every file in the installer cache is one Setup created
// under a long name, so its alias takes this form and no other; a '~'
// anywhere else stays an ordinary character.
bool IsShortNameAlias(std::wstring_view name) {
  const std::size_t dot = name.find(L'.');
  const std::wstring_view base = name.substr(0, dot);
  const std::wstring_view extension = dot == std::wstring_view::npos ? std::wstring_view() : name.substr(dot + 1);
  if (base.size() > 8 || extension.size() > 3 || extension.find(L'.') != std::wstring_view::npos) return false;
  const std::size_t tilde = base.rfind(L'~');
  if (tilde == std::wstring_view::npos || tilde + 1 == base.size()) return false;
  return std::all_of(base.begin() + tilde + 1, base.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

PackagePart ReadPart(const Json& element, const char* refusal) {
  PackagePart part;
  part.name = element.at("name").get<std::string>();
  part.size = ReadUnsigned(element.at("size"), refusal);
  part.sha256 = element.at("sha256").get<std::string>();
  part.url = Utf8ToWide(element.at("url").get<std::string>());
  return part;
}

// A part's file goes into the installer cache under its name, and its bytes
// come only from the package host.
bool PartIsSafe(const PackagePart& part) {
  return IsSafeFileName(part.name) && part.sha256.size() == 64 && part.size != 0 &&
         EqualsIgnoringCase(CrackDownloadUrl(part.url).host, kPackageHost);
}

}  // namespace

bool IsSafeFileName(std::string_view name) {
  if (name.empty()) return false;
  const std::wstring wide = Utf8ToWide(name);
  const std::filesystem::path path(wide);
  if (path.filename() != path) return false;
  // "." and ".." pass the file-name test but name the folder itself or its parent.
  if (path == L"." || path == L"..") return false;
  // What Windows would not store under this name: a ':' opens a stream of
  // another file, the other reserved characters fail, and trailing dots and
  // spaces are cut, so that the name becomes another file's.
  for (const wchar_t c : wide) {
    if (c < 0x20 || std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos) return false;
  }
  if (wide.back() == L'.' || wide.back() == L' ') return false;
  // Device names, with or without an extension, open the device instead.
  std::wstring stem = wide.substr(0, wide.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  for (wchar_t& c : stem) c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (stem == device) return false;
  }
  // COM1-COM9 and LPT1-LPT9, and the superscript digits Windows also reads as such.
  if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
    const wchar_t digit = stem[3];
    if ((digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3') return false;
  }
  return !IsShortNameAlias(wide);
}

ReleaseManifest ParseReleaseManifest(const std::vector<std::uint8_t>& bytes) {
  const Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, true, false);

  constexpr const char* kUnsupported = "Unsupported Tessaline release manifest";
  if (ReadUnsigned(document.value("schemaVersion", Json(0)), kUnsupported) != 1 ||
      document.value("product", std::string()) != "Tessaline" ||
      document.value("channel", std::string()) != "stable" ||
      document.value("platform", std::string()) != "windows-x64") {
    throw SetupError(kUnsupported);
  }

  ReleaseManifest manifest;
  manifest.version = document.at("version").get<std::string>();
  manifest.filename = document.at("filename").get<std::string>();
  manifest.size = ReadUnsigned(document.at("size"), "Unsafe Tessaline release metadata");
  manifest.sha256 = document.at("sha256").get<std::string>();
  if (!IsSafeFileName(manifest.filename) || manifest.sha256.size() != 64 || manifest.size == 0) {
    throw SetupError("Unsafe Tessaline release metadata");
  }
  if (const auto sequence = document.find("sequence"); sequence != document.end()) {
    manifest.sequence = ReadUnsigned(*sequence, "Unsafe Tessaline release metadata");
  }
  if (const auto expires = document.find("expires"); expires != document.end()) {
    manifest.expires = ParseUtcTime(expires->get<std::string>());
    if (!manifest.expires) throw SetupError("Unsafe Tessaline release metadata");
  }

  // Each part has a file of its own in the installer cache, beside the
  // package and the package being assembled.
  const std::wstring package = Utf8ToWide(manifest.filename);
  std::set<std::wstring, SameFileLess> taken{FileKey(package), FileKey(package + L".partial")};
  std::uint64_t total = 0;
  bool overflow = false;
  for (const Json& element : document.at("parts")) {
    PackagePart part = ReadPart(element, "Unsafe Tessaline package part");
    if (!PartIsSafe(part) || !taken.insert(FileKey(Utf8ToWide(part.name))).second) {
      throw SetupError("Unsafe Tessaline package part");
    }
    overflow = overflow || part.size > std::numeric_limits<std::uint64_t>::max() - total;
    total += part.size;
    manifest.parts.push_back(std::move(part));
  }
  if (manifest.parts.empty() || overflow || total != manifest.size) {
    throw SetupError("Inconsistent package part sizes");
  }
  // Unlike the chunk map, the Setup is part of the release: a broken one
  // refuses the release, as a broken part does.
  const auto setup = document.find("setup");
  if (setup != document.end()) {
    constexpr const char* kUnsafeSetup = "Unsafe Tessaline Setup in the release";
    PackagePart part = ReadPart(*setup, kUnsafeSetup);
    if (!PartIsSafe(part) || part.size > kReleaseSetupLimit || !taken.insert(FileKey(Utf8ToWide(part.name))).second) {
      throw SetupError(kUnsafeSetup);
    }
    manifest.setup = std::move(part);
  }
  // Only an update's shortcut: whatever is wrong with it leaves Setup
  // downloading whole parts, never failing an installation that would
  // succeed without it.
  const auto map = document.find("chunkMap");
  if (map != document.end()) {
    try {
      PackagePart part = ReadPart(*map, "Unsafe Tessaline chunk map");
      if (PartIsSafe(part) && part.size <= kChunkMapLimit && taken.insert(FileKey(Utf8ToWide(part.name))).second) {
        manifest.chunkMap = std::move(part);
      }
    } catch (const std::exception&) {
    }
  }
  return manifest;
}

}  // namespace tessaline
