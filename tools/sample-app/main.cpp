// The sample Tessaline.exe: the smallest real application Setup installs,
// tests and closes.
//   Tessaline.exe                        the window
//   Tessaline.exe --startup-smoke --startup-smoke-report <path>
//                                        the self-test, no window
// Exit codes: 0 success, 1 failure, 2 a self-test switch without its partner.
#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>
#include <vector>

#include "app_files.h"
#include "common/unique_handle.h"
#include "kept_data.h"
#include "sample_behaviour.h"
#include "sample_window.h"
#include "startup_smoke.h"

namespace {

struct SmokeRequest {
  bool requested = false;
  std::optional<std::wstring> reportPath;
  bool malformed = false;
};

std::vector<std::wstring> Arguments() {
  int count = 0;
  const tessaline::UniqueLocalMemory owner(CommandLineToArgvW(GetCommandLineW(), &count));
  const auto* const* values = static_cast<const wchar_t* const*>(owner.Get());
  if (values == nullptr || count < 1) return {};
  return std::vector<std::wstring>(values + 1, values + count);
}

// The shell may hand a normal start anything; only the self-test switches
// are looked at, and they must come as a pair.
SmokeRequest ReadSmokeRequest(const std::vector<std::wstring>& arguments) {
  SmokeRequest request;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == L"--startup-smoke") {
      request.requested = true;
    } else if (arguments[i] == L"--startup-smoke-report") {
      if (i + 1 == arguments.size() || request.reportPath) {
        request.malformed = true;
      } else {
        request.reportPath = arguments[++i];
      }
    }
  }
  if (request.requested != request.reportPath.has_value()) request.malformed = true;
  return request;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  using namespace tessaline::sample;
  const std::filesystem::path folder = ExecutableFolder();
  const SampleBehaviour behaviour = LoadSampleBehaviour(folder);
  const std::wstring version = SampleVersion(folder);

  const SmokeRequest smoke = ReadSmokeRequest(Arguments());
  if (smoke.malformed) return 2;
  if (smoke.requested) return RunStartupSmoke(instance, folder, version, behaviour, *smoke.reportPath);

  const unsigned long dataProblem = EnsureKeptData(folder, version);
  return RunSampleWindow(instance, showCommand, folder, version, behaviour, dataProblem);
}
