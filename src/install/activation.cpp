#include "install/activation.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/file_system.h"
#include "common/helper_process.h"
#include "common/install_session.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "install/install_package.h"
#include "installation/activation_journal.h"
#include "installation/kept_folders.h"
#include "installation/leftovers.h"
#include "installation/temporary_items.h"
#include "winintegration/uninstall_entry.h"
#include "winintegration/user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

bool IsFolder(const fs::path& path) { return fsops::Status(path).type() == fs::file_type::directory; }

// The paths a record names.
struct RecordPaths {
  fs::path quorvant;
  fs::path installation;
  fs::path backup;
  fs::path staging;
  fs::path appRoot;
};

RecordPaths PathsOf(const ActivationRecord& record, const fs::path& quorvant, const fs::path& installation) {
  RecordPaths paths{quorvant, installation, quorvant / record.backup, quorvant / record.staging, {}};
  paths.appRoot = record.appRoot.empty() ? paths.staging : paths.staging / record.appRoot;
  return paths;
}

void Enter(ActivationRecord& record, ActivationPhase phase, const fs::path& quorvant, const InstallSession& session) {
  record.phase = phase;
  if (phase != ActivationPhase::RollingBack) record.reached = phase;
  WriteActivationJournal(quorvant, record);
  session.MarkStage(PhaseName(phase));
}

bool Carries(const ActivationRecord& record, std::size_t index) { return (record.keptToCarry >> index) & 1U; }

// The package's own copy of the folder is replaced by the old version's.
void CarryKeptFolder(const RecordPaths& paths, std::size_t index) {
  const fs::path source = paths.backup / kPreservedFolders[index];
  const fs::path target = paths.appRoot / kPreservedFolders[index];
  if (fsops::Exists(target)) fsops::RemoveAll(target);
  MoveFolder(source, target);
}

void MakeShortcutAsChosen(const ActivationRecord& record, const fs::path& installation) {
  if (record.addToStartMenu) {
    CreateStartMenuShortcut(installation / L"Tessaline.exe");
  } else {
    RemoveStartMenuShortcut();
  }
}

// What the registration and the shortcut need is in the record, so that a
// later run can do this step for a run that was cut off. There the shortcut
// is the lesser part: a Start menu that cannot be reached (a redirected
// folder offline) must not keep the installation from being registered.
enum class Shortcut { Required, BestEffort };
void Register(const ActivationRecord& record, const fs::path& installation, Shortcut shortcut) {
  if (shortcut == Shortcut::Required) {
    MakeShortcutAsChosen(record, installation);
  } else {
    try {
      MakeShortcutAsChosen(record, installation);
    } catch (const std::exception&) {
    }
  }
  RegisterUninstallEntry(installation, record.version);
  // On disk before the journal that says it may still be missing goes.
  RegFlushKey(HKEY_CURRENT_USER);
}

// Records how far the rollback has come: what it has undone is no longer
// `reached`. A record that cannot be written (a full disk) leaves the older
// one, whose undo steps each check the disk first and so find it done.
void Rewind(ActivationRecord& record, ActivationPhase reached, const fs::path& quorvant) {
  if (reached != record.reached) {
    record.reached = reached;
    record.keptFolder = kPreservedFolderCount - 1;  // every carried folder may be back in the new version
  }
  try {
    WriteActivationJournal(quorvant, record);
  } catch (const std::exception&) {
  }
}

// Puts the previous installation back, undoing each step the record says
// may have been done, newest first. Nothing is deleted: the new version goes
// back into the staging folder, the kept folders back into the backup. A
// failure leaves the record at RollingBack, and the next run resumes here.
void RollBack(ActivationRecord& record, const RecordPaths& paths, const InstallSession& session) {
  record.phase = ActivationPhase::RollingBack;
  Rewind(record, record.reached, paths.quorvant);
  session.MarkStage(PhaseName(ActivationPhase::RollingBack));
  // A first installation has nothing to go back to: a new version already
  // moved in stays.
  if (record.hadInstallation) {
    if (record.reached >= ActivationPhase::MovingNewIn) {
      // The installation is the new version only while the old one is still
      // aside and the new one's place in the staging folder is empty.
      if (IsFolder(paths.backup) && !fsops::Exists(paths.appRoot) && fsops::Exists(paths.installation)) {
        MoveWithRetry(paths.installation, paths.appRoot, kMoveWindowSeconds);
      }
      Rewind(record, ActivationPhase::CarryingKeptFolder, paths.quorvant);
    }
    if (record.reached >= ActivationPhase::CarryingKeptFolder) {
      for (std::size_t i = kPreservedFolderCount; i-- > 0;) {
        if (!Carries(record, i) || i > record.keptFolder || !IsFolder(paths.backup)) continue;
        const fs::path carried = paths.appRoot / kPreservedFolders[i];
        const fs::path home = paths.backup / kPreservedFolders[i];
        if (!fsops::Exists(home) && fsops::Exists(carried)) MoveFolder(carried, home);
      }
      Rewind(record, ActivationPhase::MovingOldAside, paths.quorvant);
    }
    if (IsFolder(paths.backup)) {
      // Whatever took the installation's place meanwhile is not deleted.
      if (fsops::Exists(paths.installation)) {
        MoveFolder(paths.installation, paths.quorvant / kRecoveredDataFolder / RunSuffix() / L"Tessaline");
      }
      MoveWithRetry(paths.backup, paths.installation, kMoveWindowSeconds);
    }
  }
  RemoveActivationJournal(paths.quorvant);
}

