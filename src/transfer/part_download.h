// Brings one package part into the installer cache: reused when already
// valid, resumed with a range request, restarted when the range is refused,
// retried with growing pauses, and verified by size and digest.
#pragma once

#include <filesystem>

#include "common/install_session.h"
#include "common/unique_handle.h"
#include "trust/release_manifest.h"

namespace tessaline {

inline constexpr int kPartAttempts = 4;
inline constexpr unsigned kPartReadSize = 131072;

// The part's file in the installer cache, opened to go on after the `kept`
// bytes it holds, or created empty when it keeps none; others may read it.
UniqueFile OpenPartFile(const std::filesystem::path& file, std::uint64_t kept);

// Returns once <cacheFolder>\<part.name> has the part's size and SHA-256.
// Keeps the session's bytesDone current and stops when its cancelRequested
// is set. Raises the failure of the last attempt.
void DownloadPart(const PackagePart& part, const std::filesystem::path& cacheFolder, InstallSession& session);

}  // namespace tessaline
