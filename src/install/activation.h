// Activation: the one step of an installation that changes an existing
// installation, as a journaled state machine. Each phase is recorded before
// its step; a failure rolls back from the recorded phase, and a run that was
// cut off is finished by the next one from the same record: forward once the
// new version is complete in the installation folder, backward before.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "common/install_session.h"

namespace tessaline {

struct InstallationPaths {
  std::filesystem::path quorvant;
  std::filesystem::path installation;
  std::filesystem::path staging;
  std::filesystem::path backup;
  std::filesystem::path setupCopy;
  std::filesystem::path appRoot;  // inside `staging`: the new version, with Setup's copies placed
  std::wstring suffix;            // the run suffix that names every temporary item of the run
};

// Moves the old installation aside, carries its kept folders into the new
// version, moves the new version in, and creates the shortcut and the
// registration for `version`. On a failure the previous installation is put
// back and the failure passed on (or the rollback's own, should it fail).
void ActivateInstallation(const InstallationPaths& paths, const std::string& version, const InstallSession& session);

// Finishes what an earlier run left, before anything else touches the
// installation: from its journal when there is one, and otherwise from what
// is on disk, by rules that never delete the user's data (see README).
// `closeApplication` is called before anything that moves the installation
// or its kept folders. Raises when it cannot; the journal then stays.
void RecoverInstallation(const std::filesystem::path& quorvantFolder, const std::filesystem::path& installationFolder,
                         const std::function<void()>& closeApplication, const InstallSession& session);

}  // namespace tessaline
