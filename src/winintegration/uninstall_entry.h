// The application's entry in the current user's list of installed programs.
#pragma once

#include <filesystem>
#include <string>

namespace tessaline {

inline constexpr wchar_t kMakerWebPage[] = L"https://www.quorvant.com/tessaline";
inline constexpr wchar_t kMakerHelpPage[] = L"https://www.quorvant.com/tessaline/support";

// Writes the entry for the installation in `installationFolder` at `version`
// (UTF-8). Both copies of Setup must already be in the folder.
void RegisterUninstallEntry(const std::filesystem::path& installationFolder, const std::string& version);

// The installation's size in KiB as the entry reports it, capped to 32 bits.
unsigned long EstimateInstallationSize(const std::filesystem::path& installationFolder);

}  // namespace tessaline
