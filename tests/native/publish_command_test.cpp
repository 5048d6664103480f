// tessaline-release publish, run as the maker runs it: the site it writes is
// read back the way Setup and the servers will read it.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "package_parts.h"
#include "publish_inputs.h"
#include "release_manifest_writer.h"
#include "release_signing.h"
#include "trust/chunk_map.h"

extern char** environ;

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace tessaline::release {
namespace {

const char* const kManifestFolder = "release-service/api/v1/packages/tessaline/stable/windows-x64";

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

ChunkDigest Sha256Bytes(const std::string& data) {
  ChunkDigest digest{};
  EVP_Digest(data.data(), data.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
  return digest;
}

std::string Sha256Hex(const std::string& data) {
  std::string hex;
  char two[3];
  for (const std::uint8_t byte : Sha256Bytes(data)) {
    std::snprintf(two, sizeof(two), "%02x", byte);
    hex += two;
  }
  return hex;
}

std::uint64_t UnixNow() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// Seconds since 1970 of a time written exactly as 2027-03-01T00:00:00Z; 0 for any other form.
std::uint64_t Rfc3339Seconds(const std::string& text) {
  std::tm fields{};
  const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &fields);
  if (text.size() != 20 || end != text.c_str() + text.size()) return 0;
  return static_cast<std::uint64_t>(::timegm(&fields));
}

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a program with stdin from /dev/null and its output captured in files;
// `environment` adds NAME=VALUE entries to this process's.
RunResult RunProgram(const std::vector<std::string>& command, const fs::path& scratch,
                     const std::vector<std::string>& environment = {}) {
  const fs::path outPath = scratch.string() + ".stdout";
  const fs::path errPath = scratch.string() + ".stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_t pid = 0;
  RunResult result;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = ReadText(outPath);
  result.err = ReadText(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  return result;
}

// Every entry below `root`: relative path -> a regular file's content, "/"
// for a folder, "->" and its target for a link, "?" for anything else.
std::map<std::string, std::string> TreeOf(const fs::path& root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(e.path(), root).generic_string();
    if (e.is_symlink()) {
      tree[relative] = "->" + fs::read_symlink(e.path()).string();
    } else if (e.is_directory()) {
      tree[relative] = "/";
    } else if (e.is_regular_file()) {
      tree[relative] = ReadText(e.path());
    } else {
      tree[relative] = "?";
    }
  }
  return tree;
}

std::vector<std::string> NamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Incompressible(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Text-like bytes: words from a small vocabulary, which deflate shrinks.
std::string Compressible(std::size_t size, unsigned seed) {
  static const char* const kWords[] = {"tessera ", "mosaic ", "glass ", "gold ", "grout ", "pattern\n",
                                       "tile ",    "border ", "fern ",  "lime ", "stone ", "light\n"};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) text += kWords[random() % std::size(kWords)];
  text.resize(size);
  return text;
}

// The head of a 64-bit PE image without a certificate table, then `size`
// bytes of noise: what publish takes for an unsigned Setup.
std::string UnsignedPeImage(std::size_t size, unsigned seed) {
  std::string image(0x100, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40;                      // the PE signature's offset
  image.replace(0x40, 4, "PE\0\0", 4);
  image[0x58] = 0x0B;                      // PE32+ optional header
  image[0x59] = 0x02;
  image[0x58 + 108] = 16;                  // data directories, the certificate table's empty
  return image + Incompressible(size, seed);
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
  const std::string text = ReadText(path);
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

struct ArchiveEntryInfo {
  std::string path;
  bool isFolder = false;
  int perm = 0;
  long long mtime = -1;
};

std::vector<ArchiveEntryInfo> ListArchive(const fs::path& package) {
  std::vector<ArchiveEntryInfo> entries;
  archive* a = archive_read_new();
  archive_read_support_filter_all(a);
  archive_read_support_format_all(a);
  if (archive_read_open_filename(a, package.c_str(), 64 * 1024) == ARCHIVE_OK) {
    archive_entry* entry = nullptr;
    while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
      ArchiveEntryInfo info;
      const char* utf8 = archive_entry_pathname_utf8(entry);
      info.path = utf8 != nullptr ? utf8 : "";
      info.isFolder = archive_entry_filetype(entry) == AE_IFDIR;
      info.perm = static_cast<int>(archive_entry_perm(entry));
      info.mtime = static_cast<long long>(archive_entry_mtime(entry));
      entries.push_back(info);
    }
  }
  archive_read_free(a);
  return entries;
}

class PublishTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::setlocale(LC_ALL, "C.UTF-8");
    // Each test runs in its own process, several at once: one key folder each.
    const fs::path keys = fs::path(TESSALINE_TEST_WORK) / ("keys-" + std::to_string(getpid()));
    fs::remove_all(keys);
    fs::create_directories(keys);
    const PrivateKey key = GenerateP256Key();
    WritePrivateKeyPem(key, keys / "release-key.pem");
    publicKeyHex_ = PublicKeyHex(key);
    keyPath_ = keys / "release-key.pem";
  }

  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    work_ = fs::path(TESSALINE_TEST_WORK) / info->name();
    fs::remove_all(work_);
    fs::create_directories(work_);
  }

  // The application folder the tests publish.
  static void MakeApp(const fs::path& app) {
    WriteText(app / "Tessaline.exe", Incompressible(9000, 1));
    WriteText(app / "resources/fennor/bin/accelerations/x.bin", Incompressible(3000, 2));
    WriteText(app / "resources/fennor/bin/shaders.txt", std::string(2000, 's'));
    WriteText(app / "donn\xC3\xA9""es/r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt", "\xC3\xA9t\xC3\xA9\n");
    WriteText(app / "empty.dat", "");
    const std::string longName(120, 'n');
    WriteText(app / "deep/folder/with/a/long/path" / (longName + ".txt"), "long\n");
    fs::create_directories(app / "logs");
  }

  std::vector<std::string> PublishCommand(const fs::path& app, const fs::path& site,
                                          const std::string& version = "1.4.0-rc.2") const {
    return {TESSALINE_RELEASE_TOOL, "publish", "--app", app.string(), "--version", version,
            "--key", keyPath_.string(), "--package-url", kBase, "--out", site.string()};
  }

  RunResult Tool(std::vector<std::string> command, const std::vector<std::string>& environment = {}) const {
    return RunProgram(command, work_ / "run", environment);
  }

  static constexpr const char* kBase = "https://localhost:28444/quorvant/tessaline/releases/download/v1.4.0/";
  static inline std::string publicKeyHex_;
  static inline fs::path keyPath_;
  fs::path work_;
};

