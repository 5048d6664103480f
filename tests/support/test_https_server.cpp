// tessaline-test-server: the HTTPS server Setup's tests talk to. It serves one
// folder on several loopback ports, injects the faults a request path asks
// for, and keeps a log of what it was asked and what it sent.
//
//   tessaline-test-server --cert CERT.pem --key KEY.pem --root DIR --port N [--port M ...]
//                         [--address A ...] [--pid-file F]
//
// GET /fault/<items>/<rest> serves /<rest> (query kept) with the faults of
// <items>, separated by ',':
//   status=NNN          answer NNN with a short text body (none for 204)
//   drop=N              full Content-Length, N body bytes, then close
//   stall=N             N body bytes, then silence for up to two minutes
//   ignore-range        200 and the whole file whatever the Range header
//   corrupt             one byte in the middle of the body changed
//   redirect=HOST:PORT  302 to https://HOST:PORT/<rest>?<query>
//   endless             200 announcing a Content-Length of 2^40 bytes, then
//                       zero bytes for as long as the client reads them; the
//                       connection drops after 64 MiB, so a client that never
//                       stops still ends its test (whatever the file, even none)
//   extra=N             the file or range with N zero bytes after its end,
//                       counted in Content-Length and Content-Range
//   range-before=N      a 206 whose range starts N bytes (at most down to 0)
//                       before the one asked for, and the bytes from there
//   range-short=N       a 206 whose range and body end N bytes (keeping at
//                       least one) before the end of the one asked for
//   range-total=N|*     a 206 whose Content-Range names N (or '*') as the
//                       file's size, the range and body unchanged
//   times=K             the other faults only for the first K requests of
//                       this exact path and query since the last reset
// GET /control/ping answers 200 once the server is ready; /control/requests
// the log as a JSON array; /control/reset clears the log, the counters and
// the armed faults. GET /control/arm/<items>/<rest> arms faults for a path
// that a client asks for as is (a fixed address): until the next reset, GET
// /<rest> is answered as /fault/<items>/<rest> would be.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fault_injection.h"
#include "https_server.h"

namespace fs = std::filesystem;
using namespace tessaline::release;
using namespace tessaline::testing;

namespace {

constexpr const char* kUsage =
    "Usage: tessaline-test-server --cert CERT.pem --key KEY.pem --root DIR --port N [--port M ...]\n"
    "                             [--address ADDRESS ...] [--pid-file FILE]\n"
    "\n"
    "Serves DIR over HTTPS at every port given (0 takes a free one) on each\n"
    "loopback ADDRESS (127.0.0.1 when none is given),\n"
    "with faults chosen by /fault/<items>/ path prefixes and a request log at\n"
    "/control/requests. Writes FILE with its process id once it is listening.\n";

struct RequestRecord {
  std::string method;
  std::string path;
  std::string range;
  std::string userAgent;
  unsigned status = 0;
  std::uint64_t bytesSent = 0;
};

// What the server was asked and what it answered, in arrival order. A record
// is added when a request arrives and completed as its answer goes out, so a
// held connection shows the bytes it got so far.
class RequestLog {
 public:
  std::shared_ptr<RequestRecord> Add(const HttpRequest& request) {
    auto record = std::make_shared<RequestRecord>();
    record->method = request.head.method_string();
    record->path = request.head.target();
    record->range = request.Header(http::field::range);
    record->userAgent = request.Header(http::field::user_agent);
    std::lock_guard lock(mutex_);
    records_.push_back(record);
    return record;
  }

  void SetStatus(RequestRecord& record, unsigned status) {
    std::lock_guard lock(mutex_);
    record.status = status;
  }

  void SetBytesSent(RequestRecord& record, std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    record.bytesSent = bytes;
  }

  // Counts one more request of `target`; returns how many there have been.
  std::uint64_t CountRequest(const std::string& target) {
    std::lock_guard lock(mutex_);
    return ++counts_[target];
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    records_.clear();  // records still being answered live on with their connections
    counts_.clear();
  }

