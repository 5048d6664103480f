// tessaline-release refresh: the release a site serves, signed again with the
// next sequence and a new expiry, and nothing else changed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "commands.h"
#include "durable_file.h"
#include "release_freshness.h"
#include "release_signing.h"
#include "site_layout.h"
#include "site_lock.h"

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

constexpr const char* kRefreshUsage =
    "Usage: tessaline-release refresh --site SITE --key KEY.pem [--expires-in DAYS]\n"
    "\n"
    "Signs the manifest SITE serves again with KEY.pem, raising its sequence (above\n"
    "the current one, and at least the time in seconds since 1970). With\n"
    "--expires-in the new signing expires DAYS days from now (1 to 3650); without\n"
    "it the new signing does not expire, and an expiry the manifest had is dropped\n"
    "(refresh says so). Every other member keeps its value. Run it on a schedule\n"
    "well inside the expiry: weekly, for example, with --expires-in 30.\n"
    "\n"
    "Refresh refuses a manifest that is not a JSON object, and one whose current\n"
    "signature does not verify under KEY.pem's public half, so that another key\n"
    "never takes a site over. The new manifest and signature are flushed to disk\n"
    "beside the old ones and renamed into place; on a failure SITE is left as it\n"
    "was. Prints the new sequence and expiry. Exit code 0 on success, 1 on\n"
    "failure, 2 on a usage error.\n";

// The files refresh writes beside the manifest, removed on every path unless kept.
class TemporaryFiles {
 public:
  explicit TemporaryFiles(std::vector<fs::path> paths) : paths_(std::move(paths)) {
    Remove();  // left by an earlier run of this process id
  }
  TemporaryFiles(const TemporaryFiles&) = delete;
  TemporaryFiles& operator=(const TemporaryFiles&) = delete;
  ~TemporaryFiles() { Remove(); }
  void Keep(const fs::path& path) { std::erase(paths_, path); }

 private:
  void Remove() const {
    for (const fs::path& path : paths_) {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  }
  std::vector<fs::path> paths_;
};

std::string RenameFailure(const fs::path& from, const fs::path& to, int error) {
  return "cannot rename " + from.string() + " to " + to.string() + ": " + std::strerror(error);
}

// Puts the new manifest and signature in place of the old pair with two
// renames of files already on disk. Should the second fail, the old
// manifest goes back, so the folder holds the old pair again.
void ReplaceSignedManifest(const fs::path& folder, const Bytes& oldManifest, const std::string& manifest,
                           const Bytes& signature) {
  const fs::path manifestPath = folder / kManifestFileName;
  const fs::path signaturePath = folder / kSignatureFileName;
  const std::string suffix = "-" + std::to_string(::getpid());
  const fs::path newManifest = folder / ("." + std::string(kManifestFileName) + ".new" + suffix);
  const fs::path newSignature = folder / ("." + std::string(kSignatureFileName) + ".new" + suffix);
  const fs::path previous = folder / ("." + std::string(kManifestFileName) + ".previous" + suffix);
  TemporaryFiles temporaries({newManifest, newSignature, previous});
  WriteDurably(newManifest, manifest);
  WriteDurably(newSignature, signature);
  WriteDurably(previous, oldManifest);

  if (::rename(newManifest.c_str(), manifestPath.c_str()) != 0) {
    throw ReleaseToolError(RenameFailure(newManifest, manifestPath, errno));
  }
  if (::rename(newSignature.c_str(), signaturePath.c_str()) != 0) {
    const std::string failure = RenameFailure(newSignature, signaturePath, errno);
    if (::rename(previous.c_str(), manifestPath.c_str()) != 0) {
      temporaries.Keep(previous);
      throw ReleaseToolError(failure + "; and the old manifest could not be put back (" +
                             RenameFailure(previous, manifestPath, errno) + "): rename " + previous.string() +
                             " to " + manifestPath.string() + " by hand");
    }
    throw ReleaseToolError(failure + "; the site keeps its old manifest and signature");
  }
  if (!SyncFolder(folder)) {
    std::cerr << "tessaline-release refresh: warning: the new manifest is in place, but " << folder.string()
              << " could not be flushed to disk: " << std::strerror(errno) << "\n";
  }
}

int Refresh(const CommandOptions& options) {
  const fs::path site = options.Required("site");
  const std::string keyText = options.Required("key");
  const std::optional<std::string> expiresInText = options.Value("expires-in");
  const std::uint64_t expiryDays = expiresInText ? ParseExpiryDays(*expiresInText) : 0;  // 0: no expiry

  if (!fs::is_directory(site)) throw ReleaseToolError("no site folder " + site.string());
  const PrivateKey key = LoadP256PrivateKey(keyText);
  const std::string publicKey = PublicKeyHex(key);
  const SiteLock lock(site);
  const fs::path folder = site / kManifestFolder;
  const fs::path manifestPath = folder / kManifestFileName;
  const Bytes current = ReadFileBytes(manifestPath);
  if (!VerifyRelease(publicKey, current, ReadFileBytes(folder / kSignatureFileName))) {
    throw ReleaseToolError("the signature of " + manifestPath.string() + " does not verify under the public half of " +
                           keyText + ": refresh signs again only what this key signed");
  }
  auto manifest = nlohmann::ordered_json::parse(current.begin(), current.end(), nullptr, false);
  if (!manifest.is_object()) throw ReleaseToolError("the manifest " + manifestPath.string() + " is not a JSON object");

  const std::uint64_t now = UnixSecondsNow();
  const std::uint64_t sequence = NextSequence(ManifestSequence(manifest), now);
  manifest["sequence"] = sequence;
  std::optional<std::string> expires;
  std::optional<std::string> dropped;
  if (expiryDays != 0) {
    expires = Rfc3339Utc(now + expiryDays * kSecondsPerDay);
    manifest["expires"] = *expires;
  } else if (const auto old = manifest.find("expires"); old != manifest.end()) {
    dropped = old->is_string() ? old->get<std::string>() : old->dump();
    manifest.erase(old);
  }
  const std::string text = manifest.dump(2) + "\n";
  const Bytes bytes(text.begin(), text.end());
  const Bytes signature = SignRelease(key, bytes);
  if (!VerifyRelease(publicKey, bytes, signature)) {
    throw ReleaseToolError("the new signature does not verify with the key's public half");
  }
  ReplaceSignedManifest(folder, current, text, signature);
  if (dropped) {
    std::cerr << "tessaline-release refresh: without --expires-in the new signing does not expire: it drops the expiry "
              << *dropped << "\n";
  }
  std::cout << "sequence: " << sequence << "\n"
            << "expires: " << expires.value_or("none") << "\n";
  return 0;
}

}  // namespace

const Command kRefreshCommand = {"refresh", kRefreshUsage, {"site", "key", "expires-in"}, {}, Refresh};

}  // namespace tessaline::release