TEST_F(PublishTest, SplitReleaseIsSignedAndUnpacksToTheApplicationFolder) {
  const fs::path app = work_ / "app";
  const fs::path site = work_ / "site";
  MakeApp(app);
  const std::string setupBytes = UnsignedPeImage(4744, 9);
  WriteText(work_ / "built-setup.exe", setupBytes);
  std::vector<std::string> command = PublishCommand(app, site);
  command.insert(command.end(), {"--part-size", "4000", "--setup", (work_ / "built-setup.exe").string(),
                                 "--expires-in", "30"});
  const std::uint64_t startedAt = UnixNow();
  const RunResult run = Tool(command);
  const std::uint64_t endedAt = UnixNow();
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("packing: 6/6 files"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("splitting: "), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("public key: " + publicKeyHex_ + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1.4.0-rc.2"), std::string::npos) << run.out;
  // Only the site is left beside the inputs: the staging folder is gone.
  EXPECT_EQ(NamesIn(work_), (std::vector<std::string>{"app", "built-setup.exe", "site"}));

  // The manifest: every field with its JSON type, pretty-printed, final newline.
  const fs::path manifestPath = site / kManifestFolder / "manifest";
  const std::string manifestText = ReadText(manifestPath);
  ASSERT_FALSE(manifestText.empty());
  EXPECT_EQ(manifestText.rfind("{\n  \"schemaVersion\": 1,\n", 0), 0u) << manifestText;
  EXPECT_EQ(manifestText.back(), '\n');
  const Json manifest = Json::parse(manifestText);
  ASSERT_TRUE(manifest.is_object());
  EXPECT_EQ(manifest.size(), 13u);
  EXPECT_TRUE(manifest.at("schemaVersion").is_number_integer());
  EXPECT_EQ(manifest.at("schemaVersion"), 1);
  EXPECT_EQ(manifest.at("product"), "Tessaline");
  EXPECT_EQ(manifest.at("channel"), "stable");
  EXPECT_EQ(manifest.at("platform"), "windows-x64");
  EXPECT_EQ(manifest.at("version"), "1.4.0-rc.2");
  const std::string filename = manifest.at("filename").get<std::string>();
  EXPECT_EQ(filename, "Tessaline-1.4.0-rc.2-windows-x64.tar.gz");
  ASSERT_TRUE(manifest.at("size").is_number_unsigned());
  const std::uint64_t size = manifest.at("size").get<std::uint64_t>();
  const std::string sha256 = manifest.at("sha256").get<std::string>();
  EXPECT_EQ(sha256.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(sha256.size(), 64u);

  // The parts: named .001 on, 4000 bytes but the last, each as the manifest says.
  const Json& parts = manifest.at("parts");
  ASSERT_TRUE(parts.is_array());
  ASSERT_GE(parts.size(), 3u);
  const fs::path partFolder = site / "package-host/quorvant/tessaline/releases/download/v1.4.0";
  std::vector<std::string> expectedPartFiles;
  std::string assembled;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    SCOPED_TRACE("part " + std::to_string(i + 1));
    const Json& part = parts[i];
    EXPECT_EQ(part.size(), 4u);
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), ".%03zu", i + 1);
    const std::string name = part.at("name").get<std::string>();
    EXPECT_EQ(name, filename + suffix);
    EXPECT_EQ(part.at("url").get<std::string>(), std::string(kBase) + name);
    ASSERT_TRUE(part.at("size").is_number_unsigned());
    const std::uint64_t partSize = part.at("size").get<std::uint64_t>();
    if (i + 1 < parts.size()) {
      EXPECT_EQ(partSize, 4000u);
    } else {
      EXPECT_GT(partSize, 0u);
      EXPECT_LT(partSize, 4000u);
    }
    const std::string bytes = ReadText(partFolder / name);
    EXPECT_EQ(bytes.size(), partSize);
    EXPECT_EQ(Sha256Hex(bytes), part.at("sha256").get<std::string>());
    expectedPartFiles.push_back(name);
    assembled += bytes;
    total += partSize;
  }
  EXPECT_EQ(total, size);
  EXPECT_EQ(assembled.size(), size);
  EXPECT_EQ(Sha256Hex(assembled), sha256);
  EXPECT_EQ(ReadText(site / "package" / filename), assembled);

  // The chunk map, last in the manifest, beside the parts; it covers the whole package.
  EXPECT_LT(manifestText.find("\n  \"parts\": ["), manifestText.find("\n  \"chunkMap\": {"));
  const Json& chunkMapEntry = manifest.at("chunkMap");
  EXPECT_EQ(chunkMapEntry.size(), 4u);
  const std::string chunkMapName = filename + ".chunks";
  EXPECT_EQ(chunkMapEntry.at("name"), chunkMapName);
  EXPECT_EQ(chunkMapEntry.at("url"), std::string(kBase) + chunkMapName);
  const std::string chunkMapBytes = ReadText(partFolder / chunkMapName);
  EXPECT_EQ(chunkMapEntry.at("size"), chunkMapBytes.size());
  EXPECT_EQ(chunkMapEntry.at("sha256"), Sha256Hex(chunkMapBytes));
  // The Setup beside the parts, listed as a part is, so Setup can fetch and check it the same way.
  const Json& setupEntry = manifest.at("setup");
  EXPECT_EQ(setupEntry.size(), 4u);
  EXPECT_EQ(setupEntry.at("name"), "TessalineSetup.exe");
  EXPECT_EQ(setupEntry.at("url"), std::string(kBase) + "TessalineSetup.exe");
  EXPECT_EQ(setupEntry.at("size"), setupBytes.size());
  EXPECT_EQ(setupEntry.at("sha256"), Sha256Hex(setupBytes));
  EXPECT_EQ(ReadText(partFolder / "TessalineSetup.exe"), setupBytes);
  // A first signing's sequence is the time it was made; it expires 30 days on, to the second.
  ASSERT_TRUE(manifest.at("sequence").is_number_unsigned());
  const std::uint64_t sequence = manifest.at("sequence").get<std::uint64_t>();
  EXPECT_GE(sequence, startedAt);
  EXPECT_LE(sequence, endedAt);
  const std::string expires = manifest.at("expires").get<std::string>();
  EXPECT_EQ(Rfc3339Seconds(expires), sequence + 30 * 86400) << expires;
  const std::optional<ChunkMap> chunkMap = DecodeChunkMap(std::vector<std::uint8_t>(chunkMapBytes.begin(), chunkMapBytes.end()));
  ASSERT_TRUE(chunkMap.has_value());
  EXPECT_EQ(chunkMap->TotalLength(), size);
  EXPECT_EQ(chunkMap->chunks.front().sha256, Sha256Bytes(assembled.substr(0, chunkMap->chunks.front().length)));
  // A gzip stream whose header carries no time stamp, so that republishing gives the same bytes.
  ASSERT_GT(assembled.size(), 8u);
  EXPECT_EQ(assembled.substr(0, 2), "\x1f\x8b");
  EXPECT_EQ(assembled.substr(4, 4), std::string(4, '\0'));

  // The exact layout of the site, and nothing else in it.
  std::map<std::string, std::string> layout = TreeOf(site);
  std::vector<std::string> files;
  for (const auto& [path, content] : layout) {
    if (content != "/") files.push_back(path);
  }
  std::vector<std::string> expectedFiles = {"package/" + filename,
                                            std::string(kManifestFolder) + "/manifest",
                                            std::string(kManifestFolder) + "/manifest.sig"};
  expectedPartFiles.push_back(chunkMapName);
  expectedPartFiles.push_back("TessalineSetup.exe");
  for (const std::string& name : expectedPartFiles) {
    expectedFiles.push_back("package-host/quorvant/tessaline/releases/download/v1.4.0/" + name);
  }
  std::sort(expectedFiles.begin(), expectedFiles.end());
  EXPECT_EQ(files, expectedFiles);

  // The signature is Setup's 64-byte form and verifies with the key's public half.
  const fs::path signaturePath = site / kManifestFolder / "manifest.sig";
  EXPECT_EQ(fs::file_size(signaturePath), 64u);
  const RunResult verify = Tool({TESSALINE_RELEASE_TOOL, "verify", "--public-key", publicKeyHex_, "--manifest",
                                 manifestPath.string(), "--signature", signaturePath.string()});
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  EXPECT_NE(verify.out.find("sequence: " + std::to_string(sequence) + "\nexpires: " + expires + "\n"),
            std::string::npos)
      << verify.out;
  EXPECT_NE(verify.out.find("setup: TessalineSetup.exe (5000 bytes, SHA-256 " + Sha256Hex(setupBytes) +
                            ")\nsetup URL: " + kBase + "TessalineSetup.exe\n"),
            std::string::npos)
      << verify.out;

  // A validly signed manifest whose newer members a Setup would refuse, or
  // that has expired, does not pass verify either.
  const struct {
    const char* member;
    Json value;
    const char* message;
  } refusedMembers[] = {
      {"sequence", "7", "sequence is not an unsigned 64-bit integer"},
      {"sequence", -1, "sequence is not an unsigned 64-bit integer"},
      {"expires", "2027-03-01 00:00:00", "expires is not a UTC time like 2027-03-01T00:00:00Z"},
      {"expires", "2027-02-30T00:00:00Z", "expires is not a UTC time like 2027-03-01T00:00:00Z"},
      {"expires", "2001-01-01T00:00:00Z", "the manifest expired at 2001-01-01T00:00:00Z"},
      {"setup", {{"name", "TessalineSetup.exe"}, {"size", 0}, {"sha256", std::string(64, 'a')}, {"url", kBase}},
       "the manifest's Setup is 0 bytes"},
  };
  const PrivateKey signingKey = LoadP256PrivateKey(keyPath_);
  for (const auto& refused : refusedMembers) {
    SCOPED_TRACE(std::string(refused.member) + " " + refused.value.dump());
    Json edited = manifest;
    edited[refused.member] = refused.value;
    const std::string editedText = edited.dump(2) + "\n";
    WriteText(work_ / "edited", editedText);
    const Bytes editedSignature = SignRelease(signingKey, Bytes(editedText.begin(), editedText.end()));
    WriteText(work_ / "edited.sig", std::string(editedSignature.begin(), editedSignature.end()));
    const RunResult editedRun = Tool({TESSALINE_RELEASE_TOOL, "verify", "--public-key", publicKeyHex_, "--manifest",
                                      (work_ / "edited").string(), "--signature", (work_ / "edited.sig").string()});
    EXPECT_EQ(editedRun.exitCode, 1);
    EXPECT_NE(editedRun.err.find(refused.message), std::string::npos) << editedRun.err;
  }

  // verify also holds the chunk map against the manifest: the published one
  // passes, a copy with one byte changed does not.
  std::vector<std::string> verifyMap = {TESSALINE_RELEASE_TOOL, "verify", "--public-key", publicKeyHex_,
                                        "--manifest", manifestPath.string(), "--signature", signaturePath.string(),
                                        "--chunk-map", (partFolder / chunkMapName).string()};
  const RunResult mapValid = Tool(verifyMap);
  EXPECT_EQ(mapValid.exitCode, 0) << mapValid.err;
  EXPECT_NE(mapValid.err.find("chunk map valid"), std::string::npos) << mapValid.err;
  std::string damaged = chunkMapBytes;
  damaged[damaged.size() - 5] ^= 0x20;
  WriteText(work_ / "damaged.chunks", damaged);
  verifyMap.back() = (work_ / "damaged.chunks").string();
  const RunResult mapDamaged = Tool(verifyMap);
  EXPECT_EQ(mapDamaged.exitCode, 1);
  EXPECT_NE(mapDamaged.err.find("the chunk map's SHA-256 is " + Sha256Hex(damaged)), std::string::npos)
      << mapDamaged.err;

  // The archive as Windows' tar sees it: relative names, sorted, fixed metadata.
  const std::vector<ArchiveEntryInfo> entries = ListArchive(site / "package" / filename);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front().path, "Tessaline.exe");
  std::vector<std::string> order;
  for (const ArchiveEntryInfo& e : entries) {
    SCOPED_TRACE(e.path);
    std::string path = e.path;
    if (e.isFolder && !path.empty() && path.back() == '/') path.pop_back();
    EXPECT_NE(path.front(), '/');
    EXPECT_EQ(path.find('\\'), std::string::npos);
    EXPECT_EQ(path.rfind("./", 0), std::string::npos);
    EXPECT_EQ(path.find(".."), std::string::npos);
    EXPECT_EQ(e.perm, e.isFolder ? 0755 : 0644);
    EXPECT_EQ(e.mtime, 0);
    order.push_back(path);
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));

  // Unpacked from the assembled parts, as Setup unpacks it, it is the folder again.
  const fs::path assembledPath = work_ / "assembled.tar.gz";
  WriteText(assembledPath, assembled);
  const fs::path unpacked = work_ / "unpacked";
  fs::create_directories(unpacked);
  const RunResult tar = Tool({TESSALINE_BSDTAR, "-xf", assembledPath.string(), "-C", unpacked.string()});
  ASSERT_EQ(tar.exitCode, 0) << tar.err;
  EXPECT_EQ(TreeOf(unpacked), TreeOf(app));
  EXPECT_TRUE(fs::is_directory(unpacked / "logs"));
  EXPECT_TRUE(fs::is_regular_file(unpacked / "resources/fennor/bin/accelerations/x.bin"));
}

