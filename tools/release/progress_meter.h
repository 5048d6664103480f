// Progress of a long step on stderr. On a terminal one line is redrawn in
// place; otherwise (a log, a pipe) a new line is written at every tenth of
// the work, so logs stay short and readable.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tessaline::release {

class ProgressMeter {
 public:
  explicit ProgressMeter(std::FILE* out);
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;
  // Ends a line left open on a terminal, so an error message starts afresh.
  ~ProgressMeter();

  // `fraction` (0 to 1) of the current stage is done; `text` describes it.
  void Show(const std::string& stage, const std::string& text, double fraction);
  // The stage's last line.
  void Finish(const std::string& stage, const std::string& text);

 private:
  std::FILE* out_;
  bool terminal_;
  std::string stage_;
  int lastTenth_ = -1;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// 1536 -> "1.5 KiB"; below 1 KiB in bytes.
std::string FormatBytes(std::uint64_t bytes);

}  // namespace tessaline::release
