#include "sample_behaviour.h"

#include <charconv>

#include "app_files.h"

namespace tessaline::sample {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// "<path> <milliseconds>": the path may hold spaces, the count is last.
std::optional<HeldFile> ParseHeldFile(std::string_view arguments) {
  const auto space = arguments.find_last_of(" \t");
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view path = Trim(arguments.substr(0, space));
  const std::string_view count = arguments.substr(space + 1);
  unsigned long milliseconds = 0;
  const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), milliseconds);
  if (path.empty() || error != std::errc() || end != count.data() + count.size()) return std::nullopt;
  return HeldFile{Utf8ToWide(path), milliseconds};
}

}  // namespace

SampleBehaviour ParseSampleBehaviour(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  SampleBehaviour behaviour;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    const std::string_view line = Trim(text.substr(0, newline));
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (line.empty() || line.front() == '#') continue;

    const auto gap = line.find_first_of(" \t");
    const std::string_view keyword = line.substr(0, gap);
    const std::string_view arguments = gap == std::string_view::npos ? std::string_view() : Trim(line.substr(gap));
    bool understood = true;
    if (keyword == "smoke-exit-1" && arguments.empty()) {
      behaviour.smokeExitOne = true;
    } else if (keyword == "smoke-no-report" && arguments.empty()) {
      behaviour.smokeNoReport = true;
    } else if (keyword == "smoke-bad-report" && arguments.empty()) {
      behaviour.smokeBadReport = true;
    } else if (keyword == "smoke-hang" && arguments.empty()) {
      behaviour.smokeHang = true;
    } else if (keyword == "ignore-close" && arguments.empty()) {
      behaviour.ignoreClose = true;
    } else if (keyword == "hold-file") {
      behaviour.holdFile = ParseHeldFile(arguments);
      understood = behaviour.holdFile.has_value();
    } else if (keyword == "write-marker" && !arguments.empty()) {
      behaviour.writeMarker = Utf8ToWide(arguments);
    } else if (keyword == "close-marker" && !arguments.empty()) {
      behaviour.closeMarker = Utf8ToWide(arguments);
    } else {
      understood = false;
    }
    if (!understood) behaviour.unknownLines.emplace_back(line);
  }
  return behaviour;
}

SampleBehaviour LoadSampleBehaviour(const std::filesystem::path& folder) {
  const std::optional<std::string> text = ReadSmallFile(folder / L"sample-behaviour.txt");
  return text ? ParseSampleBehaviour(*text) : SampleBehaviour{};
}

}  // namespace tessaline::sample
