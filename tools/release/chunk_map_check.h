// Whether a chunk map file is the one a release manifest names, checked as
// Setup will check it before trusting any of its chunks.
#pragma once

#include <string>

#include "release_signing.h"

namespace tessaline::release {

// Empty when `chunkMap` has the size and SHA-256 of the manifest's chunkMap
// entry, decodes, and covers exactly the manifest's package size; otherwise
// what is wrong, as a sentence for the maker.
std::string ChunkMapProblem(const Bytes& manifest, const Bytes& chunkMap);

}  // namespace tessaline::release
