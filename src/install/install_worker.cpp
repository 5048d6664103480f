#include "install/install_worker.h"

#include <objbase.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "build_config.h"
#include "common/file_system.h"
#include "common/install_session.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "install/activation.h"
#include "install/install_package.h"
#include "install/pipeline_host.h"
#include "install/release_setup.h"
#include "installation/close_application.h"
#include "installation/installation_lock.h"
#include "installation/leftovers.h"
#include "transfer/chunk_reuse.h"
#include "transfer/https_client.h"
#include "transfer/part_download.h"
#include "trust/digest.h"
#include "trust/lifecycle.h"
#include "trust/release_freshness.h"
#include "trust/release_manifest.h"
#include "trust/signature.h"
#include "winintegration/update_task.h"
#include "winintegration/user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

// Which download items are in the cache and verified: the download threads
// say so, and the stream, on the worker's thread, takes the package's parts
// in order as they come.
class Arrivals final : public PartSource {
 public:
  // `stop` is the run's cancel, which a failing download also sets;
  // `allThere` is called, on the stream's thread, whenever it asks once
  // every item is there.
  Arrivals(std::size_t count, const std::atomic<bool>& stop, std::function<void()> allThere)
      : arrived_(count, false), stop_(stop), allThere_(std::move(allThere)) {}

  void Arrived(std::size_t index) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      arrived_[index] = true;
      ++count_;
    }
    changed_.notify_all();
  }

  bool Has(std::size_t index) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return arrived_[index];
  }

  // Once everything is in, nothing stops the stream: a cancel after the
  // download is not taken. The window's cancel sets the flag without a
  // word to this object, so the flag is looked at now and then.
  bool WaitFor(std::size_t index) override {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (count_ == arrived_.size()) {
        lock.unlock();
        allThere_();
        return true;
      }
      if (stop_.load()) return false;
      if (arrived_[index]) return true;
      changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> arrived_;
  std::size_t count_ = 0;
  const std::atomic<bool>& stop_;
  std::function<void()> allThere_;
};

// What the worker shares with its download threads for one download stage.
struct PartQueue {
  InstallSession& session;
  std::atomic<std::uint64_t> nextIndex{0};
  const std::vector<PackagePart>& downloads;  // the package's parts first, in order
  const fs::path& cacheFolder;
  const ChunkReuse* reuse;  // nothing when no part is made of reused bytes
  Arrivals& arrivals;
  std::mutex failureMutex;
  std::exception_ptr firstFailure;
};

// The window's side of a run: every report is a message posted to it.
class WindowHost final : public PipelineHost {
 public:
  explicit WindowHost(const InstallSession& session) : session_(session) {}

  void ShowStatus(const wchar_t* text) override { Post(StatusMessage, 0, std::make_unique<std::wstring>(text)); }
  void ShowRelease(const LifecycleDecision& decision) override {
    Post(ReleaseInfoMessage, 0, std::make_unique<LifecycleDecision>(decision));
  }
  // The person at the window can cancel the wait.
  std::optional<std::chrono::milliseconds> LockWaitLimit() const override { return std::nullopt; }
  bool MayUseTheConnection() override { return true; }
  // A person who started Setup has chosen to install, update or repair now.
  std::optional<RunEnd> EndBefore(const LifecycleDecision&) override { return std::nullopt; }
  void ClearTheWay(const fs::path& application) override { CloseRunningApplication(application); }
  bool ClosesTheApplication() const override { return true; }
  void Finish(const RunResult& result) override {
    std::unique_ptr<std::wstring> failure;
    if (!result.end) failure = std::make_unique<std::wstring>(result.failure);
    const WPARAM succeeded = result.end ? 1 : 0;
    Post(FinishedMessage, succeeded, std::move(failure));
  }

 private:
  // The window owns the payload once the post succeeds; a post to a window
  // that is already gone is simply not delivered.
  template <typename Payload>
  void Post(UINT message, WPARAM wParam, std::unique_ptr<Payload> payload) {
    if (PostMessageW(session_.window.load(), message, wParam, reinterpret_cast<LPARAM>(payload.get()))) {
      static_cast<void>(payload.release());
    }
  }

  const InstallSession& session_;
};

void DownloadThread(PartQueue& queue) {
  while (!queue.session.cancelRequested.load()) {
    const std::uint64_t index = queue.nextIndex.fetch_add(1);
    if (index >= queue.downloads.size()) return;
    try {
      if (queue.reuse == nullptr || !queue.reuse->BringPart(index, queue.session)) {
        DownloadPart(queue.downloads[index], queue.cacheFolder, queue.session);
      }
      queue.arrivals.Arrived(index);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(queue.failureMutex);
      if (!queue.firstFailure) queue.firstFailure = std::current_exception();
      queue.session.cancelRequested.exchange(true);
      return;
    }
  }
}

