// tessaline-release publish: application folder in, servable release site out.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "commands.h"
#include "durable_file.h"
#include "package_archive.h"
#include "package_parts.h"
#include "progress_meter.h"
#include "publish_inputs.h"
#include "release_freshness.h"
#include "release_manifest_writer.h"
#include "release_signing.h"
#include "setup_signing.h"
#include "site_layout.h"
#include "site_lock.h"

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

constexpr const char* kSetupFileName = "TessalineSetup.exe";

constexpr const char* kPublishUsage =
    "Usage: tessaline-release publish --app DIR --version V --key KEY.pem\n"
    "                                 --package-url BASE --out SITE\n"
    "                                 [--part-size BYTES] [--setup EXE]\n"
    "                                 [--expires-in DAYS] [--force]\n"
    "\n"
    "Packs DIR (which must hold Tessaline.exe at its top) into\n"
    "Tessaline-V-windows-x64.tar.gz, splits it into parts, writes the release\n"
    "manifest, signs it with KEY.pem (a P-256 private key) and lays out SITE\n"
    "as the two servers serve it:\n"
    "\n"
    "  SITE/release-service/api/v1/packages/tessaline/stable/windows-x64/manifest\n"
    "  SITE/release-service/api/v1/packages/tessaline/stable/windows-x64/manifest.sig\n"
    "  SITE/package-host/<path of BASE>/Tessaline-V-windows-x64.tar.gz.001, .002, ...\n"
    "  SITE/package-host/<path of BASE>/Tessaline-V-windows-x64.tar.gz.chunks\n"
    "  SITE/package-host/<path of BASE>/TessalineSetup.exe   (with --setup)\n"
    "  SITE/package/Tessaline-V-windows-x64.tar.gz   (the whole package, for reference)\n"
    "\n"
    "Options:\n"
    "  --version V         MAJOR.MINOR.PATCH[-PRERELEASE][+BUILD], as Setup accepts it;\n"
    "                      it names files and folders, so it may not hold '/', '\\',\n"
    "                      ':', \"..\", characters Windows or URLs refuse, or non-ASCII\n"
    "  --package-url BASE  absolute https:// URL ending in '/'; part URLs are BASE\n"
    "                      followed by the part name\n"
    "  --part-size BYTES   size of each part but the last (default 67108864, 64 MiB;\n"
    "                      at most 4294967295, the most Setup verifies in one part)\n"
    "  --setup EXE         place EXE, the Setup users download (signed with\n"
    "                      sign-setup), beside the parts as TessalineSetup.exe and\n"
    "                      name it in the manifest under \"setup\" (at most 67108864\n"
    "                      bytes, 64 MiB, the most Setup downloads as a new Setup)\n"
    "  --expires-in DAYS   the signing expires DAYS days from now (1 to 3650): Setup\n"
    "                      then refuses it, so sign it again with refresh before\n"
    "                      that; without it the signing does not expire\n"
    "  --force             replace SITE even if it already holds files\n"
    "\n"
    "The manifest's sequence is raised at every signing: above the one SITE's\n"
    "manifest carries now, and the signing time in seconds since 1970 when that\n"
    "is higher. Setup never goes back to a signing with a lower sequence.\n"
    "\n"
    "The .chunks file lists the package's content-defined chunks and their\n"
    "SHA-256, so that Setup can update from the parts it already has and fetch\n"
    "only the byte ranges that changed; upload it beside the parts.\n"
    "\n"
    "The site is built in a hidden folder beside SITE and moved into place only\n"
    "when complete, so a failed publish leaves SITE as it was. Progress goes to\n"
    "stderr, the summary to stdout. Exit code 0 on success, 1 on failure, 2 on\n"
    "a usage error.\n";

