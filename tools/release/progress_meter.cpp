#include "progress_meter.h"

#include <unistd.h>

namespace tessaline::release {

ProgressMeter::ProgressMeter(std::FILE* out) : out_(out), terminal_(::isatty(::fileno(out)) == 1) {}

ProgressMeter::~ProgressMeter() {
  if (terminal_ && !stage_.empty()) std::fputc('\n', out_);
}

void ProgressMeter::Show(const std::string& stage, const std::string& text, double fraction) {
  if (stage != stage_) {
    stage_ = stage;
    lastTenth_ = -1;
    lastDraw_ = {};
  }
  if (terminal_) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::fprintf(out_, "\r%s: %s\033[K", stage.c_str(), text.c_str());
  } else {
    const int tenth = static_cast<int>(fraction * 10);
    if (tenth >= 10 || tenth == lastTenth_) return;  // Finish writes the last line
    lastTenth_ = tenth;
    std::fprintf(out_, "%s: %s\n", stage.c_str(), text.c_str());
  }
  std::fflush(out_);
}

void ProgressMeter::Finish(const std::string& stage, const std::string& text) {
  if (terminal_) {
    std::fprintf(out_, "\r%s: %s\033[K\n", stage.c_str(), text.c_str());
  } else {
    std::fprintf(out_, "%s: %s\n", stage.c_str(), text.c_str());
  }
  std::fflush(out_);
  stage_.clear();
}

std::string FormatBytes(std::uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace tessaline::release