  std::string Json() {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    std::lock_guard lock(mutex_);
    for (const auto& record : records_) {
      list.push_back({{"method", record->method},
                      {"path", record->path},
                      {"range", record->range},
                      {"userAgent", record->userAgent},
                      {"status", record->status},
                      {"bytesSent", record->bytesSent}});
    }
    return list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<RequestRecord>> records_;
  std::map<std::string, std::uint64_t> counts_;
};

class FaultServer {
 public:
  explicit FaultServer(fs::path root) : root_(std::move(root)) {}

  asio::awaitable<void> Handle(Exchange& exchange) {
    const HttpRequest& request = exchange.Request();
    const std::string path(request.Path());
    if (path.rfind("/control/", 0) == 0) {
      co_await exchange.Send(Control(path));
      co_return;
    }
    const std::shared_ptr<RequestRecord> record = log_.Add(request);
    auto [response, faults] = Answer(request);
    log_.SetStatus(*record, response.head.result_int());
    // Named, not a temporary of the co_await: GCC 12 destroys the captures
    // of such a lambda twice.
    std::function<void(std::uint64_t)> progress = [this, record](std::uint64_t bytes) {
      log_.SetBytesSent(*record, bytes);
    };
    co_await SendWithFaults(exchange, std::move(response), std::move(faults), std::move(progress));
  }

 private:
  SiteResponse Control(const std::string& path) {
    constexpr std::string_view kArm = "/control/arm/";
    if (path == "/control/ping") return TextResponse(200, "pong\n");
    if (path == "/control/reset") {
      log_.Reset();
      const std::lock_guard lock(armedMutex_);
      armed_.clear();
      return TextResponse(200, "reset\n");
    }
    if (path.rfind(kArm, 0) == 0) {
      const std::size_t itemsEnd = path.find('/', kArm.size());
      if (itemsEnd == std::string::npos) return TextResponse(400, "Bad fault: no path to arm\n");
      const std::string items = path.substr(kArm.size(), itemsEnd - kArm.size());
      Faults faults;
      const std::optional<std::string> decoded = PercentDecode(items);
      const std::string problem = decoded ? ParseFaults(*decoded, faults) : "malformed escape";
      if (!problem.empty()) return TextResponse(400, "Bad fault: " + problem + "\n");
      const std::lock_guard lock(armedMutex_);
      armed_[path.substr(itemsEnd)] = items;
      return TextResponse(200, "armed\n");
    }
    if (path == "/control/requests") {
      SiteResponse response;
      response.head.set(http::field::content_type, "application/json");
      response.text = log_.Json();
      return response;
    }
    return TextResponse(404, "Unknown control request\n");
  }

  // The faults for a path: its /fault/ prefix, or those armed for it.
  std::optional<std::pair<std::string, std::string>> FaultItemsAndRest(const std::string& path) {
    constexpr std::string_view kPrefix = "/fault/";
    if (path.rfind(kPrefix, 0) == 0) {
      const std::size_t itemsEnd = path.find('/', kPrefix.size());
      return std::make_pair(path.substr(kPrefix.size(), itemsEnd - kPrefix.size()),
                            itemsEnd == std::string::npos ? "/" : path.substr(itemsEnd));
    }
    const std::lock_guard lock(armedMutex_);
    const auto armed = armed_.find(path);
    if (armed == armed_.end()) return std::nullopt;
    return std::make_pair(armed->second, path);
  }

  // The response a request gets, and the faults it is to be sent with.
  std::pair<SiteResponse, Faults> Answer(const HttpRequest& request) {
    const std::string path(request.Path());
    const auto itemsAndRest = FaultItemsAndRest(path);
    if (!itemsAndRest) return {ServeSiteFile(root_, path, request.head), {}};

    const std::string& rest = itemsAndRest->second;
    const std::optional<std::string> items = PercentDecode(itemsAndRest->first);
    Faults faults;
    const std::string problem = items ? ParseFaults(*items, faults) : "malformed escape";
    if (!problem.empty()) return {TextResponse(400, "Bad fault: " + problem + "\n"), {}};
    if (faults.times && log_.CountRequest(std::string(request.head.target())) > *faults.times) {
      return {ServeSiteFile(root_, rest, request.head), {}};
    }
    if (faults.redirect) {
      const std::string_view query = request.Query();
      SiteResponse redirect = TextResponse(302, "Redirected\n");
      redirect.head.set(http::field::location, "https://" + *faults.redirect + rest +
                                                   (query.empty() ? "" : "?" + std::string(query)));
      return {redirect, {}};
    }
    if (faults.endless) return {SiteResponse(), faults};
    if (faults.status) return {TextResponse(*faults.status, "Status " + std::to_string(*faults.status) + "\n"), faults};
    return {ServeSiteFile(root_, rest, request.head, !faults.ignoreRange), faults};
  }