TEST_F(PublishTest, SamePackageFromTheSameFolderAndUnchangedFilesKeepTheirChunks) {
  const fs::path app = work_ / "app";
  MakeApp(app);
  // Twenty more files, some of them compressible, ahead of and behind one
  // of 1 MiB that the next release changes.
  for (unsigned i = 0; i < 20; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "assets/%02u.bin", i);
    const std::size_t size = 224 * 1024 + i * 7919;
    WriteText(app / name, i % 4 == 1 ? Compressible(3 * size, 100 + i) : Incompressible(size, 100 + i));
  }
  WriteText(app / "assets/02.bin", Incompressible(1024 * 1024, 7));
  ASSERT_EQ(Tool(PublishCommand(app, work_ / "first")).exitCode, 0);
  // Other file times, same contents: the package bytes do not change.
  fs::last_write_time(app / "Tessaline.exe", fs::last_write_time(app / "Tessaline.exe") - std::chrono::hours(30));
  ASSERT_EQ(Tool(PublishCommand(app, work_ / "second")).exitCode, 0);
  const std::string name = "package/Tessaline-1.4.0-rc.2-windows-x64.tar.gz";
  EXPECT_EQ(ReadText(work_ / "first" / name), ReadText(work_ / "second" / name));
  // The same manifest but for the sequence, which every signing raises.
  Json firstManifest = Json::parse(ReadText(work_ / "first" / kManifestFolder / "manifest"));
  Json secondManifest = Json::parse(ReadText(work_ / "second" / kManifestFolder / "manifest"));
  firstManifest.erase("sequence");
  secondManifest.erase("sequence");
  EXPECT_EQ(firstManifest, secondManifest);
  const std::map<std::string, std::string> firstTree = TreeOf(app);

  // The next release changes that file's bytes and its length, so every
  // entry behind it moves. Only the chunks around it may be new.
  WriteText(app / "assets/02.bin", Incompressible(1024 * 1024 + 12345, 8));
  ASSERT_EQ(Tool(PublishCommand(app, work_ / "next", "1.5.0")).exitCode, 0);
  const fs::path hosted = "package-host/quorvant/tessaline/releases/download/v1.4.0";
  const std::optional<ChunkMap> before =
      DecodeChunkMap(ReadBytes(work_ / "first" / hosted / "Tessaline-1.4.0-rc.2-windows-x64.tar.gz.chunks"));
  const std::optional<ChunkMap> after =
      DecodeChunkMap(ReadBytes(work_ / "next" / hosted / "Tessaline-1.5.0-windows-x64.tar.gz.chunks"));
  ASSERT_TRUE(before.has_value());
  ASSERT_TRUE(after.has_value());
  std::set<ChunkDigest> known;
  for (const ChunkMapEntry& chunk : before->chunks) known.insert(chunk.sha256);
  std::size_t newChunks = 0;
  std::uint64_t newBytes = 0;
  for (const ChunkMapEntry& chunk : after->chunks) {
    if (known.count(chunk.sha256) != 0) continue;
    newChunks += 1;
    newBytes += chunk.length;
  }
  const std::uint64_t total = after->TotalLength();
  const std::string shared = std::to_string(newChunks) + " of " + std::to_string(after->chunks.size()) +
                             " chunks new, " + std::to_string(newBytes) + " of " + std::to_string(total) + " bytes";
  // The changed file, plus at most a chunk or two of the largest size where it begins and ends.
  EXPECT_LE(newBytes, 1024 * 1024 + 12345 + 4 * after->limits.maximum) << shared;
  EXPECT_LE(newChunks, 32u) << shared;
  EXPECT_GE(total - newBytes, total * 3 / 4) << shared;

  // Both releases unpack to exactly their folders.
  const auto unpack = [&](const std::string& site, const std::string& package) {
    const fs::path into = work_ / ("unpacked-" + site);
    fs::create_directories(into);
    const RunResult tar = Tool({TESSALINE_BSDTAR, "-xf", (work_ / site / "package" / package).string(), "-C",
                                into.string()});
    EXPECT_EQ(tar.exitCode, 0) << tar.err;
    return TreeOf(into);
  };
  EXPECT_EQ(unpack("first", "Tessaline-1.4.0-rc.2-windows-x64.tar.gz"), firstTree);
  EXPECT_EQ(unpack("next", "Tessaline-1.5.0-windows-x64.tar.gz"), TreeOf(app));
}

