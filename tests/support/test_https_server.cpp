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

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "site_server.h"

namespace fs = std::filesystem;
using namespace tessaline::release;

namespace {

constexpr const char* kUsage =
    "Usage: tessaline-test-server --cert CERT.pem --key KEY.pem --root DIR --port N [--port M ...]\n"
    "                             [--address ADDRESS ...] [--pid-file FILE]\n"
    "\n"
    "Serves DIR over HTTPS at every port given (0 takes a free one) on each\n"
    "loopback ADDRESS (127.0.0.1 when none is given),\n"
    "with faults chosen by /fault/<items>/ path prefixes and a request log at\n"
    "/control/requests. Writes FILE with its process id once it is listening.\n";

struct Faults {
  std::optional<int> status;
  std::optional<std::uint64_t> drop;
  std::optional<std::uint64_t> stall;
  std::optional<std::uint64_t> times;
  std::optional<std::string> redirect;
  std::optional<std::uint64_t> extra;
  std::optional<std::uint64_t> rangeBefore;
  std::optional<std::uint64_t> rangeShort;
  std::optional<std::string> rangeTotal;
  bool ignoreRange = false;
  bool corrupt = false;
  bool endless = false;
};

constexpr std::uint64_t kEndlessLength = std::uint64_t{1} << 40;
constexpr std::uint64_t kEndlessCap = 64 * 1024 * 1024;

std::optional<std::uint64_t> Number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool IsHostAndPort(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  const auto port = Number(text.substr(colon + 1));
  const std::string_view host = text.substr(0, colon);
  return port && *port >= 1 && *port <= 65535 &&
         host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
             std::string_view::npos;
}

// Reads the items of a /fault/ segment; returns what is wrong with them, or "".
std::string ParseFaults(std::string_view items, Faults& faults) {
  if (items.empty()) return "no fault items";
  while (true) {
    const std::size_t comma = items.find(',');
    const std::string_view item = items.substr(0, comma);
    const std::size_t equals = item.find('=');
    const std::string_view name = item.substr(0, equals);
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
    const bool hasValue = equals != std::string_view::npos;
    std::string quoted(1, '\'');
    quoted.append(item).push_back('\'');
    if (name == "ignore-range" || name == "corrupt" || name == "endless") {
      if (hasValue) return quoted + " takes no value";
      (name == "corrupt" ? faults.corrupt : name == "endless" ? faults.endless : faults.ignoreRange) = true;
    } else if (name == "status") {
      const auto status = Number(value);
      if (!status || *status < 200 || *status > 599) return quoted + ": the status must be 200 to 599";
      faults.status = static_cast<int>(*status);
    } else if (name == "drop" || name == "stall" || name == "times" || name == "extra" || name == "range-before" ||
               name == "range-short") {
      const auto count = Number(value);
      if (!count) return quoted + " needs a number";
      (name == "drop"           ? faults.drop
       : name == "stall"        ? faults.stall
       : name == "times"        ? faults.times
       : name == "extra"        ? faults.extra
       : name == "range-before" ? faults.rangeBefore
                                : faults.rangeShort) = *count;
    } else if (name == "range-total") {
      if (value != "*" && !Number(value)) return quoted + " needs a number or '*'";
      faults.rangeTotal = std::string(value);
    } else if (name == "redirect") {
      if (!IsHostAndPort(value)) return quoted + " needs HOST:PORT";
      faults.redirect = std::string(value);
    } else {
      return "unknown fault " + quoted;
    }
    if (comma == std::string_view::npos) break;
    items.remove_prefix(comma + 1);
  }
  if (faults.drop && faults.stall) return "drop and stall exclude each other";
  if (faults.status && faults.redirect) return "status and redirect exclude each other";
  if (faults.endless && (faults.status || faults.redirect || faults.drop || faults.stall || faults.extra ||
                         faults.rangeBefore || faults.rangeShort || faults.rangeTotal || faults.ignoreRange ||
                         faults.corrupt)) {
    return "endless takes no other fault but times";
  }
  return "";
}

struct RequestRecord {
  std::string method;
  std::string path;
  std::string range;
  std::string userAgent;
  int status = 0;
  std::uint64_t bytesSent = 0;
};

// What the server was asked and what it answered, in arrival order. A record
// is added when a request arrives and completed as its answer goes out, so a
// held connection shows the bytes it got so far.
class RequestLog {
 public:
  std::shared_ptr<RequestRecord> Add(const HttpRequest& request) {
    auto record = std::make_shared<RequestRecord>();
    record->method = request.method;
    record->path = request.target;
    record->range = request.Header("Range");
    record->userAgent = request.Header("User-Agent");
    std::lock_guard lock(mutex_);
    records_.push_back(record);
    return record;
  }

