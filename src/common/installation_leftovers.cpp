#include "installation_leftovers.h"

#include <string>
#include <vector>

#include "file_system.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.rfind(prefix, 0) == 0; }

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

fs::path ActivationJournalPath(const fs::path& quorvantFolder) { return quorvantFolder / L".Tessaline-activation"; }

bool IsInstallationLeftover(const std::wstring& name) {
  return StartsWith(name, L".Tessaline-backup-") || StartsWith(name, L".Tessaline-staging-") ||
         (StartsWith(name, L".TessalineSetup-") && EndsWith(name, L".exe"));
}

void RemoveInstallationLeftovers(const fs::path& quorvantFolder, std::error_code& error) {
  error.clear();
  std::vector<fs::path> leftovers;
  std::error_code listing;
  if (!fs::exists(quorvantFolder, listing)) {
    error = listing;
    return;
  }
  for (fs::directory_iterator entry(quorvantFolder, listing), end; !listing && entry != end; entry.increment(listing)) {
    if (IsInstallationLeftover(entry->path().filename().native())) leftovers.push_back(entry->path());
  }
  if (listing) error = listing;
  for (const fs::path& leftover : leftovers) {
    std::error_code removal;
    fsops::RemoveTree(leftover, removal);
    if (removal && !error) error = removal;
  }
}

void RemoveTemporaryWorkerCopies(const fs::path& tempFolder) {
  std::error_code listing;
  std::vector<fs::path> copies;
  for (fs::directory_iterator entry(tempFolder, listing), end; !listing && entry != end; entry.increment(listing)) {
    const std::wstring name = entry->path().filename().native();
    if ((StartsWith(name, L"TessalineCleanup-") || StartsWith(name, L"TessalineUninstall-")) && EndsWith(name, L".exe")) {
      copies.push_back(entry->path());
    }
  }
  for (const fs::path& copy : copies) {
    std::error_code ignored;
    if (fs::symlink_status(copy, ignored).type() == fs::file_type::regular) fs::remove(copy, ignored);
  }
}

}  // namespace tessaline
