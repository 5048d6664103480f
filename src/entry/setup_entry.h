// The whole of one Setup process: choose the mode, run it, give the exit code.
#pragma once

#include <windows.h>

#include <string>

namespace tessaline {

int RunSetup(HINSTANCE instance, const wchar_t* commandTail, int showCommand);

// The two headless check modes; each returns its exit code.
int RunManifestVerification(const std::wstring& manifestPath, const std::wstring& signaturePath);
int RunLifecycleProbe(const std::wstring& installed, const std::wstring& available, const std::wstring& outputPath);

}  // namespace tessaline
