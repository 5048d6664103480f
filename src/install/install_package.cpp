#include "install/install_package.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "common/command_line.h"
#include "common/file_system.h"
#include "common/helper_process.h"
#include "common/install_session.h"
#include "common/unique_handle.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "install/activation.h"
#include "install/cleanup_launch.h"
#include "installation/activation_journal.h"
#include "installation/close_application.h"
#include "installation/temporary_items.h"
#include "trust/digest.h"
#include "winintegration/user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

bool IsRegularFile(const fs::path& path) { return fsops::Status(path).type() == fs::file_type::regular; }

// Setup's two copies go into the new version before it moves in, so that it
// appears in the installation folder whole, in one rename.
void PlaceSetupCopies(const fs::path& setupCopy, const fs::path& appRoot) {
  for (const wchar_t* name : {L"TessalineSetup.exe", L"TessalineUninstall.exe"}) {
    const fs::path target = appRoot / name;
    fsops::CopyFile(setupCopy, target, fs::copy_options::overwrite_existing);
    fsops::FlushFile(target);
  }
}

// After registration the activation has finished: handing the backup off and
// deleting Setup's temporary items must not undo it. What stays behind, the
// next run removes.
void HandOff(const InstallationPaths& paths) {
  CleanupLauncher(paths.backup, paths.setupCopy);
  std::error_code ignored;
  fs::remove(paths.setupCopy, ignored);
  fsops::RemoveTree(paths.staging, ignored);
}

}  // namespace

fs::path FindAppRoot(const fs::path& staging) {
  if (IsRegularFile(staging / L"Tessaline.exe")) return staging;
  std::error_code error;
  fs::directory_iterator listing(staging, error);
  if (error) throw FileSystemFailure("directory_iterator::directory_iterator", error, staging);
  std::vector<fs::path> folders;
  for (const fs::directory_iterator end; listing != end;) {
    const bool folder = listing->is_directory(error);
    if (error) throw FileSystemFailure("directory_entry::status", error, listing->path());
    if (folder) folders.push_back(listing->path());
    listing.increment(error);
    if (error) throw FileSystemFailure("directory_iterator::operator++", error, staging);
  }
  if (folders.size() == 1 && IsRegularFile(folders.front() / L"Tessaline.exe")) return folders.front();
  return staging;
}

void RunSmokeTest(const fs::path& appRoot, const fs::path& report) {
  const std::wstring arguments = L"--startup-smoke --startup-smoke-report " + QuoteCommandLineArgument(report.native());
  const std::uint32_t code = RunInstallationHelper(appRoot / L"Tessaline.exe", arguments, appRoot, kSmokeTestTimeoutMs);
  if (code != 0 || !IsRegularFile(report)) throw SetupError("Tessaline failed its startup test");
  const std::vector<std::uint8_t> bytes = ReadSetupFile(report);
  fsops::Remove(report);
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.size() < 10 || text.find("\"ok\": true") == std::string_view::npos) {
    throw SetupError("Tessaline startup validation failed");
  }
}

namespace {

std::wstring ShortPathName(const fs::path& path) {
  const DWORD needed = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (needed == 0) return {};
  std::wstring shortForm(needed, L'\0');
  const DWORD length = GetShortPathNameW(path.c_str(), shortForm.data(), needed);
  if (length == 0 || length >= needed) return {};
  shortForm.resize(length);
  return shortForm;
}

// The system's tar.exe reads its command line in the ANSI code page, so a
// path holding a character outside it (a user profile named in another
// script) would reach it mangled. The first form of the path that survives
// that conversion: relative to the unpacker's working folder, then the 8.3
// short form, and else the full path as it is.
std::wstring PathForAnsiCommandLine(const fs::path& path, const fs::path& workingFolder) {
  const fs::path relative = path.lexically_relative(workingFolder);
  if (!relative.empty() && SurvivesAnsiCodePage(relative.native())) return relative.native();
  const std::wstring shortForm = ShortPathName(path);
  if (!shortForm.empty() && SurvivesAnsiCodePage(shortForm)) return shortForm;
  return path.native();
}

// Hashes one block at a time on a thread of its own, while the stream hands
// the same block to the unpacker: the digest costs the stream no time.
class BlockHasher {
 public:
  BlockHasher() : thread_([this] { Run(); }) {}
  ~BlockHasher() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  BlockHasher(const BlockHasher&) = delete;
  BlockHasher& operator=(const BlockHasher&) = delete;

