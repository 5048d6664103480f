// The process-wide state that the Setup window, the install worker and the
// download threads share. All of it starts zero or empty; a Setup process
// runs at most one installation, so none of it is ever reset.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <filesystem>

namespace tessaline {

struct ProgressCounters {
  std::atomic<std::uint64_t> bytesTotal{0};   // package size, from the manifest
  std::atomic<std::uint64_t> bytesDone{0};    // bytes of the package in the installer cache
  std::atomic<std::uint64_t> bytesAtStart{0}; // bytesDone when the download stage began
  std::atomic<std::int64_t> downloadStart{0}; // steady-clock nanoseconds at that moment
};

// Set by the window's Cancel button and close box, and by a download thread
// whose part failed; once set it stays set.
extern std::atomic<bool> cancelRequested;
extern ProgressCounters progressCounters;
// Whether the Start-menu shortcut is to exist after the installation.
extern std::atomic<bool> AddToStartMenu;
// The installed executable; written by the worker once, before it reports
// success, and read by the window only after that report.
extern std::filesystem::path launchPath;
// The one Setup window, target of every message the worker posts.
extern std::atomic<HWND> setupWindow;

// Told, on the worker's thread, each time the installation enters a stage
// ("manifest", "download", ...). For a process that measures the pipeline;
// Setup itself sets none, and then a mark costs one atomic load.
using StageObserver = void (*)(const char* stage);
extern std::atomic<StageObserver> stageObserver;

inline void MarkStage(const char* stage) {
  if (const StageObserver observer = stageObserver.load()) observer(stage);
}

}  // namespace tessaline
