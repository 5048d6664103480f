// What one run of Setup shares between the window, the install worker and
// its download threads. The window owns it and outlives the worker's last use
// of it (the worker's last act is its finished message); the worker and the
// download threads hold references. A test makes its own.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>

namespace tessaline {

struct ProgressCounters {
  std::atomic<std::uint64_t> bytesTotal{0};   // package size, from the manifest
  std::atomic<std::uint64_t> bytesDone{0};    // bytes of the package in the installer cache
  std::atomic<std::uint64_t> bytesAtStart{0}; // bytesDone when the download stage began
  std::atomic<std::int64_t> downloadStart{0}; // steady-clock nanoseconds at that moment

  // Bytes counted as in the cache that turn out not to be: they leave both
  // what is done and what was there at the start, so that the rate still
  // counts only what is fetched.
  void TakeBack(std::uint64_t bytes) {
    bytesDone.fetch_sub(bytes);
    std::uint64_t start = bytesAtStart.load();
    while (!bytesAtStart.compare_exchange_weak(start, start - std::min(start, bytes))) {
    }
  }
};

// Told, on the worker's thread, each time the installation enters a stage
// ("manifest", "download", ...). For a process that measures the pipeline
// or a test that stops it; Setup itself sets none.
using StageObserver = void (*)(const char* stage);

struct InstallSession {
  // Set by the window's Cancel button and close box, and by a download thread
  // whose part failed; once set it stays set.
  std::atomic<bool> cancelRequested{false};
  ProgressCounters progressCounters;
  // Whether the Start-menu shortcut is to exist after the installation.
  std::atomic<bool> AddToStartMenu{true};
  // The installed executable; written by the worker once, before it reports
  // success, and read by the window only after that report.
  std::filesystem::path launchPath;
  // The window the worker posts its messages to.
  std::atomic<HWND> window{nullptr};
  std::atomic<StageObserver> stageObserver{nullptr};

  void MarkStage(const char* stage) const {
    if (const StageObserver observer = stageObserver.load()) observer(stage);
  }
};

}  // namespace tessaline
