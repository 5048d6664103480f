// Where a release site keeps the signed manifest, as publish lays it out and
// the release service serves it.
#pragma once

namespace tessaline::release {

inline constexpr const char* kManifestFolder = "release-service/api/v1/packages/tessaline/stable/windows-x64";
inline constexpr const char* kManifestFileName = "manifest";
inline constexpr const char* kSignatureFileName = "manifest.sig";

}  // namespace tessaline::release
