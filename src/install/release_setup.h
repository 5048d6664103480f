// The Setup an installation carries as its TessalineSetup.exe and
// TessalineUninstall.exe: the release's own where its manifest names one,
// so that a fix, a new rule or a new trusted key reaches every installed
// Setup with the next update.
#pragma once

#include <filesystem>
#include <optional>

#include "trust/release_manifest.h"

namespace tessaline {

// The release's Setup, to be fetched with the parts, or nothing when the
// manifest names none or names the running Setup's own bytes.
std::optional<PackagePart> ReleaseSetupToFetch(const ReleaseManifest& manifest);

// The Setup to install: the running one's image when `fetched` is nothing;
// otherwise the fetched file in `cacheFolder` (its signed size and digest
// already checked by the download), once it has passed a harmless run of
// itself and, where the running Setup carries a signature Windows accepts,
// once it carries one of the same publisher. Raises otherwise, and nothing
// has been installed.
std::filesystem::path VerifiedReleaseSetup(const std::optional<PackagePart>& fetched,
                                           const std::filesystem::path& cacheFolder);

}  // namespace tessaline
