// The activation's journal: which phase an activation has entered, and the
// names it works with, recorded durably before each step, so that a run cut
// off in the middle (a crash, a power cut, Setup ended from outside) is
// finished or undone exactly by the next one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessaline {

// In the order an activation enters them; RollingBack can follow any.
enum class ActivationPhase {
  MovingOldAside,      // the installation folder is moved to the backup folder
  CarryingKeptFolder,  // kept folder `keptFolder` goes from the backup into the new version
  MovingNewIn,         // the new version, with its kept folders and Setup copies, moves in
  Registering,         // the new version is complete; shortcut and registration follow
  RollingBack,         // the previous state is being put back
};

const char* PhaseName(ActivationPhase phase);

struct ActivationRecord {
  ActivationPhase phase = ActivationPhase::MovingOldAside;
  // The furthest phase the activation entered; while rolling back, the one
  // it is rolling back from.
  ActivationPhase reached = ActivationPhase::MovingOldAside;
  // Names inside the Quorvant folder; `appRoot` is the folder inside the
  // staging folder that holds the new version, empty for the staging folder.
  std::wstring backup;
  std::wstring staging;
  std::wstring appRoot;
  std::string version;  // UTF-8, for the registration
  bool addToStartMenu = true;
  bool hadInstallation = false;
  std::uint32_t keptToCarry = 0;  // bit i: kept folder i of the old version holds data
  std::size_t keptFolder = 0;
};

enum class JournalState { Absent, Readable, Unreadable };

struct JournalReading {
  JournalState state = JournalState::Absent;
  ActivationRecord record;
};

// Writes the record as a new file, flushes it and renames it over the
// journal, so that a cut leaves either the previous record or this one.
// Raises a file-system failure.
void WriteActivationJournal(const std::filesystem::path& quorvantFolder, const ActivationRecord& record);

// An unreadable journal is one from an older Setup, or damaged: recovery
// then works from what is on disk.
JournalReading ReadActivationJournal(const std::filesystem::path& quorvantFolder);

// Deletes the journal, trying for a few seconds (a scanner may hold it).
// Returns false when it stays; a later run then finds its last phase again.
bool RemoveActivationJournal(const std::filesystem::path& quorvantFolder);

}  // namespace tessaline
