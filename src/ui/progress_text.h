// The download progress line of the Setup window, as a pure function of the
// shared counters so that it can be checked without a window.
#pragma once

#include <cstdint>
#include <string>

namespace tessaline {

// Bar position 0-100: done * 100 / total, capped at 100. `total` must not be 0.
int ProgressPercent(std::uint64_t done, std::uint64_t total);

// Elapsed seconds since the download stage began, never below 0.1.
double ElapsedSeconds(std::int64_t nowNanoseconds, std::int64_t startNanoseconds);

// "115.4 of 274.8 MB  ·  6.4 MB/s  ·  about 24 seconds remaining": sizes and
// rate in MiB with one decimal; bytes that were on disk before the download
// stage (`atStart`) never count towards the rate.
std::wstring ProgressText(std::uint64_t total, std::uint64_t done, std::uint64_t atStart, double elapsedSeconds);

}  // namespace tessaline