void DownloadParts(const std::vector<PackagePart>& downloads, const fs::path& cacheFolder, const ChunkReuse* reuse,
                   Arrivals& arrivals, InstallSession& session) {
  PartQueue queue{session, {0}, downloads, cacheFolder, reuse, arrivals, {}, {}};
  RunDownloadThreads(
      kDownloadThreads, [&queue] { DownloadThread(queue); },
      [](std::function<void()> body) { return std::thread(std::move(body)); }, session.cancelRequested);
  if (queue.firstFailure) std::rethrow_exception(queue.firstFailure);
  if (session.cancelRequested.load()) throw SetupError("Installation cancelled");
}

std::uint64_t CountCachedBytes(const std::vector<PackagePart>& downloads, const fs::path& cacheFolder) {
  std::uint64_t sum = 0;
  for (const PackagePart& part : downloads) {
    const fs::path file = cacheFolder / Utf8ToWide(part.name);
    if (fsops::Exists(file)) sum += std::min<std::uint64_t>(fsops::FileSize(file), part.size);
  }
  return sum;
}

// After a successful activation only the installed version's parts serve a
// later run: a repair reuses them, the next update their bytes. Other
// versions' folders serve nothing, nor a whole package an earlier Setup
// assembled beside the parts. What cannot be removed now goes after the
// next success, never failing this one.
void TrimInstallerCache(const fs::path& cacheFolder, const std::string& packageName) noexcept {
  try {
    std::error_code ignored;
    const fs::path package = cacheFolder / Utf8ToWide(packageName);
    fs::remove(package, ignored);
    fs::remove(fs::path(package) += L".partial", ignored);
    const std::wstring kept = cacheFolder.filename().native();
    std::vector<fs::path> others;
    for (fs::directory_iterator entry(cacheFolder.parent_path(), ignored), end; !ignored && entry != end;
         entry.increment(ignored)) {
      // Windows compares names without regard to case: the installed
      // version's folder may be spelled otherwise on disk.
      const std::wstring name = entry->path().filename().native();
      const bool installed = CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), kept.c_str(),
                                                  static_cast<int>(kept.size()), TRUE) == CSTR_EQUAL;
      std::error_code kind;
      if (!installed && entry->is_directory(kind)) others.push_back(entry->path());
    }
    // A link among them goes itself, never what it points to.
    for (const fs::path& other : others) fsops::RemoveTree(other, ignored);
  } catch (const std::exception&) {
  }
}

// Downloads the parts on threads of their own while the worker's thread
// unpacks them as one stream, each as it arrives (or, for a host that may not
// close a running Tessaline and finds it running, once everything is in and
// Tessaline has ended), and raises the failure that came first.
void DownloadAndUnpack(const std::vector<PackagePart>& downloads, const fs::path& cacheFolder, const ChunkReuse* reuse,
                       const PackageParts& package, const InstallationPaths& paths, const fs::path& application,
                       PipelineHost& host, InstallSession& session) {
  // Once everything is in, what is left of the stream is its check.
  bool verifying = false;
  const auto showVerifying = [&] {
    if (verifying) return;
    verifying = true;
    session.MarkStage("verify");
    host.ShowStatus(L"Verifying the downloaded package\u2026");
  };
  Arrivals arrivals(downloads.size(), session.cancelRequested, showVerifying);
  std::exception_ptr downloadFailure;
  std::thread downloading([&] {
    try {
      DownloadParts(downloads, cacheFolder, reuse, arrivals, session);
    } catch (...) {
      downloadFailure = std::current_exception();
    }
  });
  try {
    if (!host.ClosesTheApplication() && IsApplicationRunning(application)) {
      downloading.join();
      if (downloadFailure) std::rethrow_exception(downloadFailure);
      host.ClearTheWay(application);
    }
    UnpackPackage(package, paths, arrivals, session);
  } catch (...) {
    // A stream that stops by itself stops the downloads too, and its
    // failure is the run's; one stopped by a cancel or a failed download
    // gives way to the download's own text.
    const bool streamFailedFirst = !session.cancelRequested.exchange(true);
    if (downloading.joinable()) downloading.join();
    if (downloadFailure && !streamFailedFirst) std::rethrow_exception(downloadFailure);
    throw;
  }
  if (downloading.joinable()) downloading.join();
  if (downloadFailure) std::rethrow_exception(downloadFailure);
  showVerifying();
}

// Far above any real manifest, and the signature is 64 bytes: a service that
// sends more is broken or hostile, and its bytes must not fill memory before
// the signature is checked.
constexpr std::size_t kManifestLimit = 1024 * 1024;
constexpr std::size_t kSignatureLimit = 4096;