void Finish(const fs::path& quorvant) {
  // The new version is registered: a journal that a scanner holds for a
  // moment only makes the next run register it once more.
  RemoveActivationJournal(quorvant);
}

// The folders directly inside `quorvant` whose names start with `prefix`.
std::vector<fs::path> FoldersNamed(const fs::path& quorvant, const wchar_t* prefix) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator entry(quorvant, error), end; !error && entry != end; entry.increment(error)) {
    std::error_code ignored;
    if (StartsWith(entry->path().filename().native(), prefix) && entry->is_directory(ignored)) {
      found.push_back(entry->path());
    }
  }
  if (error) throw FileSystemFailure("directory_iterator::operator++", error, quorvant);
  return found;
}

// The folders named with `prefix`, newest first, by the time their content
// last changed.
std::vector<fs::path> NewestFirst(const fs::path& quorvant, const wchar_t* prefix) {
  std::vector<fs::path> folders = FoldersNamed(quorvant, prefix);
  const auto changed = [](const fs::path& folder) {
    std::error_code ignored;
    return fs::last_write_time(folder, ignored);
  };
  std::sort(folders.begin(), folders.end(),
            [&](const fs::path& a, const fs::path& b) { return changed(a) > changed(b); });
  return folders;
}

bool HoldsTheApplication(const fs::path& folder) {
  return fsops::Status(folder / L"Tessaline.exe").type() == fs::file_type::regular;
}

// An uninstall that moved the installation aside and then could neither
// finish nor move it back leaves the entry pointing at nothing: the folder
// is still the user's installation, and goes back first.
void PutBackWhatAnUninstallMovedAside(const fs::path& quorvant, const fs::path& installation) {
  if (fsops::Exists(installation) || !IsTessalineRegistered()) return;
  for (const fs::path& removed : NewestFirst(quorvant, kRemovalPrefix)) {
    if (!HoldsTheApplication(removed)) continue;
    MoveWithRetry(removed, installation, kMoveWindowSeconds);
    return;
  }
}

bool IsCompleteInstallation(const fs::path& folder) {
  for (const wchar_t* name : {L"Tessaline.exe", L"TessalineSetup.exe", L"TessalineUninstall.exe"}) {
    if (fsops::Status(folder / name).type() != fs::file_type::regular) return false;
  }
  return true;
}

// Without a journal (an older Setup's, or one damaged), from what is on disk.
// An installation missing and a backup present: the newest backup holding
// the application goes back. A backup's kept data goes into the
// installation; where the installation holds data of its own in that kept
// folder, that is set aside under "Tessaline recovered data", never deleted.
void RecoverFromDisk(const fs::path& quorvant, const fs::path& installation,
                     const std::function<void()>& closeApplication, bool journalDamaged) {
  std::vector<fs::path> backups = NewestFirst(quorvant, kBackupPrefix);
  if (!fsops::Exists(installation)) {
    const auto restorable = std::find_if(backups.begin(), backups.end(), HoldsTheApplication);
    if (restorable != backups.end()) {
      MoveWithRetry(*restorable, installation, kMoveWindowSeconds);
      backups.erase(restorable);
    }
  }
  if (!IsFolder(installation)) return;
  bool closed = false;
  int setAsideCount = 0;
  const std::wstring run = RunSuffix();
  // Moves kept folder `i` of `holder` to a folder of its own under
  // "Tessaline recovered data".
  const auto setAside = [&](const fs::path& holder, std::size_t i) {
    const fs::path aside = quorvant / kRecoveredDataFolder / (run + L"-" + std::to_wstring(++setAsideCount));
    MoveFolder(holder / kPreservedFolders[i], aside / kPreservedFolders[i]);
  };
  // Takes the kept data of `holder` into the installation; a copy the
  // installation already holds is set aside, never deleted.
  const auto takeIn = [&](const fs::path& holder, std::size_t i) {
    if (!closed) closeApplication();
    closed = true;
    const fs::path target = installation / kPreservedFolders[i];
    if (HasKeptData(installation, i) || fsops::Status(target).type() == fs::file_type::regular) {
      setAside(installation, i);
    } else if (fsops::Exists(target)) {
      fsops::RemoveAll(target);  // an empty folder
    }
    MoveFolder(holder / kPreservedFolders[i], target);
  };
  // Oldest first, so that the newest backup's data ends up in place.
  for (auto backup = backups.rbegin(); backup != backups.rend(); ++backup) {
    for (std::size_t i = 0; i < kPreservedFolderCount; ++i) {
      bool holds = false;
      try {
        holds = HasKeptData(*backup, i);
      } catch (const std::exception&) {
        continue;  // being deleted by a cleanup worker; what it holds stays for the next run
      }
      if (holds) takeIn(*backup, i);
    }
  }
  // A new version that passed its self-test (Setup's copies are placed only
  // after it) may hold kept data carried from the old one: when the journal
  // was lost, or damaged. Where the installation, put back, lacks that data,
  // it goes in rather than away with the staging folder. Where the
  // installation has data of its own, the staging folder's copy is the
  // package's when no journal was ever written; a damaged one may have been
  // carrying the user's newest copy, which is then set aside.
  for (const fs::path& staging : FoldersNamed(quorvant, kStagingPrefix)) {
    const fs::path appRoot = FindAppRoot(staging);
    if (!fsops::Exists(appRoot / L"TessalineSetup.exe") || !fsops::Exists(appRoot / L"TessalineUninstall.exe")) continue;
    for (std::size_t i = 0; i < kPreservedFolderCount; ++i) {
      if (!HasKeptData(appRoot, i)) continue;
      if (!HasKeptData(installation, i)) {
        takeIn(appRoot, i);
      } else if (journalDamaged) {
        setAside(appRoot, i);
      }
    }
  }
  // An older Setup cut off after moving the new version in left it without
  // its copies of Setup: the registered uninstall command would find none.
  for (const wchar_t* name : {L"TessalineSetup.exe", L"TessalineUninstall.exe"}) {
    if (fsops::Status(installation / L"Tessaline.exe").type() == fs::file_type::regular &&
        !fsops::Exists(installation / name)) {
      fsops::CopyFile(SetupExecutablePath(), installation / name);
    }
  }
}

}  // namespace