// True when `inner` is `outer` or lies below it.
bool IsWithin(const fs::path& inner, const fs::path& outer) {
  auto o = outer.begin();
  auto i = inner.begin();
  for (; o != outer.end(); ++o, ++i) {
    if (o->empty()) continue;  // a trailing separator
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

fs::path SitePath(const std::string& out) {
  fs::path site = fs::absolute(out).lexically_normal();
  if (site.filename().empty()) site = site.parent_path();
  if (site == site.root_path() || site.filename() == "..") {
    throw ReleaseToolError("the output " + out + " cannot be a site folder: name a folder of its own");
  }
  return site;
}

void CheckSiteFolder(const fs::path& site, bool force) {
  const fs::file_status status = fs::symlink_status(site);
  if (!fs::exists(status)) return;
  if (fs::is_symlink(status)) {
    throw ReleaseToolError("the output " + site.string() + " is a symbolic link: give the folder itself");
  }
  if (!fs::is_directory(status)) throw ReleaseToolError("the output " + site.string() + " exists and is not a folder");
  if (!fs::is_empty(site) && !force) {
    throw ReleaseToolError("the output " + site.string() + " already holds files; pass --force to replace it");
  }
}

// The sequence of the manifest the site serves now; 0 without one.
std::uint64_t CurrentSequence(const fs::path& site) {
  const fs::path path = site / kManifestFolder / kManifestFileName;
  if (!fs::exists(fs::symlink_status(path))) return 0;
  const Bytes bytes = ReadFileBytes(path);
  const auto manifest = nlohmann::ordered_json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (!manifest.is_object()) {
    throw ReleaseToolError("the site's manifest " + path.string() +
                           " is not a JSON object, so its sequence is unknown; remove it to sign with the time alone");
  }
  return ManifestSequence(manifest);
}

void CheckOverlaps(const fs::path& site, const fs::path& app, const fs::path& key) {
  const fs::path siteReal = fs::weakly_canonical(site);
  const fs::path appReal = fs::weakly_canonical(app);
  const fs::path keyReal = fs::weakly_canonical(key);
  if (IsWithin(siteReal, appReal)) {
    throw ReleaseToolError("the output " + site.string() + " lies inside the application folder " + app.string());
  }
  if (IsWithin(appReal, siteReal)) {
    throw ReleaseToolError("the application folder " + app.string() + " lies inside the output " + site.string() +
                           ", which publish replaces");
  }
  if (IsWithin(keyReal, siteReal)) {
    throw ReleaseToolError("the key " + key.string() + " lies inside the output " + site.string() +
                           ", which publish replaces");
  }
}

// The folder the site is built in; removed unless the site was moved into place.
class StagingFolder {
 public:
  explicit StagingFolder(fs::path path) : path_(std::move(path)) {
    std::error_code ignored;
    fs::remove_all(path_, ignored);  // left by an earlier run of this process id
    fs::create_directory(path_);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  ~StagingFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// Puts the finished site at `site` in one step where the file system allows:
// an existing site is swapped out atomically, then removed.
void MoveSiteIntoPlace(const fs::path& staging, const fs::path& site) {
  if (!fs::exists(fs::symlink_status(site))) {
    fs::rename(staging, site);
    return;
  }
  if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, site.c_str(), RENAME_EXCHANGE) == 0) {
    fs::remove_all(staging);  // now the old site
    return;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    throw ReleaseToolError("cannot move the new site to " + site.string() + ": " + std::strerror(errno));
  }
  // No atomic exchange here: the old site is gone only for the moment between two renames.
  fs::path old = staging;
  old += ".old";
  fs::rename(site, old);
  try {
    fs::rename(staging, site);
  } catch (...) {
    std::error_code ignored;
    fs::rename(old, site, ignored);
    throw;
  }
  fs::remove_all(old);
}

int Publish(const CommandOptions& options) {
  // libarchive converts non-ASCII names through the locale's character set.
  std::setlocale(LC_ALL, "C.UTF-8");
  const std::string version = options.Required("version");
  const std::string appText = options.Required("app");
  const std::string keyText = options.Required("key");
  const std::string urlText = options.Required("package-url");
  const std::string outText = options.Required("out");
  const std::optional<std::string> partSizeText = options.Value("part-size");
  const std::optional<std::string> setupPath = options.Value("setup");
  const std::optional<std::string> expiresInText = options.Value("expires-in");
  const std::uint64_t expiryDays = expiresInText ? ParseExpiryDays(*expiresInText) : 0;  // 0: no expiry

  // Every check comes before the first write.
  CheckReleaseVersion(version);
  const PackageBaseUrl base = ParsePackageBaseUrl(urlText);
  const std::uint64_t partSize =
      partSizeText ? ParsePartSize(*partSizeText) : kDefaultPartSize;
  const fs::path site = SitePath(outText);
  CheckSiteFolder(site, options.Flag("force"));
  std::optional<SiteLock> lock;
  if (fs::exists(fs::symlink_status(site))) lock.emplace(site);
  const std::uint64_t currentSequence = CurrentSequence(site);
  const fs::path app = fs::absolute(appText);
  const PackageContents contents = ScanApplicationFolder(app);
  const PrivateKey key = LoadP256PrivateKey(keyText);
  const std::string publicKey = PublicKeyHex(key);
  CheckOverlaps(site, app, keyText);
  Bytes setup;
  if (setupPath) {
    CheckSetupFile(*setupPath);
    if (!HasAuthenticodeSignature(*setupPath)) {
      std::cerr << "tessaline-release publish: warning: " << *setupPath
                << " carries no Authenticode signature; Windows warns before it runs an unsigned download\n";
    }
    setup = ReadFileBytes(*setupPath);
  }

  const std::string packageName = PackageFileName(version);
  fs::create_directories(site.parent_path());
  StagingFolder staging(site.parent_path() / ("." + site.filename().string() + ".publishing-" +
                                              std::to_string(::getpid())));
  ProgressMeter meter(stderr);

  const fs::path packageFolder = staging.Path() / "package";
  fs::create_directories(packageFolder);
  const fs::path package = packageFolder / packageName;
  const std::string allBytes = FormatBytes(contents.fileBytes);
  const auto packText = [&](std::uint64_t files, std::uint64_t bytes) {
    return std::to_string(files) + "/" + std::to_string(contents.fileCount) + " files, " + FormatBytes(bytes) +
           " of " + allBytes;
  };
  WritePackageArchive(contents, package, [&](std::uint64_t files, std::uint64_t bytes) {
    meter.Show("packing", packText(files, bytes),
               contents.fileBytes == 0 ? 1.0 : static_cast<double>(bytes) / static_cast<double>(contents.fileBytes));
  });
  const std::uint64_t packageSize = fs::file_size(package);
  meter.Finish("packing", packText(contents.fileCount, contents.fileBytes) + " -> " + FormatBytes(packageSize));
  if (packageSize > kLargestVerifiableFile) {
    throw ReleaseToolError("the package is " + std::to_string(packageSize) + " bytes; Setup verifies at most " +
                           std::to_string(kLargestVerifiableFile) + " bytes as one package");
  }

  const fs::path partFolder = base.path.empty() ? staging.Path() / "package-host" : staging.Path() / "package-host" / base.path;
  fs::create_directories(partFolder);
  const auto splitText = [&](std::size_t done, std::size_t count, std::uint64_t bytes) {
    return std::to_string(done) + "/" + std::to_string(count) + " parts, " + FormatBytes(bytes) + " of " +
           FormatBytes(packageSize);
  };
  ReleaseManifestFields fields;
  fields.version = version;
  fields.filename = packageName;
  fields.packageBaseUrl = base.url;
  fields.package = SplitPackageFile(package, packageName, partSize, partFolder,
                                    [&](std::size_t done, std::size_t count, std::uint64_t bytes) {
                                      meter.Show("splitting", splitText(done, count, bytes),
                                                 static_cast<double>(bytes) / static_cast<double>(packageSize));
                                    });
  const std::size_t partCount = fields.package.parts.size();
  meter.Finish("splitting", splitText(partCount, partCount, packageSize));
  if (setupPath) {
    WriteDurably(partFolder / kSetupFileName, setup);
    fields.setup = PackagePartFile{kSetupFileName, setup.size(), Sha256Hex(setup)};
  }

  const std::uint64_t now = UnixSecondsNow();
  fields.sequence = NextSequence(currentSequence, now);
  if (expiryDays != 0) fields.expires = Rfc3339Utc(now + expiryDays * kSecondsPerDay);

  const fs::path manifestFolder = staging.Path() / kManifestFolder;
  fs::create_directories(manifestFolder);
  const std::string manifestText = ReleaseManifestText(fields);
  const Bytes manifest(manifestText.begin(), manifestText.end());
  const Bytes signature = SignRelease(key, manifest);
  WriteDurably(manifestFolder / kManifestFileName, manifestText);
  WriteDurably(manifestFolder / kSignatureFileName, signature);
  // Check what will be served, read back from disk, as Setup will check it.
  if (!VerifyRelease(publicKey, ReadFileBytes(manifestFolder / kManifestFileName),
                     ReadFileBytes(manifestFolder / kSignatureFileName))) {
    throw ReleaseToolError("the signature written does not verify with the key's public half");
  }

  MoveSiteIntoPlace(staging.Path(), site);
  const fs::path sitePartFolder = base.path.empty() ? site / "package-host" : site / "package-host" / base.path;

  std::cout << "published Tessaline " << version << "\n"
            << "package:    " << (site / "package" / packageName).string() << " (" << packageSize << " bytes)\n"
            << "parts:      " << partCount << " of up to " << partSize << " bytes in "
            << sitePartFolder.string() << "\n"
            << "part URLs:  " << base.url << packageName << ".*\n"
            << "chunk map:  " << fields.package.chunkMap.name << " (" << fields.package.chunkMap.size
            << " bytes) beside the parts\n"
            << "manifest:   " << (site / kManifestFolder / kManifestFileName).string() << "\n"
            << "sequence:   " << fields.sequence << "\n"
            << "expires:    " << fields.expires.value_or("none") << "\n"
            << "public key: " << publicKey << "\n";
  if (fields.setup) {
    std::cout << "setup:      " << (sitePartFolder / kSetupFileName).string() << " (" << fields.setup->size
              << " bytes, SHA-256 " << fields.setup->sha256 << ")\n"
              << "setup URL:  " << base.url << kSetupFileName << "\n";
  }
  return 0;
}

}  // namespace

const Command kPublishCommand = {
    "publish", kPublishUsage,
    {"app", "version", "key", "package-url", "out", "part-size", "setup", "expires-in"}, {"force"}, Publish};

}  // namespace tessaline::release