  // The block must stay as it is until Wait returns.
  void Start(const char* data, std::size_t length) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      data_ = data;
      length_ = length;
      pending_ = true;
    }
    changed_.notify_all();
  }

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    if (failure_) std::rethrow_exception(failure_);
  }

  Sha256Digest Finish() {
    Wait();
    return hasher_.Finish();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return pending_ || stopping_; });
      if (!pending_) return;
      lock.unlock();
      std::exception_ptr failure;
      try {
        if (!failure_) hasher_.Update(data_, length_);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      if (failure) failure_ = failure;
      pending_ = false;
      changed_.notify_all();
    }
  }

  Sha256Hasher hasher_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* data_ = nullptr;
  std::size_t length_ = 0;
  bool pending_ = false;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once everything above is made
};

}  // namespace

std::uint64_t UnpackedSize(const std::array<std::uint8_t, 4>& trailer) {
  // A gzip stream ends with the size of what it holds, modulo 4 GiB.
  return trailer[0] | (trailer[1] << 8) | (trailer[2] << 16) | (std::uint64_t{trailer[3]} << 24);
}

std::string ExtractionFailureText(std::uint64_t needed, std::uint64_t available) {
  std::string text = "Unable to extract the Tessaline package";
  if (needed == 0 || available >= needed) return text;
  const std::uint64_t short_ = (needed - available + 1024 * 1024 - 1) / (1024 * 1024);
  return text + ": " + WindowsErrorDescription(ERROR_DISK_FULL) + " (" + std::to_string(short_) +
         " MB more are needed)";
}

std::wstring UnpackArguments(const fs::path& staging, const fs::path& workingFolder) {
  return L"-xf - -C " + QuoteCommandLineArgument(PathForAnsiCommandLine(staging, workingFolder));
}

InstallationPaths PrepareStaging() {
  InstallationPaths paths;
  paths.quorvant = QuorvantProgramsFolder();
  paths.suffix = RunSuffix();
  paths.staging = paths.quorvant / (kStagingPrefix + paths.suffix);
  paths.backup = paths.quorvant / (kBackupPrefix + paths.suffix);
  paths.setupCopy = paths.quorvant / (kSetupCopyPrefix + paths.suffix + L".exe");
  paths.installation = UserApplicationFolder();
  fsops::CreateDirectories(paths.quorvant);
  fsops::CreateDirectories(paths.staging);
  return paths;
}

