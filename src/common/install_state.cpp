#include "common/install_state.h"

namespace tessaline {

std::atomic<bool> cancelRequested{false};
ProgressCounters progressCounters;
std::atomic<bool> AddToStartMenu{true};
std::filesystem::path launchPath;
std::atomic<HWND> setupWindow{nullptr};
std::atomic<StageObserver> stageObserver{nullptr};

}  // namespace tessaline
