// Checks the resources linked into TessalineSetup.exe the way Windows reads
// them: the version record Explorer shows, the icon the shell picks and the
// manifest the loader applies. The exe is expected beside this test.

// RT_ICON, RT_MANIFEST and friends follow UNICODE; the W calls need them wide.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

constexpr std::wstring_view kSetupExeName = L"TessalineSetup.exe";
constexpr int kProductIconId = 1;

constexpr std::string_view kNs2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings";
constexpr std::string_view kNs2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings";
constexpr std::string_view kWindows10Id = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}";

struct ModuleFree {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree>;

struct IconDestroy {
  void operator()(HICON icon) const { DestroyIcon(icon); }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroy>;

struct GdiObjectDelete {
  void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using UniqueBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiObjectDelete>;

std::wstring SetupExePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);  // truncated
  }
  const auto separator = path.find_last_of(L"\\/");
  path.resize(separator == std::wstring::npos ? 0 : separator + 1);
  return path.append(kSetupExeName);
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

// Splits "0.1.0" into {0, 1, 0}; nullopt for anything but dot-separated numbers.
std::optional<std::vector<unsigned>> ParseDottedVersion(std::string_view text) {
  std::vector<unsigned> numbers;
  unsigned value = 0;
  bool digits = false;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<unsigned>(c - '0');
      digits = true;
    } else if (c == '.' && digits) {
      numbers.push_back(value);
      value = 0;
      digits = false;
    } else {
      return std::nullopt;
    }
  }
  if (!digits) return std::nullopt;
  numbers.push_back(value);
  return numbers;
}

// ---------------------------------------------------------------------------
// Version record

class VersionInfo {
 public:
  explicit VersionInfo(const std::wstring& path) {
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &unused);
    if (size == 0) return;
    data_.resize(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data_.data())) data_.clear();
  }

  bool loaded() const { return !data_.empty(); }

  std::optional<std::span<const BYTE>> Query(const std::wstring& sub_block) {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data_.data(), sub_block.c_str(), &value, &length) || value == nullptr) {
      return std::nullopt;
    }
    return std::span<const BYTE>(static_cast<const BYTE*>(value), length);
  }

  // For string values VerQueryValueW reports the length in characters,
  // usually counting the terminator, so the result is cut at the first NUL.
  std::optional<std::wstring> String(const std::wstring& block, const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring sub_block = L"\\StringFileInfo\\" + block + L"\\" + name;
    if (!VerQueryValueW(data_.data(), sub_block.c_str(), &value, &length) || value == nullptr) {
      return std::nullopt;
    }
    const auto* text = static_cast<const wchar_t*>(value);
    return std::wstring(text, wcsnlen(text, length));
  }

 private:
  std::vector<BYTE> data_;
};

struct Translation {
  WORD language;
  WORD code_page;
};

class SetupVersionInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(info_.loaded()) << "no version record in " << Narrow(path_)
                                << " (error " << GetLastError() << ")";
  }

  std::vector<Translation> Translations() {
    std::vector<Translation> out;
    if (const auto raw = info_.Query(L"\\VarFileInfo\\Translation")) {
      for (size_t offset = 0; offset + sizeof(Translation) <= raw->size();
           offset += sizeof(Translation)) {
        Translation entry;
        std::memcpy(&entry, raw->data() + offset, sizeof entry);
        out.push_back(entry);
      }
    }
    return out;
  }

  // Explorer looks the strings up under the block the first translation
  // names, so the strings are read from there rather than a fixed name.
  std::wstring StringBlock() {
    const auto translations = Translations();
    if (translations.empty()) return {};
    wchar_t name[9];
    swprintf(name, 9, L"%04x%04x", translations.front().language, translations.front().code_page);
    return name;
  }

  std::optional<VS_FIXEDFILEINFO> Fixed() {
    const auto raw = info_.Query(L"\\");
    if (!raw || raw->size() < sizeof(VS_FIXEDFILEINFO)) return std::nullopt;
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, raw->data(), sizeof fixed);
    return fixed;
  }

  std::wstring path_ = SetupExePath();
  VersionInfo info_{path_};
};