// The version names the installer-cache folder; build metadata after '+' is
// not checked by the version grammar and must not lead out of it.
bool IsSafeCacheName(const std::string& version) {
  return IsSafeFileName(version) && version.find(':') == std::string::npos;
}

fs::path InstallerCacheFolder(const std::string& version) {
  return LocalAppDataFolder() / L"Quorvant" / L"InstallerCache" / Utf8ToWide(version);
}

// An update whose release has a chunk map takes what it can from the
// installed version's parts, still in the cache after its installation.
std::unique_ptr<ChunkReuse> PrepareChunkReuse(const ReleaseManifest& manifest, const LifecycleDecision& decision,
                                              const std::string& installed, const fs::path& cacheFolder,
                                              const InstallSession& session) {
  if (session.cancelRequested.load()) return nullptr;
  // Every installation keeps its release's map for the update after it.
  std::optional<ChunkMap> map = ObtainChunkMap(manifest, cacheFolder, session.cancelRequested);
  if (!map || decision.action != LifecycleAction::Update || !IsSafeCacheName(installed)) return nullptr;
  return ChunkReuse::Prepare(manifest, std::move(*map), InstallerCacheFolder(installed), cacheFolder, session);
}

RunEnd RunPipeline(InstallSession& session, PipelineHost& host, RunResult& result) {
  // Held until the installation stage has ended, so that no other Setup or
  // uninstall works on the installer cache or the installation meanwhile.
  InstallationLock lock;
  if (!lock.Acquire(&session.cancelRequested,
                    [&] { host.ShowStatus(L"Waiting for another Tessaline Setup to finish\u2026"); },
                    host.LockWaitLimit())) {
    if (session.cancelRequested.load()) throw SetupError("Installation cancelled");
    throw SetupError("Another Tessaline Setup did not finish in time");
  }
  // Before anything touches the network: a user whose update was cut off
  // must get the application back without the release service.
  const fs::path installation = UserApplicationFolder();
  const fs::path application = installation / L"Tessaline.exe";
  const fs::path quorvant = QuorvantProgramsFolder();
  RecoverInstallation(quorvant, installation, [&] { host.ClearTheWay(application); }, session);
  {
    std::error_code ignored;
    RemoveInstallationLeftovers(quorvant, ignored);
    const fs::path temp = fs::temp_directory_path(ignored);
    if (!ignored) RemoveTemporaryWorkerCopies(temp);
  }
  result.installed = ReadInstalledVersion();
  if (!host.MayUseTheConnection()) return RunEnd::Metered;

  session.MarkStage("manifest");
  host.ShowStatus(L"Checking the Quorvant release\u2026");
  const std::vector<std::uint8_t> manifestBytes =
      FetchToMemory(ManifestUrl(), kManifestLimit, "Oversized Tessaline release manifest", {kServiceExchangeDeadline, &session.cancelRequested});
  const std::vector<std::uint8_t> signature =
      FetchToMemory(ManifestUrl() + L".sig", kSignatureLimit, "Invalid Quorvant release signature",
                    {kServiceExchangeDeadline, &session.cancelRequested});
  VerifyManifestSignature(manifestBytes, signature);
  const ReleaseManifest manifest = ParseReleaseManifest(manifestBytes);
  CheckManifestFreshness(manifest.expires, manifest.sequence,
                         std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count(),
                         RememberedManifestSequence());
  if (!IsSafeCacheName(manifest.version)) throw SetupError("Unsafe Tessaline release metadata");
  // Only a signing that passed every rule raises what later ones must reach.
  if (manifest.sequence) RememberManifestSequence(*manifest.sequence);

  const std::string& installed = result.installed;
  result.offered = manifest.version;
  const LifecycleDecision decision = DecideLifecycle(installed, manifest.version);
  host.ShowRelease(decision);
  if (decision.action == LifecycleAction::BlockDowngrade) {
    throw SetupError("A newer Tessaline " + decision.installedVersion + " is already installed. Setup will not downgrade it to " +
                     manifest.version + ".");
  }
  if (const std::optional<RunEnd> end = host.EndBefore(decision)) return *end;

  const fs::path cacheFolder = InstallerCacheFolder(manifest.version);
  fsops::CreateDirectories(cacheFolder);
  ProgressCounters& counters = session.progressCounters;
  const auto startCounting = [&counters](std::uint64_t there) {
    counters.bytesDone.store(there);
    counters.bytesAtStart.store(there);
    counters.downloadStart.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  };
  // The release's own Setup comes with the parts, and counts with them.
  const std::optional<PackagePart> releaseSetup = ReleaseSetupToFetch(manifest);
  std::vector<PackagePart> downloads = manifest.parts;
  if (releaseSetup) downloads.push_back(*releaseSetup);
  counters.bytesTotal.store(manifest.size + (releaseSetup ? releaseSetup->size : 0));
  const std::uint64_t cached = CountCachedBytes(downloads, cacheFolder);
  startCounting(cached);
  session.MarkStage("download");
  host.ShowStatus(L"Downloading Tessaline\u2026");
  // Bytes reused from the installed version count as bytes already there:
  // the bar starts after them, and the rate counts only what is fetched.
  const std::unique_ptr<ChunkReuse> reuse = PrepareChunkReuse(manifest, decision, installed, cacheFolder, session);
  startCounting(cached + (reuse ? reuse->LocalBytes() : 0));
  // The package is never written whole: each part is unpacked as soon as it
  // and those before it are verified in the cache, as one stream, while the
  // rest download; the whole is checked as it passes.
  PackageParts package{{}, manifest.size, manifest.sha256};
  for (const PackagePart& part : manifest.parts) package.files.push_back(cacheFolder / Utf8ToWide(part.name));
  const InstallationPaths paths = PrepareStaging();
  // Before activation, a failure leaves nothing unpacked, nor the folder
  // made for it on a first installation.
  const auto dropStaging = [&paths] {
    std::error_code ignored;
    fsops::RemoveTree(paths.staging, ignored);
    RemoveDirectoryW(paths.quorvant.c_str());
  };
  fs::path setupImage;
  try {
    DownloadAndUnpack(downloads, cacheFolder, reuse.get(), package, paths, application, host, session);
    // The Setup the new version carries: the release's own where it names
    // one, verified before anything moves.
    setupImage = VerifiedReleaseSetup(releaseSetup, cacheFolder);
    session.MarkStage("close application");
    host.ShowStatus(L"Closing Tessaline if it is running\u2026");
    host.ClearTheWay(application);
  } catch (const ApplicationStillRunning&) {
    // The parts are what the next run installs from.
    dropStaging();
    return RunEnd::Deferred;
  } catch (...) {
    dropStaging();
    throw;
  }

  switch (decision.action) {
    case LifecycleAction::Update:
      host.ShowStatus(L"Updating Tessaline\u2026");
      break;
    case LifecycleAction::Repair:
      host.ShowStatus(L"Repairing Tessaline\u2026");
      break;
    default:
      host.ShowStatus(L"Installing Tessaline\u2026");
      break;
  }
  try {
    session.launchPath =
        InstallPackage(paths, manifest.version, setupImage, [&] { host.ClearTheWay(application); }, session);
  } catch (const ApplicationStillRunning&) {
    return RunEnd::Deferred;
  }
  TrimInstallerCache(cacheFolder, manifest.filename);
  // The scheduled update runs the Setup just installed. Without its task the
  // installation still works; the next successful run registers it again.
  try {
    RegisterUpdateTask(installation / L"TessalineSetup.exe");
  } catch (const std::exception&) {
  }
  return RunEnd::Installed;
}

