#include "ui/progress_text.h"

#include <algorithm>
#include <cwchar>

namespace tessaline {
namespace {

constexpr double kMebibyte = 1024.0 * 1024.0;

std::wstring OneDecimal(double value) {
  wchar_t buffer[64];
  std::swprintf(buffer, std::size(buffer), L"%.1f", value);
  return buffer;
}

}  // namespace

int ProgressPercent(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  // done * 100 cannot overflow below 2^64 / 100 bytes; beyond, divide first.
  const std::uint64_t percent = done <= UINT64_MAX / 100 ? done * 100 / total : done / (total / 100);
  return static_cast<int>(std::min<std::uint64_t>(percent, 100));
}

double ElapsedSeconds(std::int64_t nowNanoseconds, std::int64_t startNanoseconds) {
  return std::max(static_cast<double>(nowNanoseconds - startNanoseconds) / 1e9, 0.1);
}

std::wstring ProgressText(std::uint64_t total, std::uint64_t done, std::uint64_t atStart, double elapsedSeconds) {
  const double rate = static_cast<double>(done - std::min(atStart, done)) / elapsedSeconds;
  std::wstring text = OneDecimal(static_cast<double>(done) / kMebibyte) + L" of " +
                      OneDecimal(static_cast<double>(total) / kMebibyte) + L" MB  \u00B7  " +
                      OneDecimal(rate / kMebibyte) + L" MB/s";
  if (rate > 0 && done < total) {
    const auto remaining = static_cast<std::uint64_t>(static_cast<double>(total - done) / rate);
    text += L"  \u00B7  about " + std::to_wstring(remaining) + L" seconds remaining";
  }
  return text;
}

}  // namespace tessaline
