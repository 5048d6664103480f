// Test behaviours, chosen by a sample-behaviour.txt placed beside the
// executable: one keyword per line, blank lines and '#' comments ignored.
//   smoke-exit-1                    self-test writes a passing report, exits 1
//   smoke-no-report                 self-test exits 0 and writes nothing
//   smoke-bad-report                self-test exits 0 and writes {"ok":true}
//   smoke-hang                      self-test never ends
//   ignore-close                    the window ignores WM_CLOSE
//   hold-file <path> <milliseconds> on a normal start, holds that file and
//                                   the application's folder open without
//                                   delete sharing for that long
//   write-marker <path>             on a normal start, writes the process id
//                                   there once the window is up
//   close-marker <path>             writes the process id there each time
//                                   the window is asked to close
// Paths are relative to the executable's folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline::sample {

struct HeldFile {
  std::wstring relativePath;
  unsigned long milliseconds = 0;
};

struct SampleBehaviour {
  bool smokeExitOne = false;
  bool smokeNoReport = false;
  bool smokeBadReport = false;
  bool smokeHang = false;
  bool ignoreClose = false;
  std::optional<HeldFile> holdFile;
  std::optional<std::wstring> writeMarker;
  std::optional<std::wstring> closeMarker;
  // Lines naming no known behaviour, or with bad arguments: a typo in a test
  // must fail the self-test, not pass unnoticed.
  std::vector<std::string> unknownLines;
};

SampleBehaviour ParseSampleBehaviour(std::string_view text);

// The behaviour file beside the executable; an absent file is normal.
SampleBehaviour LoadSampleBehaviour(const std::filesystem::path& folder);

}  // namespace tessaline::sample
