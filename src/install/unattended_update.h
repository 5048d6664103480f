// An update nobody watches: the scheduled task's, or the one Tessaline starts
// as it closes. It shows nothing, never closes Tessaline, and reports through
// its exit code and a small record of its runs; what it cannot finish now,
// the next run finishes without downloading it again.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "install/pipeline_host.h"

namespace tessaline {

// Exit codes of `--update`.
inline constexpr int kUpdateSucceeded = 0;  // the newest release is installed, now or already (or nothing was due)
inline constexpr int kUpdateFailed = 1;
inline constexpr int kUpdateDeferred = 3;  // a newer release is downloaded and verified; Tessaline runs

// How long an unattended update lets Tessaline end by itself before it
// leaves the update for the next run. An application that starts the update
// as its last act needs a moment to be gone.
inline constexpr auto kApplicationEndWait = std::chrono::seconds(30);
// How long it waits for another Setup of the user: long enough for an
// update's installation stage, short enough that a stuck Setup does not hold
// the scheduled task for its whole time limit.
inline constexpr auto kUnattendedLockWait = std::chrono::minutes(5);
// How many runs the record keeps: a few weeks of the task's runs, a few
// kilobytes.
inline constexpr std::size_t kUpdateRecordLines = 100;

// Whether Windows says the connection is metered (a plan that charges by
// the byte, roaming, or over its limit). False when it cannot tell.
bool IsConnectionMetered();

class UnattendedUpdate final : public PipelineHost {
 public:
  // `isMetered` answers whether the connection is metered: the system's
  // answer, or a test's.
  explicit UnattendedUpdate(std::function<bool()> isMetered = IsConnectionMetered);

  void ShowStatus(const wchar_t*) override {}
  void ShowRelease(const LifecycleDecision&) override {}
  std::optional<std::chrono::milliseconds> LockWaitLimit() const override { return kUnattendedLockWait; }
  bool MayUseTheConnection() override;
  std::optional<RunEnd> EndBefore(const LifecycleDecision& decision) override;
  void ClearTheWay(const std::filesystem::path& application) override;
  bool ClosesTheApplication() const override { return false; }
  void Finish(const RunResult& result) override;

  int ExitCode() const { return exitCode_; }

 private:
  std::function<bool()> isMetered_;
  int exitCode_ = kUpdateFailed;
};

// The record of unattended runs, beside the installer cache.
std::filesystem::path UpdateRecordPath();

// One line of the record: the time (UTC, RFC 3339), the installed and the
// offered version ("-" when unknown), the exit code and what happened,
// separated by tabs.
std::string UpdateRecordLine(std::chrono::system_clock::time_point time, const RunResult& result, int exitCode);

// Appends `line` to the record at `path`, keeping only its newest
// kUpdateRecordLines lines. Raises a file-system failure.
void AppendUpdateRecord(const std::filesystem::path& path, const std::string& line);

}  // namespace tessaline
