// `tessaline-release serve`: a published site's release service and package
// host over HTTPS, for local and staging use.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "site_server.h"

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

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServeOptions {
  fs::path site;
  fs::path certificate;
  fs::path key;
  std::uint16_t releasePort = 28443;
  std::uint16_t packagePort = 28444;
  std::string bind = "127.0.0.1";
  bool help = false;
};

std::uint16_t ParsePort(const std::string& option, const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(text) > 65535) {
    throw UsageError(option + " needs a port number from 0 to 65535, not '" + text + "'");
  }
  return static_cast<std::uint16_t>(std::stoul(text));
}

ServeOptions ParseServeOptions(const std::vector<std::string>& arguments) {
  ServeOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (name != "--site" && name != "--cert" && name != "--key" && name != "--release-port" &&
        name != "--package-port" && name != "--bind") {
      throw UsageError(name.rfind("--", 0) == 0 ? "unknown option: " + name : "unexpected argument: " + name);
    }
    if (i + 1 >= arguments.size() || arguments[i + 1].empty()) throw UsageError("option " + name + " needs a value");
    const std::string& value = arguments[++i];
    if (name == "--site") options.site = value;
    if (name == "--cert") options.certificate = value;
    if (name == "--key") options.key = value;
    if (name == "--bind") options.bind = value;
    if (name == "--release-port") options.releasePort = ParsePort(name, value);
    if (name == "--package-port") options.packagePort = ParsePort(name, value);
  }
  if (options.help) return options;
  if (options.site.empty()) throw UsageError("missing --site");
  if (options.certificate.empty()) throw UsageError("missing --cert");
  if (options.key.empty()) throw UsageError("missing --key");
  if (options.releasePort != 0 && options.releasePort == options.packagePort) {
    throw UsageError("the release port and the package port must differ");
  }
  return options;
}

RequestHandler SiteHandler(fs::path root) {
  return [root = std::move(root)](const HttpRequest& request) {
    return ServeSiteFile(root, request.Path(), request.Header("Range"));
  };
}

ExchangeLogger RequestLog(std::string name) {
  return [name = std::move(name)](const HttpRequest& request, int status, std::uint64_t bytesSent) {
    std::string line = "[" + name + "] " + request.peer + " " + request.method + " " + request.target + " " +
                       std::to_string(status) + " " + std::to_string(bytesSent);
    const std::string range = request.Header("Range");
    if (!range.empty()) line += " (Range: " + range + ")";
    line += "\n";
    std::fputs(line.c_str(), stderr);  // one call per line, so threads never interleave
  };
}

}  // namespace

int RunServe(const std::vector<std::string>& arguments) {
  ServeOptions options;
  try {
    options = ParseServeOptions(arguments);
  } catch (const UsageError& e) {
    std::cerr << "tessaline-release serve: " << e.what() << "\n\n" << kServeUsage;
    return 2;
  }
  if (options.help) {
    std::fputs(kServeUsage, stdout);
    return 0;
  }
  try {
    const fs::path releaseRoot = options.site / "release-service";
    const fs::path packageRoot = options.site / "package-host";
    for (const fs::path& root : {releaseRoot, packageRoot}) {
      if (!fs::is_directory(root)) {
        throw SiteServerError(root.string() + " is not a folder; --site takes the folder that publish wrote");
      }
    }
    const TlsIdentity tls = TlsIdentity::Load(options.certificate, options.key);
    BlockTerminationSignals();  // before any server thread starts, so they all inherit it
    HttpsServer releaseService(tls, SiteHandler(releaseRoot), RequestLog("release-service"));
    HttpsServer packageHost(tls, SiteHandler(packageRoot), RequestLog("package-host"));
    const std::uint16_t releasePort = releaseService.Listen(options.bind, options.releasePort);
    const std::uint16_t packagePort = packageHost.Listen(options.bind, options.packagePort);
    std::cerr << "tessaline-release serve: release service on " << options.bind << ":" << releasePort << " from "
              << releaseRoot.string() << "\n"
              << "tessaline-release serve: package host on " << options.bind << ":" << packagePort << " from "
              << packageRoot.string() << "\n"
              << "tessaline-release serve: Ctrl-C stops the servers" << std::endl;
    const int signal = WaitForTerminationSignal();
    std::cerr << "tessaline-release serve: " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << ", stopping\n";
    packageHost.Stop();
    releaseService.Stop();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "tessaline-release serve: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace tessaline::release
