// `tessaline-release serve`: a published site's release service and package
// host over HTTPS, for local and staging use.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "https_server.h"

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

constexpr const char* kServeUsage =
    "Usage: tessaline-release serve --site SITE --cert CERT.pem --key KEY.pem\n"
    "           [--release-port 28443] [--package-port 28444] [--bind 127.0.0.1]\n"
    "\n"
    "Serves SITE/release-service on the release port and SITE/package-host on the\n"
    "package port over HTTPS: GET and HEAD of the files in those folders, with\n"
    "single byte ranges. CERT.pem holds the server certificate (and any\n"
    "intermediates), KEY.pem its private key. Listens on loopback unless --bind\n"
    "names another numeric address; port 0 takes any free port. Logs one line per\n"
    "request to stderr. Ctrl-C or SIGTERM stops it.\n";

std::uint16_t ParsePort(const std::string& option, const std::string& text) {
  if (text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos || std::stoul(text) > 65535) {
    throw UsageError(option + " needs a port number from 0 to 65535, not '" + text + "'");
  }
  return static_cast<std::uint16_t>(std::stoul(text));
}

asio::awaitable<void> ServeFile(fs::path root, Exchange& exchange) {
  const HttpRequest& request = exchange.Request();
  co_await exchange.Send(ServeSiteFile(root, request.Path(), request.head));
}

RequestHandler SiteHandler(fs::path root) {
  return [root = std::move(root)](Exchange& exchange) { return ServeFile(root, exchange); };
}

ExchangeLogger RequestLog(std::string name) {
  return [name = std::move(name)](const HttpRequest& request, unsigned status, std::uint64_t bytesSent) {
    std::string line = "[" + name + "] " + request.peer + " " + std::string(request.head.method_string()) + " " +
                       std::string(request.head.target()) + " " + std::to_string(status) + " " +
                       std::to_string(bytesSent);
    const std::string_view range = request.Header(http::field::range);
    if (!range.empty()) line.append(" (Range: ").append(range).append(")");
    line += "\n";
    std::fputs(line.c_str(), stderr);  // one call per line, so threads never interleave
  };
}

int Serve(const CommandOptions& options) {
  const fs::path site = options.Required("site");
  const fs::path certificate = options.Required("cert");
  const fs::path key = options.Required("key");
  const std::string bind = options.Value("bind").value_or("127.0.0.1");
  const auto releaseText = options.Value("release-port");
  const auto packageText = options.Value("package-port");
  const std::uint16_t releasePortWanted = releaseText ? ParsePort("--release-port", *releaseText) : 28443;
  const std::uint16_t packagePortWanted = packageText ? ParsePort("--package-port", *packageText) : 28444;
  if (releasePortWanted != 0 && releasePortWanted == packagePortWanted) {
    throw UsageError("the release port and the package port must differ");
  }
  const fs::path releaseRoot = site / "release-service";
  const fs::path packageRoot = site / "package-host";
  for (const fs::path& root : {releaseRoot, packageRoot}) {
    if (!fs::is_directory(root)) {
      throw SiteServerError(root.string() + " is not a folder; --site takes the folder that publish wrote");
    }
  }
  const TlsIdentity tls = TlsIdentity::Load(certificate, key);
  TerminationSignals signals;
  HttpsServer releaseService(tls, SiteHandler(releaseRoot), RequestLog("release-service"));
  HttpsServer packageHost(tls, SiteHandler(packageRoot), RequestLog("package-host"));
  const std::uint16_t releasePort = releaseService.Listen(bind, releasePortWanted);
  const std::uint16_t packagePort = packageHost.Listen(bind, packagePortWanted);
  std::cerr << "tessaline-release serve: release service on " << bind << ":" << releasePort << " from "
            << releaseRoot.string() << "\n"
            << "tessaline-release serve: package host on " << bind << ":" << packagePort << " from "
            << packageRoot.string() << "\n"
            << "tessaline-release serve: Ctrl-C stops the servers" << std::endl;
  const int signal = signals.Wait();
  std::cerr << "tessaline-release serve: " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << ", stopping\n";
  packageHost.Stop();
  releaseService.Stop();
  return 0;
}

}  // namespace

const Command kServeCommand = {
    "serve", kServeUsage, {"site", "cert", "key", "release-port", "package-port", "bind"}, {}, Serve};

}  // namespace tessaline::release
