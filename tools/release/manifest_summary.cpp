#include "manifest_summary.h"

#include <cstdint>
#include <nlohmann/json.hpp>

#include "publish_inputs.h"
#include "release_freshness.h"

namespace tessaline::release {
namespace {

using Json = nlohmann::ordered_json;

bool IsLowerHexDigest(const Json& value) {
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The setup member, listed as a part is; empty when well formed.
std::string SetupProblem(const Json& setup) {
  if (!setup.is_object()) return "the manifest's setup member is not an object";
  const auto member = [&](const char* name) { return setup.contains(name) ? setup.at(name) : Json(); };
  if (!member("name").is_string() || !member("url").is_string() || !member("size").is_number_unsigned() ||
      !IsLowerHexDigest(member("sha256"))) {
    return "the manifest's setup member needs a name, an unsigned size, 64 lower-case hexadecimal digits of "
           "SHA-256 and a URL";
  }
  const auto size = member("size").get<std::uint64_t>();
  if (size == 0 || size > kLargestSetupFile) {
    return "the manifest's Setup is " + std::to_string(size) + " bytes; Setup downloads 1 to " +
           std::to_string(kLargestSetupFile);
  }
  return {};
}

}  // namespace

ManifestSummary SummariseManifest(const Bytes& manifest, std::uint64_t now) {
  ManifestSummary summary;
  const Json document = Json::parse(manifest.begin(), manifest.end(), nullptr, false);
  if (!document.is_object()) {
    summary.problem = "the manifest is not a JSON object";
    return summary;
  }
  try {
    summary.text += "sequence: " + (document.contains("sequence") ? std::to_string(ManifestSequence(document))
                                                                  : std::string("none")) + "\n";
  } catch (const ReleaseToolError& e) {
    summary.problem = e.what();
    return summary;
  }
  const auto expires = document.find("expires");
  if (expires == document.end()) {
    summary.text += "expires: none\n";
  } else {
    const std::optional<std::uint64_t> time =
        expires->is_string() ? ParseRfc3339Utc(expires->get<std::string>()) : std::nullopt;
    if (!time) {
      summary.problem = "the manifest's expires is not a UTC time like 2027-03-01T00:00:00Z: " + expires->dump();
      return summary;
    }
    summary.text += "expires: " + expires->get<std::string>() + "\n";
    if (*time <= now) {
      summary.problem = "the manifest expired at " + expires->get<std::string>() +
                        ": Setup refuses it; sign it again with refresh";
    }
  }
  const auto setup = document.find("setup");
  if (setup == document.end()) {
    summary.text += "setup: none\n";
  } else if (const std::string problem = SetupProblem(*setup); !problem.empty()) {
    if (summary.problem.empty()) summary.problem = problem;
  } else {
    summary.text += "setup: " + setup->at("name").get<std::string>() + " (" +
                    std::to_string(setup->at("size").get<std::uint64_t>()) + " bytes, SHA-256 " +
                    setup->at("sha256").get<std::string>() + ")\n" +
                    "setup URL: " + setup->at("url").get<std::string>() + "\n";
  }
  return summary;
}

}  // namespace tessaline::release