void ActivateInstallation(const InstallationPaths& paths, const std::string& version, const InstallSession& session) {
  ActivationRecord record;
  record.backup = paths.backup.filename().native();
  record.staging = paths.staging.filename().native();
  if (paths.appRoot != paths.staging) record.appRoot = paths.appRoot.filename().native();
  record.version = version;
  record.addToStartMenu = session.AddToStartMenu.load();
  record.hadInstallation = fsops::Exists(paths.installation);
  const RecordPaths at = PathsOf(record, paths.quorvant, paths.installation);

  Enter(record, ActivationPhase::MovingOldAside, paths.quorvant, session);  // nothing moved yet if this fails
  try {
    if (record.hadInstallation) {
      MoveWithRetry(paths.installation, paths.backup, kMoveWindowSeconds);
      // Known only now: until the move, the application could still write
      // its first data.
      for (std::size_t i = 0; i < kPreservedFolderCount; ++i) {
        if (HasKeptData(paths.backup, i)) record.keptToCarry |= 1U << i;
      }
    }
    for (std::size_t i = 0; i < kPreservedFolderCount; ++i) {
      if (!Carries(record, i)) continue;
      record.keptFolder = i;
      Enter(record, ActivationPhase::CarryingKeptFolder, paths.quorvant, session);
      CarryKeptFolder(at, i);
    }
    Enter(record, ActivationPhase::MovingNewIn, paths.quorvant, session);
    MoveWithRetry(paths.appRoot, paths.installation, kMoveWindowSeconds);
    Enter(record, ActivationPhase::Registering, paths.quorvant, session);
    Register(record, paths.installation, Shortcut::Required);
  } catch (...) {
    RollBack(record, at, session);
    throw;
  }
  Finish(paths.quorvant);
}

void RecoverInstallation(const fs::path& quorvant, const fs::path& installation,
                         const std::function<void()>& closeApplication,
                         const InstallSession& session) {
  if (!fsops::Exists(quorvant)) return;  // nothing was ever installed
  PutBackWhatAnUninstallMovedAside(quorvant, installation);
  const JournalReading journal = ReadActivationJournal(quorvant);
  if (journal.state == JournalState::Readable) {
    ActivationRecord record = journal.record;
    const RecordPaths at = PathsOf(record, quorvant, installation);
    // Forward only when the new version is whole in place: its move
    // recorded, and no longer in the staging folder.
    const bool complete = (record.phase == ActivationPhase::Registering ||
                           record.phase == ActivationPhase::MovingNewIn) &&
                          !fsops::Exists(at.appRoot) && IsCompleteInstallation(installation);
    if (complete) {
      record.phase = ActivationPhase::Registering;
      try {
        Register(record, installation, Shortcut::BestEffort);
        Finish(quorvant);
        return;
      } catch (const std::exception&) {
        // A registration that keeps failing (a folder the size estimate may
        // not read, a registry that refuses the entry) would stop every
        // later run here, before the network: the previous version goes
        // back instead, and the next update starts over.
      }
    }
    closeApplication();
    RollBack(record, at, session);
    return;
  }
  RecoverFromDisk(quorvant, installation, closeApplication, journal.state == JournalState::Unreadable);
  if (journal.state == JournalState::Unreadable) RemoveActivationJournal(quorvant);
}

}  // namespace tessaline
