// Running another program and reading what it says.
#pragma once

#include <string>
#include <vector>

namespace tessaline::release {

struct ProgramRun {
  int exitCode = -1;   // -1 when it ended by a signal
  std::string output;  // stdout and stderr, interleaved as written
};

// Runs `arguments[0]`, found on PATH, with stdin from /dev/null, and waits for
// it. Throws ReleaseToolError when it cannot be started.
ProgramRun RunProgram(const std::vector<std::string>& arguments);

}  // namespace tessaline::release
