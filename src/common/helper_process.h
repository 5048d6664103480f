// Running the programs an installation needs (the archive tool, the new
// application's self-test) without a window and with a time limit, and
// starting the workers that finish Setup's work after it has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "common/setup_error.h"

namespace tessaline {

// "<process id>-<milliseconds since system start>": names every temporary
// item of one installation, so two runs never collide.
std::wstring RunSuffix();

// Starts `program` with `arguments` (already quoted by the caller) in
// `workingFolder`, hidden, inheriting no handles, and returns its exit code.
// A child still running after `timeoutMs` is ended with exit code 1, with
// every process it started, and the call raises HelperTimedOut. What a child that ended leaves running is ended on return too.
std::uint32_t RunInstallationHelper(const std::filesystem::path& program, const std::wstring& arguments,
                                    const std::filesystem::path& workingFolder, std::uint32_t timeoutMs);

// A helper that did not end within its time limit; it has been ended.
class HelperTimedOut : public SetupError {
 public:
  HelperTimedOut() : SetupError("Installation helper timed out") {}
};

// The write end of a helper's standard input.
class HelperInput {
 public:
  virtual ~HelperInput() = default;
  // Hands `size` bytes to the helper; false once it reads no more (it ended,
  // or closed its input), and the bytes then went nowhere.
  virtual bool Write(const void* data, std::size_t size) = 0;
  // Runs `wait` with the time limit stopped, for bytes that Setup itself is
  // still waiting for: the helper waits on Setup then, not Setup on it.
  virtual bool WaitWithoutLimit(const std::function<bool()>& wait) = 0;
  // Once Write has returned false: whether the helper failed, waiting a
  // while for it to end (one that does not end counts as failed).
  virtual bool Failed() = 0;
};

// RunInstallationHelper with the helper's standard input a pipe, which
// `feed` writes into; the input is closed when `feed` returns. The time
// limit counts from the start and, once bytes flow, from the last byte the
// helper took: a helper that takes nothing and does not end within
// `idleTimeoutMs` is ended as one that timed out, and a slow disk that keeps
// it busy is never cut off. Raises what `feed` raises, with the helper ended.
std::uint32_t RunInstallationHelperWithInput(const std::filesystem::path& program, const std::wstring& arguments,
                                             const std::filesystem::path& workingFolder,
                                             const std::function<void(HelperInput&)>& feed,
                                             std::uint32_t idleTimeoutMs);

// Starts `program` with the whole `commandLine` (its own name first, quoted
// by the caller) in `workingFolder`, inheriting no handles, and leaves it
// running: a worker that must outlive Setup. A Setup ended while it starts
// one leaves no half-started process behind. Returns false, with the
// system's error as the last error, when it cannot be started.
bool StartIndependentProcess(const std::filesystem::path& program, const std::wstring& commandLine,
                             const std::filesystem::path& workingFolder);

}  // namespace tessaline
