// The start-up self-test Setup runs before it activates a new version:
// checks that the application could start, writes a JSON report and answers
// with its exit code.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "sample_behaviour.h"

namespace tessaline::sample {

// Writes {"ok": true|false, "version": ..., "checks": [...]} to `reportPath`
// and returns the exit code: 0 when every check passed and the report was
// written, 1 otherwise. The behaviour's smoke-* keywords bend this for tests;
// smoke-hang never returns.
int RunStartupSmoke(HINSTANCE instance, const std::filesystem::path& folder, const std::wstring& version,
                    const SampleBehaviour& behaviour, const std::filesystem::path& reportPath);

}  // namespace tessaline::sample
