#include "install/unattended_update.h"

#include <windows.h>
#include <netlistmgr.h>
#include <wrl/client.h>

#include <ctime>
#include <deque>
#include <fstream>
#include <thread>

#include "common/file_system.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "installation/close_application.h"
#include "winintegration/user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

// A record that grew past this by other hands is read no further.
constexpr std::size_t kRecordReadLimit = 256 * 1024;
// A failure text is cut there: a line must stay a line of the record.
constexpr std::size_t kRecordTextLimit = 400;

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  if (text.size() > kRecordTextLimit) text.resize(kRecordTextLimit);
  return text;
}

std::string Outcome(const RunResult& result) {
  if (!result.end) {
    try {
      return "failed: " + WideToUtf8(result.failure);
    } catch (const std::exception&) {
      return "failed";
    }
  }
  switch (*result.end) {
    case RunEnd::Installed:
      return "installed " + result.offered;
    case RunEnd::AlreadyNewest:
      return "the newest release is installed";
    case RunEnd::Deferred:
      return "downloaded and verified; Tessaline is running, so it is installed at the next run";
    case RunEnd::Metered:
      return "the connection is metered: nothing downloaded";
  }
  return "";
}

}  // namespace

bool IsConnectionMetered() {
  Microsoft::WRL::ComPtr<INetworkCostManager> costs;
  if (FAILED(CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&costs)))) return false;
  DWORD cost = NLM_CONNECTION_COST_UNKNOWN;
  if (FAILED(costs->GetCost(&cost, nullptr))) return false;
  return (cost & (NLM_CONNECTION_COST_FIXED | NLM_CONNECTION_COST_VARIABLE | NLM_CONNECTION_COST_OVERDATALIMIT |
                  NLM_CONNECTION_COST_ROAMING)) != 0;
}

UnattendedUpdate::UnattendedUpdate(std::function<bool()> isMetered) : isMetered_(std::move(isMetered)) {}

bool UnattendedUpdate::MayUseTheConnection() { return !isMetered_(); }

std::optional<RunEnd> UnattendedUpdate::EndBefore(const LifecycleDecision& decision) {
  switch (decision.action) {
    case LifecycleAction::Install:
      // Installing is the user's choice, made by running Setup.
      throw SetupError("Tessaline is not installed for this user");
    case LifecycleAction::Repair:
      return RunEnd::AlreadyNewest;
    default:
      return std::nullopt;
  }
}

void UnattendedUpdate::ClearTheWay(const fs::path& application) {
  const auto deadline = std::chrono::steady_clock::now() + kApplicationEndWait;
  while (IsApplicationRunning(application)) {
    if (std::chrono::steady_clock::now() >= deadline) throw ApplicationStillRunning();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

void UnattendedUpdate::Finish(const RunResult& result) {
  exitCode_ = !result.end                        ? kUpdateFailed
              : *result.end == RunEnd::Deferred ? kUpdateDeferred
                                                 : kUpdateSucceeded;
  try {
    AppendUpdateRecord(UpdateRecordPath(), UpdateRecordLine(std::chrono::system_clock::now(), result, exitCode_));
  } catch (const std::exception&) {
    // The exit code still tells.
  }
}

fs::path UpdateRecordPath() { return LocalAppDataFolder() / L"Quorvant" / L"TessalineUpdate.log"; }

std::string UpdateRecordLine(std::chrono::system_clock::time_point time, const RunResult& result, int exitCode) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_s(&utc, &seconds);
  char stamp[32] = {};
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", &utc);
  const auto version = [](const std::string& text) { return text.empty() ? std::string("-") : OneLine(text); };
  return std::string(stamp) + "\t" + version(result.installed) + "\t" + version(result.offered) + "\t" +
         std::to_string(exitCode) + "\t" + OneLine(Outcome(result));
}

void AppendUpdateRecord(const fs::path& path, const std::string& line) {
  std::deque<std::string> lines;
  {
    std::ifstream input(path, std::ios::binary);
    std::string text(kRecordReadLimit, '\0');
    input.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(input.gcount()));
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = std::min(text.find('\n', start), text.size());
      if (end > start) lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  lines.push_back(line);
  while (lines.size() > kUpdateRecordLines) lines.pop_front();
  std::string text;
  for (const std::string& kept : lines) text += kept + "\n";
  // A run cut off leaves the previous record whole.
  fs::path pending = path;
  pending += L".new";
  fsops::CreateDirectories(path.parent_path());
  fsops::ReplaceFileContents(path, pending, text);
}

}  // namespace tessaline
