// Turns a verified package into the installed, registered application:
// unpack into a staging folder, smoke-test the new application, then swap it
// into place with the old installation kept as a backup until it succeeds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "common/install_session.h"

namespace tessaline {

inline constexpr wchar_t kSystemTar[] = L"C:\\Windows\\System32\\tar.exe";
inline constexpr std::uint32_t kUnpackTimeoutMs = 120000;
inline constexpr std::uint32_t kSmokeTestTimeoutMs = 90000;

// Returns <installation folder>\Tessaline.exe. `version` is the manifest's
// UTF-8 version text, recorded in the registration entry; `setupImage` the
// Setup the installation carries as its TessalineSetup.exe and
// TessalineUninstall.exe. `clearTheWay` is called just before the old
// installation moves, and may raise to stop the installation there, with
// nothing of it left behind.
std::filesystem::path InstallPackage(const std::filesystem::path& package, const std::string& version,
                                     const std::filesystem::path& setupImage, const std::function<void()>& clearTheWay,
                                     const InstallSession& session);

// The unpacker's arguments, -xf <package> -C <staging folder>, with each path
// in a form that survives the ANSI command line of the system's tar.exe when
// it runs in `workingFolder`.
std::wstring UnpackArguments(const std::filesystem::path& package, const std::filesystem::path& staging,
                             const std::filesystem::path& workingFolder);

// The size of what a gzip-compressed package unpacks to, as its trailer
// records it (modulo 4 GiB); 0 when it cannot be read.
std::uint64_t UnpackedSize(const std::filesystem::path& package);

// The failure text of an unpacker that failed, saying that the disk is full
// when `available` bytes are fewer than the `needed` (0: unknown).
std::string ExtractionFailureText(std::uint64_t needed, std::uint64_t available);

// The folder inside `staging` that holds Tessaline.exe: the staging folder
// itself or its only subfolder. Falls back to `staging` when neither does.
std::filesystem::path FindAppRoot(const std::filesystem::path& staging);

// Runs the application's start-up self-test in `appRoot`; raises unless it
// passes. `report` is where it is asked to write its report.
void RunSmokeTest(const std::filesystem::path& appRoot, const std::filesystem::path& report);

}  // namespace tessaline