// A failure text that is not UTF-8 (some library texts are in the system
// code page) still has to reach the window readably.
std::wstring FailureText(const char* text) {
  try {
    return Utf8ToWide(text);
  } catch (const std::exception&) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<std::size_t>(length) : 0, L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    if (!wide.empty()) wide.pop_back();
    return wide.empty() ? std::wstring(L"Installation failed") : wide;
  }
}

}  // namespace

void RunDownloadThreads(int count, const std::function<void()>& body, const ThreadStarter& start,
                        std::atomic<bool>& cancelRequested) {
  std::vector<std::thread> threads;
  try {
    for (int i = 0; i < count; ++i) threads.push_back(start(body));
  } catch (const std::exception& failure) {
    // The started threads stop at their next check; none may outlive this.
    cancelRequested.exchange(true);
    for (std::thread& thread : threads) thread.join();
    throw SetupError(std::string("Unable to start the download: ") + failure.what());
  }
  for (std::thread& thread : threads) thread.join();
}

std::wstring ManifestUrl() {
  return std::wstring(L"https://") + kReleaseServiceHost + L"/api/v1/packages/tessaline/stable/windows-x64/manifest";
}

void InstallWorker(InstallSession& session, PipelineHost& host) {
  RunResult result;
  {
    // The shortcut and the scheduled task are made through COM on this thread.
    const ComInitialization com(COINIT_APARTMENTTHREADED);
    try {
      result.end = RunPipeline(session, host, result);
    } catch (const std::exception& e) {
      result.failure = FailureText(e.what());
    } catch (...) {
      result.failure = L"Installation failed";
    }
  }
  session.MarkStage("finished");
  // The last act of the worker.
  host.Finish(result);
}

void InstallWorker(InstallSession& session) {
  WindowHost host(session);
  InstallWorker(session, host);
}

void StartInstallWorker(InstallSession& session) {
  std::thread([&session] { InstallWorker(session); }).detach();
}

}  // namespace tessaline
