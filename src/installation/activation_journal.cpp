#include "installation/activation_journal.h"

#include <windows.h>

#include <chrono>
#include <map>
#include <optional>
#include <algorithm>
#include <thread>
#include <vector>

#include "common/file_system.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "installation/kept_folders.h"
#include "installation/temporary_items.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

constexpr char kHeader[] = "tessaline-activation 1";
constexpr std::size_t kJournalLimit = 64 * 1024;
constexpr ActivationPhase kPhases[] = {ActivationPhase::MovingOldAside, ActivationPhase::CarryingKeptFolder,
                                       ActivationPhase::MovingNewIn, ActivationPhase::Registering,
                                       ActivationPhase::RollingBack};

fs::path PendingJournalPath(const fs::path& quorvantFolder) {
  fs::path pending = ActivationJournalPath(quorvantFolder);
  pending += L".new";
  return pending;
}

// A single name that leads nowhere but into the Quorvant folder.
bool IsPlainName(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/:") == std::wstring::npos;
}

std::optional<std::string> ReadSmall(const fs::path& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return std::nullopt;
    SetLastError(code);
    RaiseLastFileSystemError("open", path);
  }
  std::string content(kJournalLimit, '\0');
  DWORD read = 0;
  if (!ReadFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr)) {
    RaiseLastFileSystemError("read", path);
  }
  content.resize(read);
  return content;
}

std::optional<ActivationRecord> ParseRecord(const std::string& text) {
  std::map<std::string, std::string> fields;
  bool headed = false;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!headed) {
      if (line != kHeader) return std::nullopt;
      headed = true;
      continue;
    }
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) fields[line] = "";
    else fields[line.substr(0, space)] = line.substr(space + 1);
  }
  const char* required[] = {"phase", "reached", "backup", "staging", "app-root", "version", "shortcut", "had-installation",
                            "kept-to-carry", "kept-folder", "end"};
  for (const char* key : required) {
    if (fields.count(key) == 0) return std::nullopt;  // cut short: not a record
  }
  ActivationRecord record;
  int known = 0;
  for (const ActivationPhase phase : kPhases) {
    if (fields["phase"] == PhaseName(phase)) {
      record.phase = phase;
      ++known;
    }
    if (fields["reached"] == PhaseName(phase) && phase != ActivationPhase::RollingBack) {
      record.reached = phase;
      ++known;
    }
  }
  if (known != 2) return std::nullopt;
  try {
    record.backup = Utf8ToWide(fields["backup"]);
    record.staging = Utf8ToWide(fields["staging"]);
    record.appRoot = Utf8ToWide(fields["app-root"]);
    record.version = fields["version"];
    Utf8ToWide(record.version);
    record.keptToCarry = static_cast<std::uint32_t>(std::stoul(fields["kept-to-carry"]));
    record.keptFolder = static_cast<std::size_t>(std::stoul(fields["kept-folder"]));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!IsPlainName(record.backup) || !StartsWith(record.backup, kBackupPrefix) || !IsPlainName(record.staging) ||
      !StartsWith(record.staging, kStagingPrefix) || (!record.appRoot.empty() && !IsPlainName(record.appRoot)) ||
      record.version.empty() || record.keptToCarry >= (1U << kPreservedFolderCount) ||
      record.keptFolder >= kPreservedFolderCount) {
    return std::nullopt;
  }
  record.addToStartMenu = fields["shortcut"] == "1";
  record.hadInstallation = fields["had-installation"] == "1";
  return record;
}

std::string FormatRecord(const ActivationRecord& record) {
  std::string text = std::string(kHeader) + "\n";
  text += "phase " + std::string(PhaseName(record.phase)) + "\n";
  text += "reached " + std::string(PhaseName(record.reached)) + "\n";
  text += "backup " + WideToUtf8(record.backup) + "\n";
  text += "staging " + WideToUtf8(record.staging) + "\n";
  text += "app-root " + WideToUtf8(record.appRoot) + "\n";
  text += "version " + record.version + "\n";
  text += std::string("shortcut ") + (record.addToStartMenu ? "1" : "0") + "\n";
  text += std::string("had-installation ") + (record.hadInstallation ? "1" : "0") + "\n";
  text += "kept-to-carry " + std::to_string(record.keptToCarry) + "\n";
  text += "kept-folder " + std::to_string(record.keptFolder) + "\n";
  text += "end\n";  // a record without it was cut short
  return text;
}

}  // namespace

const char* PhaseName(ActivationPhase phase) {
  switch (phase) {
    case ActivationPhase::MovingOldAside:
      return "moving-old-aside";
    case ActivationPhase::CarryingKeptFolder:
      return "carrying-kept-folder";
    case ActivationPhase::MovingNewIn:
      return "moving-new-in";
    case ActivationPhase::Registering:
      return "registering";
    case ActivationPhase::RollingBack:
      return "rolling-back";
  }
  return "unknown";
}

void WriteActivationJournal(const fs::path& quorvantFolder, const ActivationRecord& record) {
  const fs::path journal = ActivationJournalPath(quorvantFolder);
  const fs::path pending = PendingJournalPath(quorvantFolder);
  // Never truncated in place: the rename replaces the whole record at once.
  fsops::ReplaceFileContents(journal, pending, FormatRecord(record));
}

JournalReading ReadActivationJournal(const fs::path& quorvantFolder) {
  JournalReading reading;
  const std::optional<std::string> text = ReadSmall(ActivationJournalPath(quorvantFolder));
  if (!text) return reading;
  const std::optional<ActivationRecord> record = ParseRecord(*text);
  reading.state = record ? JournalState::Readable : JournalState::Unreadable;
  if (record) reading.record = *record;
  return reading;
}

bool RemoveActivationJournal(const fs::path& quorvantFolder) {
  const fs::path journal = ActivationJournalPath(quorvantFolder);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (true) {
    if (DeleteFileW(journal.c_str())) return true;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

}  // namespace tessaline