TEST_F(PublishTest, SinglePartReleaseWhenThePartSizeExceedsThePackage) {
  const fs::path app = work_ / "app";
  const fs::path site = work_ / "site";
  MakeApp(app);
  std::vector<std::string> command = PublishCommand(app, site, "2.0.0+build.7");
  command[command.size() - 3] = "https://localhost/";  // the host's root: parts at the top of package-host
  const RunResult run = Tool(command);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json manifest = Json::parse(ReadText(site / kManifestFolder / "manifest"));
  EXPECT_EQ(manifest.at("version"), "2.0.0+build.7");
  const std::string filename = "Tessaline-2.0.0+build.7-windows-x64.tar.gz";
  EXPECT_EQ(manifest.at("filename"), filename);
  ASSERT_EQ(manifest.at("parts").size(), 1u);
  const Json& part = manifest.at("parts")[0];
  EXPECT_EQ(part.at("name"), filename + ".001");
  EXPECT_EQ(part.at("url"), "https://localhost/" + filename + ".001");
  EXPECT_EQ(part.at("size"), manifest.at("size"));
  EXPECT_EQ(part.at("sha256"), manifest.at("sha256"));
  const std::string bytes = ReadText(site / "package-host" / (filename + ".001"));
  EXPECT_EQ(bytes, ReadText(site / "package" / filename));
  EXPECT_EQ(Sha256Hex(bytes), manifest.at("sha256").get<std::string>());
  EXPECT_EQ(NamesIn(site / "package-host"), (std::vector<std::string>{filename + ".001", filename + ".chunks"}));
  EXPECT_EQ(manifest.at("chunkMap").at("url"), "https://localhost/" + filename + ".chunks");
  EXPECT_FALSE(manifest.contains("setup"));
  EXPECT_FALSE(manifest.contains("expires"));
}

