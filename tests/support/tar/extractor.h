// Unpacking a gzip-compressed tar archive into an existing folder.
#pragma once

#include <filesystem>

namespace tessaline::tar {

// Writes the archive's files and folders below `target`, creating parents as
// needed and replacing files of the same name. Refuses (ExtractError) links,
// special files and any name that would land outside `target`, and never
// writes through a link or junction it finds there. A file cut short by a
// failure is removed; entries completed before it stay.
void ExtractArchive(const std::filesystem::path& archive, const std::filesystem::path& target);

}  // namespace tessaline::tar