  fs::path root_;
  RequestLog log_;
  std::mutex armedMutex_;
  std::map<std::string, std::string> armed_;  // path -> fault items, still escaped
};

struct Options {
  fs::path certificate;
  fs::path key;
  fs::path root;
  fs::path pidFile;
  std::vector<std::uint16_t> ports;
  std::vector<std::string> addresses;
};

// nullopt after printing the usage; throws std::invalid_argument for a usage error.
std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      return std::nullopt;
    }
    if (i + 1 >= argc) throw std::invalid_argument("option " + name + " needs a value");
    const std::string value = argv[++i];
    if (name == "--cert") {
      options.certificate = value;
    } else if (name == "--key") {
      options.key = value;
    } else if (name == "--root") {
      options.root = value;
    } else if (name == "--pid-file") {
      options.pidFile = value;
    } else if (name == "--address") {
      // Loopback only: the faults and the control paths must never face a network.
      if (value != "::1" && value.rfind("127.", 0) != 0) throw std::invalid_argument("not a loopback address: " + value);
      options.addresses.push_back(value);
    } else if (name == "--port") {
      const auto port = ParseNumber(value);
      if (!port || *port > 65535) throw std::invalid_argument("not a port: " + value);
      options.ports.push_back(static_cast<std::uint16_t>(*port));
    } else {
      throw std::invalid_argument("unknown option: " + name);
    }
  }
  if (options.certificate.empty() || options.key.empty() || options.root.empty() || options.ports.empty()) {
    throw std::invalid_argument("--cert, --key, --root and at least one --port are required");
  }
  if (options.addresses.empty()) options.addresses.push_back("127.0.0.1");
  return options;
}

void WritePidFile(const fs::path& file) {
  // Written whole under another name and renamed, so a reader never sees half of it.
  const fs::path partial = file.string() + ".partial";
  {
    std::ofstream out(partial, std::ios::trunc);
    out << getpid() << "\n";
    if (!out.flush()) throw SiteServerError("cannot write " + partial.string());
  }
  fs::rename(partial, file);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options;
  try {
    options = ParseOptions(argc, argv);
    if (!options) return 0;
  } catch (const std::invalid_argument& e) {
    std::cerr << "tessaline-test-server: " << e.what() << "\n\n" << kUsage;
    return 2;
  }
  try {
    if (!fs::is_directory(options->root)) throw SiteServerError(options->root.string() + " is not a folder");
    const TlsIdentity tls = TlsIdentity::Load(options->certificate, options->key);
    TerminationSignals signals;
    FaultServer faults(options->root);
    HttpsServer server(
        tls, [&faults](Exchange& exchange) { return faults.Handle(exchange); },
        [](const HttpRequest& request, unsigned status, std::uint64_t bytesSent) {
          const std::string line = "tessaline-test-server: " + std::string(request.head.method_string()) + " " +
                                   std::string(request.head.target()) + " " + std::to_string(status) + " " +
                                   std::to_string(bytesSent) + "\n";
          std::fputs(line.c_str(), stderr);
        });
    for (const std::string& address : options->addresses) {
      for (const std::uint16_t port : options->ports) {
        const std::uint16_t bound = server.Listen(address, port);
        std::cerr << "tessaline-test-server: listening on " << address << ":" << bound << std::endl;
      }
    }
    if (!options->pidFile.empty()) WritePidFile(options->pidFile);
    signals.Wait();
    server.Stop();
    if (!options->pidFile.empty()) {
      std::error_code ignored;
      fs::remove(options->pidFile, ignored);
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "tessaline-test-server: " << e.what() << "\n";
    return 1;
  }
}
