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

namespace {

// Removes every entry directly inside `folder` whose name `matches`, never
// following a link. Reports the first error in `error` and goes on with the rest.
void RemoveMatching(const fs::path& folder, bool (*matches)(const std::wstring&), std::error_code& error) {
  error.clear();
  std::vector<fs::path> found;
  std::error_code listing;
  if (!fs::exists(folder, listing)) {
    error = listing;
    return;
  }
  for (fs::directory_iterator entry(folder, listing), end; !listing && entry != end; entry.increment(listing)) {
    if (matches(entry->path().filename().native())) found.push_back(entry->path());
  }
  if (listing) error = listing;
  for (const fs::path& item : found) {
    std::error_code removal;
    fsops::RemoveTree(item, removal);
    if (removal && !error) error = removal;
  }
}

bool IsTemporaryWorkerCopy(const std::wstring& name) {
  return (StartsWith(name, L"TessalineCleanup-") || StartsWith(name, L"TessalineUninstall-")) && EndsWith(name, L".exe");
}

}  // namespace

void RemoveInstallationLeftovers(const fs::path& quorvantFolder, std::error_code& error) {
  RemoveMatching(quorvantFolder, IsInstallationLeftover, error);
}

void RemoveTemporaryWorkerCopies(const fs::path& tempFolder) {
  std::error_code ignored;
  RemoveMatching(tempFolder, IsTemporaryWorkerCopy, ignored);
}

}  // namespace tessaline
