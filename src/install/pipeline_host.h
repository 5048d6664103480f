// Who one run of the installation pipeline answers to: the Setup window, or
// an unattended update. The pipeline and every stage of it are the same for
// both; a host says how the run reports, and decides the few points where a
// person who started Setup has chosen otherwise than a run nobody watches
// may: whether the decision is worth carrying out, whether the connection
// may be used, and whether a running Tessaline may be closed.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "common/setup_error.h"
#include "trust/lifecycle.h"

namespace tessaline {

// How a run ended that did not fail.
enum class RunEnd {
  Installed,      // the release is installed, now
  AlreadyNewest,  // nothing to do: the newest release is installed
  Deferred,       // downloaded and verified, but Tessaline runs: the parts wait in the cache
  Metered,        // nothing downloaded on a metered connection
};

// What the host learns of a run at its end.
struct RunResult {
  std::optional<RunEnd> end;   // nothing when the run failed
  std::wstring failure;        // the failure text, when it did
  std::string installed;       // UTF-8 versions, as far as the run learned them
  std::string offered;
};

// Raised by a host that may not close Tessaline when it still runs; the run
// then ends as Deferred.
class ApplicationStillRunning : public SetupError {
 public:
  ApplicationStillRunning() : SetupError("Tessaline is running") {}
};

class PipelineHost {
 public:
  virtual ~PipelineHost() = default;

  // The status line of the stage the run enters.
  virtual void ShowStatus(const wchar_t* text) = 0;
  // The decision, once the manifest is verified.
  virtual void ShowRelease(const LifecycleDecision& decision) = 0;
  // How long the run waits for another Setup of the user; nothing: until it
  // is cancelled.
  virtual std::optional<std::chrono::milliseconds> LockWaitLimit() const = 0;
  // Whether the run may download now; asked before anything is fetched.
  virtual bool MayUseTheConnection() = 0;
  // An end the decision leads to before anything is downloaded, or nothing
  // to carry it out. May raise, to fail the run with its text.
  virtual std::optional<RunEnd> EndBefore(const LifecycleDecision& decision) = 0;
  // Returns once no copy of `application` runs, so that its folder can
  // move; raises ApplicationStillRunning when it may not make it so.
  virtual void ClearTheWay(const std::filesystem::path& application) = 0;
  // Whether ClearTheWay closes a running Tessaline. One that only waits for
  // it has the release unpacked only once Tessaline has ended, so that a
  // release that has to wait is not unpacked again at every try.
  virtual bool ClosesTheApplication() const = 0;
  // The run's last act.
  virtual void Finish(const RunResult& result) = 0;
};

}  // namespace tessaline