TEST_F(SetupVersionInfo, TranslationIsUsEnglishUnicode) {
  const auto translations = Translations();
  ASSERT_FALSE(translations.empty()) << "no \\VarFileInfo\\Translation";
  EXPECT_EQ(translations.front().language, 0x0409);
  EXPECT_EQ(translations.front().code_page, 1200);
}

TEST_F(SetupVersionInfo, StringsNameTheProduct) {
  const std::wstring block = StringBlock();
  ASSERT_FALSE(block.empty());

  const struct {
    const wchar_t* name;
    const wchar_t* expected;
  } strings[] = {
      {L"ProductName", L"Tessaline"},
      {L"FileDescription", L"Tessaline Windows Setup"},
      {L"InternalName", L"TessalineSetup"},
      {L"OriginalFilename", L"TessalineSetup.exe"},
      {L"CompanyName", L"Quorvant Inc."},
  };
  for (const auto& s : strings) {
    const auto value = info_.String(block, s.name);
    ASSERT_TRUE(value.has_value()) << Narrow(s.name) << " missing from block " << Narrow(block);
    EXPECT_EQ(*value, s.expected) << Narrow(s.name);
  }
}

// The numeric and the text versions are written separately; a release that
// bumps one and not the other shows two versions in Explorer.
TEST_F(SetupVersionInfo, FixedVersionAgreesWithStrings) {
  const auto fixed = Fixed();
  ASSERT_TRUE(fixed.has_value());
  EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  const std::wstring block = StringBlock();
  ASSERT_FALSE(block.empty());
  const struct {
    const wchar_t* name;
    DWORD ms;
    DWORD ls;
  } versions[] = {
      {L"FileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS},
      {L"ProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS},
  };
  for (const auto& v : versions) {
    const auto text = info_.String(block, v.name);
    ASSERT_TRUE(text.has_value()) << Narrow(v.name) << " missing";
    EXPECT_EQ(*text, L"0.1.0") << Narrow(v.name);
    auto numbers = ParseDottedVersion(Narrow(*text));
    ASSERT_TRUE(numbers.has_value()) << Narrow(v.name) << " is not a version: " << Narrow(*text);
    numbers->resize(4, 0);
    EXPECT_EQ((*numbers)[0], HIWORD(v.ms)) << Narrow(v.name);
    EXPECT_EQ((*numbers)[1], LOWORD(v.ms)) << Narrow(v.name);
    EXPECT_EQ((*numbers)[2], HIWORD(v.ls)) << Narrow(v.name);
    EXPECT_EQ((*numbers)[3], LOWORD(v.ls)) << Narrow(v.name);
  }
}

// ---------------------------------------------------------------------------
// Icon and manifest, read from the image without running it

#pragma pack(push, 2)
struct GroupIconDir {
  WORD reserved;
  WORD type;  // 1 for icons
  WORD count;
};
struct GroupIconEntry {
  BYTE width;  // 0 means 256
  BYTE height;
  BYTE color_count;
  BYTE reserved;
  WORD planes;
  WORD bit_count;
  DWORD bytes_in_res;
  WORD id;  // RT_ICON resource holding the frame
};
#pragma pack(pop)
static_assert(sizeof(GroupIconDir) == 6);
static_assert(sizeof(GroupIconEntry) == 14);

int PixelSize(BYTE stored) { return stored == 0 ? 256 : stored; }

class SetupImage : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.reset(LoadLibraryExW(path_.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module_) << "cannot open " << Narrow(path_) << " (error " << GetLastError()
                         << ")";
  }

  std::optional<std::span<const BYTE>> Resource(LPCWSTR name, LPCWSTR type) const {
    HRSRC found = FindResourceW(module_.get(), name, type);
    if (!found) return std::nullopt;
    HGLOBAL loaded = LoadResource(module_.get(), found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return std::nullopt;
    return std::span<const BYTE>(static_cast<const BYTE*>(data),
                                 SizeofResource(module_.get(), found));
  }

  std::optional<std::span<const BYTE>> IconGroup() const {
    return Resource(MAKEINTRESOURCEW(kProductIconId), RT_GROUP_ICON);
  }

  // Entries of the product icon group; fails the test on a malformed one.
  std::vector<GroupIconEntry> IconEntries() const {
    std::vector<GroupIconEntry> entries;
    const auto group = IconGroup();
    if (!group) {
      ADD_FAILURE() << "no RT_GROUP_ICON " << kProductIconId;
      return entries;
    }
    GroupIconDir dir{};
    if (group->size() < sizeof dir) {
      ADD_FAILURE() << "icon group of " << group->size() << " bytes";
      return entries;
    }
    std::memcpy(&dir, group->data(), sizeof dir);
    EXPECT_EQ(dir.reserved, 0);
    EXPECT_EQ(dir.type, 1);
    if (group->size() < sizeof dir + dir.count * sizeof(GroupIconEntry)) {
      ADD_FAILURE() << "icon group of " << group->size() << " bytes claims " << dir.count
                    << " entries";
      return entries;
    }
    for (WORD i = 0; i < dir.count; ++i) {
      GroupIconEntry entry;
      std::memcpy(&entry, group->data() + sizeof dir + i * sizeof entry, sizeof entry);
      entries.push_back(entry);
    }
    return entries;
  }

  std::wstring path_ = SetupExePath();
  UniqueModule module_;
};

TEST_F(SetupImage, IconGroupHasShellSizes) {
  ASSERT_NE(FindResourceW(module_.get(), MAKEINTRESOURCEW(kProductIconId), RT_GROUP_ICON),
            nullptr);
  const auto entries = IconEntries();
  std::set<int> sizes;
  for (const auto& entry : entries) {
    const int size = PixelSize(entry.width);
    sizes.insert(size);
    EXPECT_EQ(entry.width, entry.height) << size << " px frame is not square";
    EXPECT_EQ(entry.bit_count, 32) << size << " px frame has no alpha channel";

    // The group only points at the frames; each must be there, whole.
    const auto frame = Resource(MAKEINTRESOURCEW(entry.id), RT_ICON);
    ASSERT_TRUE(frame.has_value()) << "RT_ICON " << entry.id << " (" << size << " px) missing";
    EXPECT_EQ(frame->size(), entry.bytes_in_res) << size << " px frame";
  }
  for (const int wanted : {16, 32, 48, 256}) {
    EXPECT_EQ(sizes.count(wanted), 1u) << "no " << wanted << " px frame";
  }
}

// Each frame is a rounded square: transparent in the corner, opaque in the
// middle. A frame written without alpha would show a square with black or
// white corners on the taskbar.
TEST_F(SetupImage, IconFramesAreTransparentOutsideTheSquare) {
  const auto entries = IconEntries();
  ASSERT_FALSE(entries.empty());
  for (const auto& entry : entries) {
    const int size = PixelSize(entry.width);
    const auto frame = Resource(MAKEINTRESOURCEW(entry.id), RT_ICON);
    ASSERT_TRUE(frame.has_value()) << size << " px";

    constexpr BYTE kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (frame->size() >= 8 && std::memcmp(frame->data(), kPngSignature, 8) == 0) {
      // IHDR follows the signature: length, "IHDR", width, height, depth, colour type.
      ASSERT_GE(frame->size(), 8u + 8u + 10u) << size << " px";
      const BYTE* ihdr = frame->data() + 8 + 8;
      const auto be32 = [](const BYTE* p) {
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
      };
      EXPECT_EQ(be32(ihdr), static_cast<uint32_t>(size));
      EXPECT_EQ(be32(ihdr + 4), static_cast<uint32_t>(size));
      EXPECT_EQ(ihdr[9], 6) << size << " px PNG frame is not RGBA";
      continue;
    }

    BITMAPINFOHEADER header;
    ASSERT_GE(frame->size(), sizeof header) << size << " px";
    std::memcpy(&header, frame->data(), sizeof header);
    ASSERT_EQ(header.biBitCount, 32) << size << " px";
    ASSERT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB)) << size << " px";
    ASSERT_EQ(header.biWidth, size);
    ASSERT_EQ(header.biHeight, 2 * size) << "colour and mask heights";
    const size_t pixels = static_cast<size_t>(size) * size * 4;
    ASSERT_GE(frame->size(), header.biSize + pixels) << size << " px";

    // Rows run bottom-up, BGRA.
    const BYTE* bgra = frame->data() + header.biSize;
    const auto alpha = [&](int x, int y) -> int {
      return bgra[(static_cast<size_t>(size - 1 - y) * size + x) * 4 + 3];
    };
    EXPECT_EQ(alpha(0, 0), 0) << size << " px corner";
    EXPECT_EQ(alpha(size - 1, size - 1), 0) << size << " px corner";
    EXPECT_EQ(alpha(size / 2, size / 2), 255) << size << " px centre";
    EXPECT_EQ(alpha(size / 2, size / 8), 255) << size << " px inside the square";
  }
}

