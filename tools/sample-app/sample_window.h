// The sample application's one window: says what it is and which version,
// and closes on WM_CLOSE unless a test asked it not to.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "sample_behaviour.h"

namespace tessaline::sample {

inline constexpr wchar_t kSampleWindowClass[] = L"TessalineSampleWindow";

bool RegisterSampleWindowClass(HINSTANCE instance);

// Shows the window, runs the message loop and returns the quit code: 0 once
// the window has been closed. `dataProblem` is a Windows error code from
// preparing the kept data, shown when not 0.
int RunSampleWindow(HINSTANCE instance, int showCommand, const std::filesystem::path& folder,
                    const std::wstring& version, const SampleBehaviour& behaviour, unsigned long dataProblem);

}  // namespace tessaline::sample