  void SetStatus(RequestRecord& record, int status) {
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

  HttpResponse Handle(const HttpRequest& request) {
    const std::string path = request.Path();
    if (path.rfind("/control/", 0) == 0) return Control(path);
    const std::shared_ptr<RequestRecord> record = log_.Add(request);
    HttpResponse response = Answer(request);
    log_.SetStatus(*record, response.status);
    response.onBodyProgress = [this, record](std::uint64_t bytes) { log_.SetBytesSent(*record, bytes); };
    return response;
  }

 private:
  HttpResponse Control(const std::string& path) {
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
      HttpResponse response;
      response.headers.emplace_back("Content-Type", "application/json");
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

  HttpResponse Answer(const HttpRequest& request) {
    const std::string path = request.Path();
    const std::string range = request.Header("Range");
    const auto itemsAndRest = FaultItemsAndRest(path);
    if (!itemsAndRest) return ServeSiteFile(root_, path, range);

    const std::string& rest = itemsAndRest->second;
    const std::optional<std::string> items = PercentDecode(itemsAndRest->first);
    Faults faults;
    const std::string problem = items ? ParseFaults(*items, faults) : "malformed escape";
    if (!problem.empty()) return TextResponse(400, "Bad fault: " + problem + "\n");
    if (faults.times && log_.CountRequest(request.target) > *faults.times) return ServeSiteFile(root_, rest, range);

    if (faults.redirect) {
      const std::string query = request.Query();
      HttpResponse redirect = TextResponse(302, "Redirected\n");
      redirect.headers.emplace_back("Location",
                                    "https://" + *faults.redirect + rest + (query.empty() ? "" : "?" + query));
      return redirect;
    }
    if (faults.endless) {
      HttpResponse endless;
      endless.headers.emplace_back("Content-Type", "application/octet-stream");
      endless.file = FileSlice{"/dev/zero", 0, kEndlessLength};
      endless.sendLimit = kEndlessCap;
      return endless;
    }
    HttpResponse response = faults.status ? TextResponse(*faults.status, "Status " + std::to_string(*faults.status) + "\n")
                                          : ServeSiteFile(root_, rest, range, !faults.ignoreRange);
    if (response.file && response.status == 206 && faults.rangeBefore) StartRangeEarlier(response, *faults.rangeBefore);
    if (response.file && response.status == 206 && faults.rangeShort) EndRangeEarlier(response, *faults.rangeShort);
    if (response.file && faults.extra) AppendExtraBytes(response, *faults.extra);
    if (faults.drop) response.sendLimit = *faults.drop;
    if (faults.stall) {
      response.sendLimit = *faults.stall;
      response.holdAfterLimit = true;
    }
    if (faults.corrupt && response.BodyLength() > 0) response.corruptAt = response.BodyLength() / 2;
    if (response.status == 206 && faults.rangeTotal) SetContentRangeTotal(response, *faults.rangeTotal);
    return response;
  }

  static void SetContentRange(HttpResponse& response, std::uint64_t first, std::uint64_t length, std::uint64_t total) {
    for (auto& [name, value] : response.headers) {
      if (name == "Content-Range") {
        value = "bytes " + std::to_string(first) + "-" + std::to_string(first + length - 1) + "/" + std::to_string(total);
      }
    }
  }

  // Only the size after the '/' changes.
  static void SetContentRangeTotal(HttpResponse& response, const std::string& total) {
    for (auto& [name, value] : response.headers) {
      if (name == "Content-Range") value = value.substr(0, value.find('/') + 1) + total;
    }
  }

  static void EndRangeEarlier(HttpResponse& response, std::uint64_t bytes) {
    FileSlice& slice = *response.file;
    slice.length -= std::min(bytes, slice.length - 1);
    SetContentRange(response, slice.offset, slice.length, fs::file_size(slice.path));
  }

  static void StartRangeEarlier(HttpResponse& response, std::uint64_t bytes) {
    FileSlice& slice = *response.file;
    const std::uint64_t earlier = std::min(bytes, slice.offset);
    slice.offset -= earlier;
    slice.length += earlier;
    SetContentRange(response, slice.offset, slice.length, fs::file_size(slice.path));
  }

  // The slice is small test data: it is read into the text body so that
  // bytes the file does not hold can follow it.
  static void AppendExtraBytes(HttpResponse& response, std::uint64_t bytes) {
    const FileSlice slice = *response.file;
    std::ifstream in(slice.path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(slice.offset));
    std::string body(slice.length, '\0');
    in.read(body.data(), static_cast<std::streamsize>(body.size()));
    body.append(bytes, '\0');
    response.file.reset();
    response.text = std::move(body);
    SetContentRange(response, slice.offset, slice.length + bytes, fs::file_size(slice.path) + bytes);
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
      const auto port = Number(value);
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
    BlockTerminationSignals();
    FaultServer faults(options->root);
    HttpsServer server(
        tls, [&faults](const HttpRequest& request) { return faults.Handle(request); },
        [](const HttpRequest& request, int status, std::uint64_t bytesSent) {
          const std::string line = "tessaline-test-server: " + request.method + " " + request.target + " " +
                                   std::to_string(status) + " " + std::to_string(bytesSent) + "\n";
          std::fputs(line.c_str(), stderr);
        });
    for (const std::string& address : options->addresses) {
      for (const std::uint16_t port : options->ports) {
        const std::uint16_t bound = server.Listen(address, port);
        std::cerr << "tessaline-test-server: listening on " << address << ":" << bound << std::endl;
      }
    }
    if (!options->pidFile.empty()) WritePidFile(options->pidFile);
    WaitForTerminationSignal();
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