TEST_F(SetupImage, IconLoadsAtShellSizes) {
  const auto group = IconGroup();
  ASSERT_TRUE(group.has_value());
  const auto entries = IconEntries();

  for (const int size : {16, 32, 48, 256}) {
    SCOPED_TRACE(testing::Message() << size << " px");
    UniqueIcon icon(static_cast<HICON>(
        LoadImageW(module_.get(), MAKEINTRESOURCEW(kProductIconId), IMAGE_ICON, size, size, 0)));
    ASSERT_TRUE(icon) << "LoadImageW failed (error " << GetLastError() << ")";

    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon.get(), &info));
    UniqueBitmap color(info.hbmColor);
    UniqueBitmap mask(info.hbmMask);
    ASSERT_TRUE(color) << "loaded as a monochrome icon";
    BITMAP bitmap{};
    ASSERT_TRUE(GetObjectW(color.get(), sizeof bitmap, &bitmap));
    EXPECT_EQ(bitmap.bmWidth, size);
    EXPECT_EQ(bitmap.bmHeight, size);

    // The frame Windows picks for this size should be drawn for it, not
    // scaled from another.
    const int id = LookupIconIdFromDirectoryEx(const_cast<BYTE*>(group->data()), TRUE, size,
                                               size, LR_DEFAULTCOLOR);
    ASSERT_NE(id, 0);
    bool found = false;
    for (const auto& entry : entries) {
      if (entry.id != id) continue;
      found = true;
      EXPECT_EQ(PixelSize(entry.width), size) << "picked frame " << id;
    }
    EXPECT_TRUE(found) << "picked frame " << id << " is not in the group";
  }
}

