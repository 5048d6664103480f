// The Windows tests' view of the native test HTTPS server: where it serves
// files from, its addresses, and what it recorded of each request.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/text_conversion.h"
#include "transfer/https_client.h"
#include "windows_test_support.h"

namespace tessaline::testing {

inline constexpr wchar_t kServerOrigin[] = L"https://localhost:28444";
// A second name of the same server, for redirects to another host: a name of
// this machine that resolves to loopback (see loopback-name).
inline constexpr char kMirrorHostAndPort[] = TESSALINE_TEST_MIRROR_HOST ":28444";
inline constexpr wchar_t kUntrustedOrigin[] = L"https://localhost:28445";

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string range;
  std::string userAgent;
  int status = 0;
  std::uint64_t bytesSent = 0;
};

// The folder the server serves (created by the server fixture).
inline std::filesystem::path ServerRoot() { return TestExecutableFolder() / L"www"; }

inline std::wstring ServerUrl(const std::string& path) { return kServerOrigin + Utf8ToWide(path); }

// The test server's own answers: small, but the log can grow with a run.
inline std::vector<std::uint8_t> FetchFromServer(const std::string& path) {
  return FetchToMemory(ServerUrl(path), 64 * 1024 * 1024, "The test server's answer is too large");
}

inline void ResetServer() { FetchFromServer("/control/reset"); }

// Until the next reset, the server answers `path` (asked for as is, such as
// the manifest's fixed address) with the faults of `items`.
inline void ArmFault(const std::string& items, const std::string& path) { FetchFromServer("/control/arm/" + items + path); }

// The largest body the endless fault sends before it drops the connection.
inline constexpr std::uint64_t kEndlessBodyCap = 64 * 1024 * 1024;

// Everything the server received since the last reset, in arrival order.
inline std::vector<RecordedRequest> ServerRequests() {
  const std::vector<std::uint8_t> body = FetchFromServer("/control/requests");
  std::vector<RecordedRequest> requests;
  for (const nlohmann::json& entry : nlohmann::json::parse(body.begin(), body.end())) {
    RecordedRequest request;
    request.method = entry.at("method").get<std::string>();
    request.path = entry.at("path").get<std::string>();
    request.range = entry.at("range").get<std::string>();
    request.userAgent = entry.at("userAgent").get<std::string>();
    request.status = entry.at("status").get<int>();
    request.bytesSent = entry.at("bytesSent").get<std::uint64_t>();
    requests.push_back(request);
  }
  return requests;
}

// Deterministic, incompressible-looking content of a given size.
inline std::string PatternBytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761U + 1;
  for (char& b : bytes) {
    state = state * 1664525U + 1013904223U;
    b = static_cast<char>(state >> 24);
  }
  return bytes;
}

}  // namespace tessaline::testing
