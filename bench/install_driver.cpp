// bench-install: one run of Setup's install worker, as Setup's window would
// start it, with a hidden window in its place and the time of every stage.
//   bench-install install     prints one JSON object:
//     {"ok": true, "failure": "", "seconds": 4.2,
//      "stages": [{"name": "manifest", "seconds": 0.05}, ...]}
//   bench-install forget      removes the installation, the installer cache,
//                             the registration and the shortcut
// Exit code 0 when the run succeeded, 1 when it failed, 2 for a usage error.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/install_session.h"
#include "common/text_conversion.h"
#include "install/install_worker.h"
#include "install_test_support.h"
#include "installation/activation_journal.h"
#include "message_recorder.h"

using namespace tessaline;

namespace {

using Clock = std::chrono::steady_clock;

struct Mark {
  std::string stage;
  Clock::time_point at;
};

std::mutex marksMutex;
std::vector<Mark> marks;

void RecordStage(const char* stage) {
  // The activation's own phases are part of its stage; the unpacking runs
  // beside the download, and is part of its stage.
  for (const ActivationPhase phase : {ActivationPhase::MovingOldAside, ActivationPhase::CarryingKeptFolder,
                                      ActivationPhase::MovingNewIn, ActivationPhase::Registering}) {
    if (std::string(stage) == PhaseName(phase)) return;
  }
  if (std::string(stage) == "extract" || std::string(stage) == "unpacking") return;
  const Clock::time_point now = Clock::now();
  const std::lock_guard<std::mutex> lock(marksMutex);
  marks.push_back({stage, now});
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int Install() {
  testing::MessageRecorder recorder;
  if (!recorder.HasWindow()) {
    std::fputs("bench-install: no window could be made (is DISPLAY set?)\n", stderr);
    return 1;
  }
  InstallSession session;
  session.window = recorder.Window();
  session.stageObserver = RecordStage;
  const Clock::time_point start = Clock::now();
  InstallWorker(session);
  recorder.WaitForFinished();
  const Clock::time_point end = Clock::now();

  nlohmann::json result;
  const std::vector<testing::RecordedMessage> messages = recorder.Messages();
  const bool ok = !messages.empty() && messages.back().message == FinishedMessage && messages.back().wParam == 1;
  result["ok"] = ok;
  result["failure"] = ok || messages.empty() ? std::string() : WideToUtf8(messages.back().text);
  result["seconds"] = Seconds(end - start);
  nlohmann::json stages = nlohmann::json::array();
  for (std::size_t i = 0; i + 1 < marks.size(); ++i) {
    stages.push_back({{"name", marks[i].stage}, {"seconds", Seconds(marks[i + 1].at - marks[i].at)}});
  }
  result["stages"] = stages;
  std::printf("%s\n", result.dump().c_str());
  return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc == 2 ? argv[1] : L"";
  try {
    if (command == L"install") return Install();
    if (command == L"forget") {
      testing::ForgetEverythingInstalled();
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench-install: %s\n", e.what());
    return 1;
  }
  std::fputs("usage: bench-install install | forget\n", stderr);
  return 2;
}