// Just enough XML to find elements and attributes in the manifest: comments
// are skipped, namespace prefixes ignored, and the content is the text up to
// the next tag.
struct Element {
  size_t offset;
  std::string_view start_tag;
  std::string_view text;
};

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<Element> FindElements(std::string_view xml, std::string_view name) {
  std::vector<Element> found;
  size_t pos = 0;
  while ((pos = xml.find('<', pos)) != std::string_view::npos) {
    if (xml.substr(pos, 4) == "<!--") {
      const size_t end = xml.find("-->", pos + 4);
      if (end == std::string_view::npos) break;
      pos = end + 3;
      continue;
    }
    const size_t close = xml.find('>', pos);
    if (close == std::string_view::npos) break;
    const std::string_view tag = xml.substr(pos, close - pos + 1);
    std::string_view tag_name = tag.substr(1, tag.find_first_of(" \t\r\n/>") - 1);
    if (const auto colon = tag_name.find(':'); colon != std::string_view::npos) {
      tag_name.remove_prefix(colon + 1);
    }
    if (tag_name == name) {
      std::string_view text;
      if (tag.size() < 2 || tag[tag.size() - 2] != '/') {
        const size_t next = xml.find('<', close);
        text = Trim(xml.substr(close + 1, next == std::string_view::npos ? next : next - close - 1));
      }
      found.push_back({pos, tag, text});
    }
    pos = close + 1;
  }
  return found;
}