TEST_F(PublishTest, ReplacesAFilledSiteOnlyWithForce) {
  const fs::path app = work_ / "app";
  const fs::path site = work_ / "site";
  MakeApp(app);
  fs::create_directories(site);  // an empty folder is taken as it is
  ASSERT_EQ(Tool(PublishCommand(app, site, "1.0.0")).exitCode, 0);
  WriteText(site / "stale.txt", "old");
  const auto before = TreeOf(work_);

  const RunResult refused = Tool(PublishCommand(app, site, "1.0.1"));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_EQ(TreeOf(work_), before);

  // The site's current signing is ahead of the clock (made in a burst, or
  // on a clock that ran fast): the next one still follows it.
  const fs::path manifestPath = site / kManifestFolder / "manifest";
  Json current = Json::parse(ReadText(manifestPath));
  current["sequence"] = 4102444800u;
  WriteText(manifestPath, current.dump(2));
  std::vector<std::string> forced = PublishCommand(app, site, "1.0.1");
  forced.push_back("--force");
  const RunResult replaced = Tool(forced);
  ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
  EXPECT_EQ(Json::parse(ReadText(manifestPath)).at("sequence"), 4102444801u);
  EXPECT_NE(replaced.out.find("sequence:   4102444801\nexpires:    none\n"), std::string::npos) << replaced.out;
  EXPECT_FALSE(fs::exists(site / "stale.txt"));
  EXPECT_FALSE(fs::exists(site / "package/Tessaline-1.0.0-windows-x64.tar.gz"));
  EXPECT_EQ(Json::parse(ReadText(site / kManifestFolder / "manifest")).at("version"), "1.0.1");
  EXPECT_EQ(NamesIn(work_), (std::vector<std::string>{"app", "site"}));
}

