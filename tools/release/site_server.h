// A small HTTPS/1.1 server for static release sites: GET and HEAD of the files
// under one root folder, single byte ranges, loopback by default. `serve` and
// the test bench's fault-injecting server both sit on it, so the file and
// range rules exist once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace tessaline::release {

class SiteServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string target;  // path and query exactly as received
  std::string version;
  HeaderList headers;
  std::string peer;  // the client's address, for logs

  // The first header of that name (ignoring case), or "" when absent.
  std::string Header(std::string_view name) const;
  std::string Path() const;   // target before the '?'
  std::string Query() const;  // target after the '?', or ""
};

struct FileSlice {
  std::filesystem::path path;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// A response before it is sent. The body is either `text` or a slice of a
// file. Content-Length always announces the whole body, so the fault fields
// can make the server deliver less than it promised.
struct HttpResponse {
  int status = 200;
  HeaderList headers;
  std::string text;
  std::optional<FileSlice> file;

  // Faults, for the test bench. After `sendLimit` body bytes the connection is
  // closed, or held silent when `holdAfterLimit` (until the client goes away,
  // the server stops or two minutes pass).
  std::optional<std::uint64_t> sendLimit;
  bool holdAfterLimit = false;
  std::optional<std::uint64_t> corruptAt;  // body offset of a byte sent changed

  // Called with the running total of body bytes sent, after every write.
  std::function<void(std::uint64_t)> onBodyProgress;

  std::uint64_t BodyLength() const { return file ? file->length : text.size(); }
};

HttpResponse TextResponse(int status, std::string text);

// The Range header of a request measured against a file of `size` bytes.
// Only single ranges are honoured; anything else is ignored, which HTTP
// allows, and the whole file is served.
struct ByteRange {
  enum class Kind { Whole, Part, Unsatisfiable };
  Kind kind = Kind::Whole;
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};
ByteRange ParseRangeHeader(std::string_view value, std::uint64_t size);

// Undoes %XX escapes; nullopt for a '%' without two hexadecimal digits.
std::optional<std::string> PercentDecode(std::string_view text);

// Maps a URL path (still percent-encoded) to a regular file under `root`.
// Dot segments, backslashes, NUL and bad escapes
// are malformed; a path that resolves, through symbolic links, outside the
// root is refused.
struct SitePath {
  enum class Kind { File, Malformed, Outside, Missing };
  Kind kind = Kind::Missing;
  std::filesystem::path file;
};
SitePath ResolveSitePath(const std::filesystem::path& root, std::string_view urlPath);

// The answer of a static site to GET or HEAD of `urlPath`: the file, the
// part of it that `rangeHeader` names, 416 for a range beyond its end, or an
// error status. `honourRange` false serves the whole file whatever the range.
HttpResponse ServeSiteFile(const std::filesystem::path& root, std::string_view urlPath, std::string_view rangeHeader,
                           bool honourRange = true);

// The server's certificate chain and private key, loaded once and shared by
// every listener.
class TlsIdentity {
 public:
  // Throws SiteServerError naming the file that cannot be used.
  static TlsIdentity Load(const std::filesystem::path& certificatePem, const std::filesystem::path& keyPem);
  SSL_CTX* Context() const { return context_.get(); }

 private:
  std::shared_ptr<SSL_CTX> context_;
};

using RequestHandler = std::function<HttpResponse(const HttpRequest&)>;
// Called once per answered request, after its last byte or its fault.
using ExchangeLogger = std::function<void(const HttpRequest&, int status, std::uint64_t bodyBytesSent)>;

// Accepts TLS connections on any number of listening sockets and answers GET
// and HEAD through the handler; other methods get 405. One thread per
// connection, so a held connection never delays another. Creating one makes
// the process ignore SIGPIPE.
class HttpsServer {
 public:
  HttpsServer(TlsIdentity tls, RequestHandler handler, ExchangeLogger logger = {});
  ~HttpsServer();
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  // Binds `address` (a numeric IPv4 or IPv6 address) and starts accepting.
  // Port 0 takes any free port. Returns the port bound. Throws
  // SiteServerError when the port is taken or cannot be bound.
  std::uint16_t Listen(const std::string& address, std::uint16_t port);

  // Closes the listeners and every open connection, and waits for their
  // threads. Safe to call more than once.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Blocks SIGINT and SIGTERM in the calling thread and in every thread it
// starts afterwards: call it before any server starts.
void BlockTerminationSignals();
// Waits until SIGINT or SIGTERM arrives; returns the signal number.
int WaitForTerminationSignal();

}  // namespace tessaline::release