std::optional<std::string_view> Attribute(std::string_view start_tag, std::string_view name) {
  size_t pos = 0;
  while ((pos = start_tag.find(name, pos)) != std::string_view::npos) {
    const size_t after = pos + name.size();
    const bool starts_word = pos > 0 && std::string_view(" \t\r\n").find(start_tag[pos - 1]) !=
                                            std::string_view::npos;
    size_t eq = after;
    while (eq < start_tag.size() && std::string_view(" \t\r\n").find(start_tag[eq]) !=
                                        std::string_view::npos) {
      ++eq;
    }
    if (starts_word && eq < start_tag.size() && start_tag[eq] == '=') {
      size_t quote = start_tag.find_first_of("\"'", eq + 1);
      if (quote == std::string_view::npos) return std::nullopt;
      const size_t end = start_tag.find(start_tag[quote], quote + 1);
      if (end == std::string_view::npos) return std::nullopt;
      return start_tag.substr(quote + 1, end - quote - 1);
    }
    pos = after;
  }
  return std::nullopt;
}

TEST(ManifestParsing, SkipsCommentsAndPrefixesAndMatchesWholeNames) {
  const std::string_view xml =
      "<a:root><!-- <item level=\"commented\"/> --><itemList/>"
      "<item xlevel=\"no\" level = 'yes'>  text  </item><b:item/></a:root>";
  const auto items = FindElements(xml, "item");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].text, "text");
  EXPECT_EQ(Attribute(items[0].start_tag, "level"), "yes");
  EXPECT_EQ(items[1].text, "");
  EXPECT_FALSE(Attribute(items[1].start_tag, "level").has_value());
}

class SetupManifest : public SetupImage {
 protected:
  void SetUp() override {
    SetupImage::SetUp();
    if (HasFatalFailure()) return;
    const auto raw = Resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_TRUE(raw.has_value()) << "no RT_MANIFEST 1 (the process manifest)";
    text_.assign(reinterpret_cast<const char*>(raw->data()), raw->size());
    if (text_.starts_with("\xEF\xBB\xBF")) text_.erase(0, 3);
    ASSERT_TRUE(text_.starts_with("<?xml") || text_.starts_with("<assembly"))
        << "manifest is not UTF-8 XML";
  }

  // The single element of that name; fails the test if absent or repeated.
  std::optional<Element> Only(std::string_view name) const {
    const auto found = FindElements(text_, name);
    if (found.size() != 1) {
      ADD_FAILURE() << found.size() << " <" << name << "> elements";
      return std::nullopt;
    }
    return found.front();
  }

  std::string text_;
};

TEST_F(SetupManifest, RunsAsInvoker) {
  const auto level = Only("requestedExecutionLevel");
  ASSERT_TRUE(level.has_value());
  EXPECT_EQ(Attribute(level->start_tag, "level"), "asInvoker");
  EXPECT_EQ(Attribute(level->start_tag, "uiAccess"), "false");
}

// Windows ignores these settings when they sit in the wrong namespace, so the
// namespace is checked along with the value.
TEST_F(SetupManifest, DeclaresPerMonitorV2WithFallback) {
  const auto awareness = Only("dpiAwareness");
  ASSERT_TRUE(awareness.has_value());
  EXPECT_EQ(awareness->text, "PerMonitorV2");
  EXPECT_EQ(Attribute(awareness->start_tag, "xmlns"), kNs2016);

  const auto aware = Only("dpiAware");
  ASSERT_TRUE(aware.has_value());
  EXPECT_EQ(aware->text, "true/pm");
  EXPECT_EQ(Attribute(aware->start_tag, "xmlns"), kNs2005);
}