namespace {

// The package's last four bytes, its gzip trailer, from the ends of the
// parts that are there (the last part may hold fewer than four); zeros when
// they cannot be read.
std::array<std::uint8_t, 4> PackageTrailer(const PackageParts& package, PartSource& parts) {
  std::array<std::uint8_t, 4> trailer{};
  std::size_t missing = trailer.size();
  for (std::size_t index = package.files.size(); missing > 0 && index-- > 0;) {
    const UniqueFile part(parts.Has(index) ? CreateFileW(package.files[index].c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                           : INVALID_HANDLE_VALUE);
    LARGE_INTEGER size{};
    if (!part || !GetFileSizeEx(part.Get(), &size)) return {};
    const auto taken = static_cast<DWORD>(std::min<std::uint64_t>(missing, static_cast<std::uint64_t>(size.QuadPart)));
    LARGE_INTEGER from{};
    from.QuadPart = size.QuadPart - taken;
    DWORD got = 0;
    if (!SetFilePointerEx(part.Get(), from, nullptr, FILE_BEGIN) ||
        !ReadFile(part.Get(), trailer.data() + missing - taken, taken, &got, nullptr) || got != taken) {
      return {};
    }
    missing -= taken;
  }
  return missing == 0 ? trailer : std::array<std::uint8_t, 4>{};
}

}  // namespace

void UnpackPackage(const PackageParts& package, const InstallationPaths& paths, PartSource& parts,
                   const InstallSession& session) {
  session.MarkStage("extract");
  const fs::path& staging = paths.staging;
  const fs::path& workingFolder = paths.quorvant;
  std::vector<char> block(1 << 20);
  BlockHasher hasher;
  std::uint64_t streamed = 0;
  // Whether the stream ended before its last part for an unpacker that failed.
  bool cutShort = false;
  const auto feed = [&](HelperInput& unpacker) {
    bool taking = true;
    for (std::size_t index = 0; index < package.files.size(); ++index) {
      // An unpacker that failed is not kept waiting for the network: what is
      // there is still hashed, so that bytes which are not the package's
      // are named as such, but a part still to come ends the stream.
      if (!taking && !parts.Has(index) && unpacker.Failed()) {
        cutShort = true;
        return;
      }
      const auto stopping = [&] { return !unpacker.WaitWithoutLimit([&] { return parts.WaitFor(index); }); };
      if (stopping()) throw SetupError("Installation cancelled");
      const UniqueFile part(CreateFileW(package.files[index].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      DWORD got = 0;
      while (part && ReadFile(part.Get(), block.data(), static_cast<DWORD>(block.size()), &got, nullptr) && got > 0) {
        hasher.Start(block.data(), got);
        streamed += got;
        // An unpacker that has ended takes no more; the rest is still hashed.
        if (taking) taking = unpacker.Write(block.data(), got);
        hasher.Wait();
        if (stopping()) throw SetupError("Installation cancelled");
      }
      if (index == 0) session.MarkStage("unpacking");
    }
  };
  std::uint32_t code = 0;
  std::optional<SetupError> timedOut;
  try {
    code = RunInstallationHelperWithInput(kSystemTar, UnpackArguments(staging, workingFolder), workingFolder, feed,
                                          kUnpackTimeoutMs);
  } catch (const HelperTimedOut& failure) {
    timedOut = failure;
  }
  // Bytes that are not the package's may have made the unpacker fail or
  // stall, or unpacked into something; either way they are what failed.
  const bool whole = streamed == package.size;
  if (!cutShort && (!whole || HexLower(hasher.Finish()) != package.sha256)) {
    throw SetupError("The complete package failed verification");
  }
  if (timedOut) throw *timedOut;
  if (code != 0) {
    // What it unpacked goes at once: on a full disk, the failure frees
    // what it took, and the free space it reports is the real one.
    std::error_code ignored;
    fsops::RemoveTree(staging, ignored);
    ULARGE_INTEGER available{};
    const bool known = GetDiskFreeSpaceExW(workingFolder.c_str(), &available, nullptr, nullptr) != 0;
    const std::uint64_t needed = UnpackedSize(PackageTrailer(package, parts));
    throw SetupError(ExtractionFailureText(needed, known ? available.QuadPart : ~0ULL));
  }
}

fs::path InstallPackage(InstallationPaths paths, const std::string& version, const fs::path& setupImage,
                        const std::function<void()>& clearTheWay, const InstallSession& session) {
  const fs::path report = fs::temp_directory_path() / (L"tessaline-smoke-" + paths.suffix + L".json");
  try {
    // The copy of Setup that goes with the installation.
    fsops::CopyFile(setupImage, paths.setupCopy, fs::copy_options::overwrite_existing);
    paths.appRoot = FindAppRoot(paths.staging);
    if (!IsRegularFile(paths.appRoot / L"Tessaline.exe")) throw SetupError("Tessaline.exe is missing from the package");
    session.MarkStage("smoke test");
    RunSmokeTest(paths.appRoot, report);
    PlaceSetupCopies(paths.setupCopy, paths.appRoot);
    session.MarkStage("activation");
    // Cleared before the smoke test; the user may have started it again
    // since.
    clearTheWay();
  } catch (...) {
    // Nothing of the installation was touched yet; leave nothing behind either.
    std::error_code ignored;
    fsops::RemoveTree(paths.staging, ignored);
    fs::remove(paths.setupCopy, ignored);
    fs::remove(report, ignored);
    throw;
  }

  try {
    ActivateInstallation(paths, version, session);
  } catch (...) {
    std::error_code ignored;
    fs::remove(paths.setupCopy, ignored);
    // Rolled back, the staging folder holds only the failed new version: it
    // goes now, so that a failure on a full disk frees what it took. While
    // a journal still names it, it may hold kept data, and stays.
    if (ReadActivationJournal(paths.quorvant).state == JournalState::Absent) fsops::RemoveTree(paths.staging, ignored);
    throw;
  }
  HandOff(paths);
  return paths.installation / L"Tessaline.exe";
}

}  // namespace tessaline