TEST_F(PublishTest, RefreshSignsTheSameReleaseAgainOrLeavesTheSiteAsItWas) {
  const fs::path app = work_ / "app";
  const fs::path published = work_ / "published";
  MakeApp(app);
  std::vector<std::string> publish = PublishCommand(app, published);
  publish.insert(publish.end(), {"--expires-in", "7", "--setup", (work_ / "setup.exe").string()});
  WriteText(work_ / "setup.exe", UnsignedPeImage(3000, 4));
  ASSERT_EQ(Tool(publish).exitCode, 0);
  const PrivateKey signingKey = LoadP256PrivateKey(keyPath_);
  const auto signAs = [&](const fs::path& site, const std::string& text) {
    WriteText(site / kManifestFolder / "manifest", text);
    const Bytes signature = SignRelease(signingKey, Bytes(text.begin(), text.end()));
    WriteText(site / kManifestFolder / "manifest.sig", std::string(signature.begin(), signature.end()));
  };
  const auto refresh = [&](const fs::path& site, std::vector<std::string> more = {}) {
    std::vector<std::string> command = {TESSALINE_RELEASE_TOOL, "refresh", "--site", site.string(), "--key",
                                        keyPath_.string()};
    command.insert(command.end(), more.begin(), more.end());
    return command;
  };

  // Each failure leaves its copy of the site exactly as it was.
  struct Case {
    std::string label;
    std::function<void(const fs::path& site, std::vector<std::string>& command)> prepare;
    int exitCode;
    std::string message;
    std::vector<std::string> environment = {};
  };
  int lockedSite = -1;
  const std::vector<Case> cases = {
      {"a site another key signs",
       [](const fs::path& site, std::vector<std::string>& command) {
         const fs::path other = site.parent_path() / "other-key.pem";
         WritePrivateKeyPem(GenerateP256Key(), other);
         *(std::find(command.begin(), command.end(), "--key") + 1) = other.string();
       },
       1, "does not verify under the public half of"},
      {"a signed manifest that is no JSON object",
       [&](const fs::path& site, std::vector<std::string>&) { signAs(site, "[\"Tessaline\"]\n"); }, 1,
       "is not a JSON object"},
      {"the signature cannot be renamed into place", [](const fs::path&, std::vector<std::string>&) {}, 1,
       "cannot rename", {"LD_PRELOAD=" TESSALINE_FAILING_RENAME, "TESSALINE_FAIL_RENAME_ONTO=manifest.sig"}},
      {"a publish or refresh at work on the site",
       [&](const fs::path& site, std::vector<std::string>&) {
         lockedSite = ::open(site.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
         ASSERT_EQ(::flock(lockedSite, LOCK_EX | LOCK_NB), 0);
       },
       1, "another publish or refresh is at work on"},
      {"no site", [](const fs::path& site, std::vector<std::string>&) { fs::remove_all(site); }, 1,
       "no site folder"},
      {"an expiry of no days", [](const fs::path&, std::vector<std::string>& command) {
         command.insert(command.end(), {"--expires-in", "0"});
       }, 2, "--expires-in needs a whole number of days"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.label);
    const fs::path site = work_ / ("case-" + std::to_string(i)) / "site";
    fs::create_directories(site.parent_path());
    fs::copy(published, site, fs::copy_options::recursive);
    std::vector<std::string> command = refresh(site);
    c.prepare(site, command);
    const auto before = TreeOf(site);
    const RunResult run = Tool(command, c.environment);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(TreeOf(site), before) << "the site changed";
    if (lockedSite >= 0) {
      // publish keeps off a site in use as refresh does.
      std::vector<std::string> replace = PublishCommand(app, site);
      replace.push_back("--force");
      const RunResult publishRun = Tool(replace);
      EXPECT_EQ(publishRun.exitCode, 1);
      EXPECT_NE(publishRun.err.find("another publish or refresh is at work on"), std::string::npos) << publishRun.err;
      EXPECT_EQ(TreeOf(site), before) << "publish changed the site";
      ::close(lockedSite);
      lockedSite = -1;
    }
  }

  // Signed again: the next sequence, a new expiry, every other member as it was.
  const fs::path site = work_ / "published";
  const fs::path manifestPath = site / kManifestFolder / "manifest";
  const Json before = Json::parse(ReadText(manifestPath));
  std::map<std::string, std::string> unchanged = TreeOf(site);
  const std::uint64_t startedAt = UnixNow();
  const RunResult renewed = Tool(refresh(site, {"--expires-in", "30"}));
  const std::uint64_t endedAt = UnixNow();
  ASSERT_EQ(renewed.exitCode, 0) << renewed.err;
  const Json after = Json::parse(ReadText(manifestPath));
  const std::uint64_t sequence = after.at("sequence").get<std::uint64_t>();
  EXPECT_GT(sequence, before.at("sequence").get<std::uint64_t>());
  EXPECT_GE(sequence, startedAt);
  const std::uint64_t expiresAt = Rfc3339Seconds(after.at("expires").get<std::string>());
  EXPECT_GE(expiresAt, startedAt + 30 * 86400);
  EXPECT_LE(expiresAt, endedAt + 30 * 86400);
  EXPECT_EQ(renewed.out, "sequence: " + std::to_string(sequence) + "\nexpires: " +
                             after.at("expires").get<std::string>() + "\n");
  Json othersBefore = before;
  Json othersAfter = after;
  for (Json* manifest : {&othersBefore, &othersAfter}) {
    manifest->erase("sequence");
    manifest->erase("expires");
  }
  EXPECT_EQ(othersAfter, othersBefore);
  EXPECT_EQ(othersAfter.size(), 11u);
  const RunResult verify =
      Tool({TESSALINE_RELEASE_TOOL, "verify", "--public-key", publicKeyHex_, "--manifest", manifestPath.string(),
            "--signature", (site / kManifestFolder / "manifest.sig").string()});
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  // Nothing else in the site changed, and nothing was left beside the manifest.
  std::map<std::string, std::string> now = TreeOf(site);
  for (auto* tree : {&unchanged, &now}) {
    tree->erase(std::string(kManifestFolder) + "/manifest");
    tree->erase(std::string(kManifestFolder) + "/manifest.sig");
  }
  EXPECT_EQ(now, unchanged);
  EXPECT_EQ(NamesIn(site / kManifestFolder), (std::vector<std::string>{"manifest", "manifest.sig"}));

  // A manifest from before signings carried a sequence counts as 0; without
  // --expires-in the new signing does not expire, and refresh says it dropped the old expiry.
  Json old = after;
  old.erase("sequence");
  signAs(site, old.dump(2) + "\n");
  const std::uint64_t secondStart = UnixNow();
  const RunResult lasting = Tool(refresh(site));
  ASSERT_EQ(lasting.exitCode, 0) << lasting.err;
  const Json lastingManifest = Json::parse(ReadText(manifestPath));
  EXPECT_GE(lastingManifest.at("sequence").get<std::uint64_t>(), secondStart);
  EXPECT_FALSE(lastingManifest.contains("expires"));
  EXPECT_NE(lasting.out.find("\nexpires: none\n"), std::string::npos) << lasting.out;
  EXPECT_NE(lasting.err.find("drops the expiry " + after.at("expires").get<std::string>()), std::string::npos)
      << lasting.err;
}

TEST_F(PublishTest, RefusesBadInputBeforeWritingAnything) {
  struct Case {
    std::string label;
    std::function<void(const fs::path& dir, std::vector<std::string>& command)> prepare;
    int exitCode;
    std::string message;
  };
  const auto set = [](const std::string& option, const std::string& value) {
    return [=](const fs::path&, std::vector<std::string>& command) {
      const auto it = std::find(command.begin(), command.end(), option);
      if (it == command.end()) {
        command.insert(command.end(), {option, value});
      } else {
        *(it + 1) = value;
      }
    };
  };
  const auto drop = [](const std::string& option) {
    return [=](const fs::path&, std::vector<std::string>& command) {
      const auto it = std::find(command.begin(), command.end(), option);
      command.erase(it, it + 2);
    };
  };
  const auto inApp = [](std::function<void(const fs::path& app)> change) {
    return [=](const fs::path& dir, std::vector<std::string>&) { change(dir / "app"); };
  };
  const auto writeKey = [](const std::string& curve) {
    return [=](const fs::path& dir, std::vector<std::string>& command) {
      EVP_PKEY* key = EVP_EC_gen(curve.c_str());
      FILE* file = std::fopen((dir / "other.pem").c_str(), "wb");
      PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
      std::fclose(file);
      EVP_PKEY_free(key);
      *(std::find(command.begin(), command.end(), "--key") + 1) = (dir / "other.pem").string();
    };
  };
  const std::vector<Case> cases = {
      {"version outside the grammar", set("--version", "1.2"), 1, "Invalid Tessaline semantic version: 1.2"},
      {"version with a leading v", set("--version", "v1.2.3"), 1, "Invalid Tessaline semantic version"},
      {"build metadata with '/'", set("--version", "1.2.3+a/b"), 1, "holds '/'"},
      {"build metadata with '\\'", set("--version", "1.2.3+a\\b"), 1, "holds '\\'"},
      {"build metadata with ':'", set("--version", "1.2.3+c:d"), 1, "holds ':'"},
      {"build metadata with '..'", set("--version", "1.2.3+a..b"), 1, "holds \"..\""},
      {"build metadata with non-ASCII", set("--version", "1.2.3+\xC3\xA9"), 1, "outside printable ASCII"},
      {"build metadata with a control character", set("--version", "1.2.3+a\tb"), 1, "outside printable ASCII"},
      {"build metadata a URL cannot carry", set("--version", "1.2.3+a#b"), 1, "holds '#'"},
      {"build metadata Windows refuses", set("--version", "1.2.3+a*b"), 1, "holds '*'"},
      {"version ending in a dot", set("--version", "1.2.3+a."), 1, "ends in '.'"},
      {"no Tessaline.exe", inApp([](const fs::path& app) { fs::remove(app / "Tessaline.exe"); }), 1,
       "no regular file Tessaline.exe"},
      {"Tessaline.exe is a folder",
       inApp([](const fs::path& app) {
         fs::remove(app / "Tessaline.exe");
         fs::create_directories(app / "Tessaline.exe");
       }),
       1, "no regular file Tessaline.exe"},
      {"application folder missing", set("--app", "/nonexistent/app"), 1, "is not a folder"},
      {"symbolic link inside",
       inApp([](const fs::path& app) { fs::create_symlink("x.bin", app / "resources/fennor/bin/link.bin"); }), 1,
       "resources/fennor/bin/link.bin: it is a symbolic link"},
      {"special file inside", inApp([](const fs::path& app) { ::mkfifo((app / "pipe").c_str(), 0644); }), 1,
       "pipe: it is a special file"},
      {"names differing only in case",
       inApp([](const fs::path& app) { WriteText(app / "resources/Fennor/a.txt", "a"); }), 1, "letter case"},
      {"Windows device name", inApp([](const fs::path& app) { WriteText(app / "logs/con.txt", "a"); }), 1,
       "logs/con.txt: its name is a Windows device name"},
      {"name Windows refuses", inApp([](const fs::path& app) { WriteText(app / "what?.txt", "a"); }), 1,
       "holds '?'"},
      {"key on another curve", writeKey("secp384r1"), 1, "not a P-256"},
      {"key file that holds no key", set("--key", "app/Tessaline.exe"), 1, "holds no PEM private key"},
      {"key file missing", set("--key", "/nonexistent/key.pem"), 1, "cannot read the key file"},
      {"Setup larger than Setup downloads",
       [](const fs::path& dir, std::vector<std::string>& command) {
         // Beside the case's folder, which is read whole to see that nothing changed.
         const fs::path setup = dir.parent_path() / "oversized-setup.exe";
         WriteText(setup, "");
         fs::resize_file(setup, 64ull * 1024 * 1024 + 1);
         command.insert(command.end(), {"--setup", setup.string()});
       },
       1, "67108865 bytes; Setup downloads at most 67108864"},
      {"empty Setup",
       [](const fs::path& dir, std::vector<std::string>& command) {
         WriteText(dir / "empty.exe", "");
         command.insert(command.end(), {"--setup", (dir / "empty.exe").string()});
       },
       1, "empty.exe is empty"},
      {"expiry of 0 days", set("--expires-in", "0"), 2, "--expires-in needs a whole number of days from 1 to 3650"},
      {"negative expiry", set("--expires-in", "-3"), 2, "not '-3'"},
      {"expiry that is no number", set("--expires-in", "30d"), 2, "not '30d'"},
      {"expiry beyond ten years", set("--expires-in", "3651"), 2, "not '3651'"},
      {"current manifest whose sequence is no number",
       [](const fs::path& dir, std::vector<std::string>& command) {
         WriteText(dir / "site" / kManifestFolder / "manifest", R"({"version": "1.0.0", "sequence": "7"})");
         command.push_back("--force");
       },
       1, "sequence is not an unsigned 64-bit integer"},
      {"current manifest at the last sequence",
       [](const fs::path& dir, std::vector<std::string>& command) {
         WriteText(dir / "site" / kManifestFolder / "manifest", R"({"sequence": 18446744073709551615})");
         command.push_back("--force");
       },
       1, "cannot be raised past 18446744073709551615"},
      {"current manifest that is not JSON",
       [](const fs::path& dir, std::vector<std::string>& command) {
         WriteText(dir / "site" / kManifestFolder / "manifest", "{\"version\": ");
         command.push_back("--force");
       },
       1, "is not a JSON object"},
      {"part size 0", set("--part-size", "0"), 1, "at least 1 byte"},
      {"part size not a number", set("--part-size", "64M"), 1, "not a number of bytes"},
      {"negative part size", set("--part-size", "-5"), 1, "not a number of bytes"},
      {"part size Setup cannot verify", set("--part-size", "4294967296"), 1, "larger than 4294967295"},
      {"plain HTTP package URL", set("--package-url", "http://localhost/x/"), 1, "not an absolute https:// URL"},
      {"relative package URL", set("--package-url", "downloads/x/"), 1, "not an absolute https:// URL"},
      {"package URL without final '/'", set("--package-url", "https://localhost/x"), 1,
       "must end in '/': part URLs are this URL followed by the part name"},
      {"package URL without host", set("--package-url", "https:///x/"), 1, "has no host"},
      {"package URL with '..'", set("--package-url", "https://localhost/a/../../b/"), 1, "path segment"},
      {"package URL with a query", set("--package-url", "https://localhost/x?y=/"), 1, "query"},
      {"package URL with a bad port", set("--package-url", "https://localhost:99999/"), 1, "invalid port"},
      {"output holds files",
       [](const fs::path& dir, std::vector<std::string>&) { WriteText(dir / "site/index.html", "x"); }, 1,
       "already holds files; pass --force"},
      {"output is a file", [](const fs::path& dir, std::vector<std::string>&) { WriteText(dir / "site", "x"); }, 1,
       "is not a folder"},
      {"output inside the application folder",
       [](const fs::path& dir, std::vector<std::string>& command) {
         *(std::find(command.begin(), command.end(), "--out") + 1) = (dir / "app/site").string();
       },
       1, "lies inside the application folder"},
      {"application folder inside the output",
       [](const fs::path& dir, std::vector<std::string>& command) {
         fs::create_directories(dir / "site");
         fs::rename(dir / "app", dir / "site/app");
         *(std::find(command.begin(), command.end(), "--app") + 1) = (dir / "site/app").string();
         command.push_back("--force");
       },
       1, "lies inside the output"},
      {"missing option", drop("--key"), 2, "missing --key"},
      {"unknown option", set("--channel", "beta"), 2, "unknown option: --channel"},
      {"option without its value",
       [](const fs::path&, std::vector<std::string>& command) { command.push_back("--part-size"); }, 2,
       "needs a value"},
      {"option given twice",
       [](const fs::path&, std::vector<std::string>& command) { command.insert(command.end(), {"--version", "2.0.0"}); },
       2, "given twice"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.label);
    const fs::path dir = work_ / std::to_string(i);
    MakeApp(dir / "app");
    std::vector<std::string> command = PublishCommand(dir / "app", dir / "site");
    c.prepare(dir, command);
    const auto before = TreeOf(dir);
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    const RunResult run = Tool(command);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(TreeOf(dir), before) << "something was written";
  }
  ASSERT_EQ(::chdir(work_.c_str()), 0);
}

TEST_F(PublishTest, HelpDescribesTheOptionsAndTheSite) {
  const RunResult run = Tool({TESSALINE_RELEASE_TOOL, "publish", "--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("Usage: tessaline-release publish"), std::string::npos);
  EXPECT_NE(run.out.find("--force"), std::string::npos);
  EXPECT_NE(run.out.find("--part-size BYTES"), std::string::npos);
  EXPECT_NE(run.out.find("manifest.sig"), std::string::npos);
  EXPECT_TRUE(run.err.empty());
}

TEST(PartFileNameTest, ThreeDigitsOrAsManyAsTheCountNeeds) {
  EXPECT_EQ(PartFileName("P.tar.gz", 1, 1), "P.tar.gz.001");
  EXPECT_EQ(PartFileName("P.tar.gz", 42, 999), "P.tar.gz.042");
  EXPECT_EQ(PartFileName("P.tar.gz", 7, 1000), "P.tar.gz.0007");
  EXPECT_EQ(PartFileName("P.tar.gz", 1000, 1000), "P.tar.gz.1000");
}

TEST(ReleaseManifestTextTest, RefusesPartNamesThatWouldShareAFileOnWindows) {
  ReleaseManifestFields fields;
  fields.version = "1.0.0";
  fields.filename = "P.tar.gz";
  fields.packageBaseUrl = "https://example.com/";
  fields.package.parts = {{"P.tar.gz.001", 1, std::string(64, 'a')}, {"P.tar.gz.002", 1, std::string(64, 'a')}};
  EXPECT_NE(ReleaseManifestText(fields).find("P.tar.gz.002"), std::string::npos);
  for (const char* name : {"p.TAR.gz.001", "P.tar.gz.001.", "p.tar.gz", "P.tar.gz.partial", "P.TAR.GZ.PARTIAL "}) {
    ReleaseManifestFields clashing = fields;
    clashing.package.parts[1].name = name;
    EXPECT_THROW(ReleaseManifestText(clashing), ReleaseToolError) << name;
  }
}

TEST(PackageBaseUrlTest, PathIsLaidOutWithoutItsSlashes) {
  EXPECT_EQ(ParsePackageBaseUrl("https://example.com/").path, "");
  EXPECT_EQ(ParsePackageBaseUrl("HTTPS://Example.com:8443/a/b-1.0/").path, "a/b-1.0");
  EXPECT_EQ(ParsePackageBaseUrl("https://[::1]:443/x/").path, "x");
  EXPECT_THROW(ParsePackageBaseUrl("https://user@example.com/"), ReleaseToolError);
  EXPECT_THROW(ParsePackageBaseUrl("https://example.com//"), ReleaseToolError);
  EXPECT_THROW(ParsePackageBaseUrl("https://example.com/a%20b/"), ReleaseToolError);
}

}  // namespace
}  // namespace tessaline::release