TEST_F(SetupManifest, IsLongPathAware) {
  const auto element = Only("longPathAware");
  ASSERT_TRUE(element.has_value());
  EXPECT_EQ(element->text, "true");
  EXPECT_EQ(Attribute(element->start_tag, "xmlns"), kNs2016);
}

TEST_F(SetupManifest, DependsOnCommonControls6) {
  const auto dependents = FindElements(text_, "dependentAssembly");
  const Element* controls = nullptr;
  std::vector<Element> identities = FindElements(text_, "assemblyIdentity");
  for (const auto& identity : identities) {
    if (Attribute(identity.start_tag, "name") == "Microsoft.Windows.Common-Controls") {
      controls = &identity;
    }
  }
  ASSERT_NE(controls, nullptr) << "no Microsoft.Windows.Common-Controls identity";
  // Only an identity inside <dependentAssembly> is a dependency.
  ASSERT_FALSE(dependents.empty());
  const size_t dependent_end = text_.find("</dependentAssembly>", dependents.front().offset);
  EXPECT_GT(controls->offset, dependents.front().offset);
  EXPECT_LT(controls->offset, dependent_end);

  EXPECT_EQ(Attribute(controls->start_tag, "type"), "win32");
  EXPECT_EQ(Attribute(controls->start_tag, "version"), "6.0.0.0");
  EXPECT_EQ(Attribute(controls->start_tag, "processorArchitecture"), "*");
  EXPECT_EQ(Attribute(controls->start_tag, "publicKeyToken"), "6595b64144ccf1df");
  EXPECT_EQ(Attribute(controls->start_tag, "language"), "*");
}

TEST_F(SetupManifest, SupportsWindows10) {
  std::set<std::string_view> ids;
  for (const auto& os : FindElements(text_, "supportedOS")) {
    if (const auto id = Attribute(os.start_tag, "Id")) ids.insert(*id);
  }
  EXPECT_EQ(ids.count(kWindows10Id), 1u) << "Windows 10 supportedOS Id missing";
}

// The manifest names the program and its version too; keep it in step with
// the version record.
TEST_F(SetupManifest, IdentityMatchesVersionRecord) {
  const auto identities = FindElements(text_, "assemblyIdentity");
  ASSERT_FALSE(identities.empty());
  const Element& own = identities.front();  // the first one is the program's own
  EXPECT_EQ(Attribute(own.start_tag, "name"), "Quorvant.Tessaline.Setup");
  EXPECT_EQ(Attribute(own.start_tag, "type"), "win32");
  EXPECT_EQ(Attribute(own.start_tag, "processorArchitecture"), "amd64");

  const auto version_text = Attribute(own.start_tag, "version");
  ASSERT_TRUE(version_text.has_value());
  const auto version = ParseDottedVersion(*version_text);
  ASSERT_TRUE(version.has_value() && version->size() == 4)
      << "manifest version " << *version_text << " is not four numbers";

  VersionInfo info(path_);
  ASSERT_TRUE(info.loaded());
  const auto raw = info.Query(L"\\");
  ASSERT_TRUE(raw.has_value() && raw->size() >= sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, raw->data(), sizeof fixed);
  EXPECT_EQ((*version)[0], HIWORD(fixed.dwFileVersionMS));
  EXPECT_EQ((*version)[1], LOWORD(fixed.dwFileVersionMS));
  EXPECT_EQ((*version)[2], HIWORD(fixed.dwFileVersionLS));
  EXPECT_EQ((*version)[3], LOWORD(fixed.dwFileVersionLS));
}

// A manifest the loader rejects stops the exe from starting at all ("side-by-
// side configuration is incorrect"), so let the loader's own parser read it.
TEST_F(SetupManifest, LoaderAcceptsIt) {
  ACTCTXW context{};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path_.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE handle = CreateActCtxW(&context);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "CreateActCtxW failed (error " << GetLastError()
                                          << ")";
  ReleaseActCtx(handle);
}

}  // namespace
