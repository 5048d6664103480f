#include "site_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

#include "file_descriptor.h"

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

constexpr std::size_t kMaxRequestHead = 16 * 1024;
constexpr std::size_t kMaxConnections = 128;
constexpr int kReceiveTimeoutSeconds = 15;  // idle keep-alive and slow request heads
constexpr int kSendTimeoutSeconds = 30;
constexpr int kHoldMilliseconds = 120 * 1000;
constexpr std::size_t kChunkSize = 64 * 1024;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool ContainsIgnoringCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (EqualsIgnoringCase(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> ParseDecimal(std::string_view s) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
  }
}

std::string OpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "unknown TLS error" : text;
}

std::string SystemMessage(int error) { return std::system_category().message(error); }

std::string PeerName(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
  }
  return text;
}

// The request line and header lines, without the blank line that ends them.
bool ParseRequestHead(std::string_view head, HttpRequest& request) {
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    const std::size_t end = head.find("\r\n");
    lines.push_back(head.substr(0, end));
    head = end == std::string_view::npos ? std::string_view() : head.substr(end + 2);
  }
  if (lines.empty()) return false;

  const std::string_view line = lines.front();
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) return false;
  request.method = line.substr(0, first);
  request.target = line.substr(first + 1, second - first - 1);
  request.version = line.substr(second + 1);
  if (request.method.empty() ||
      !std::all_of(request.method.begin(), request.method.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
    return false;
  }
  if (request.target.empty() || request.target.front() != '/' ||
      !std::all_of(request.target.begin(), request.target.end(), [](char c) { return c > 0x20 && c < 0x7F; })) {
    return false;
  }
  if (request.version != "HTTP/1.1" && request.version != "HTTP/1.0") return false;

  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view header = lines[i];
    if (std::any_of(header.begin(), header.end(), [](char c) { return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7F; })) {
      return false;
    }
    const std::size_t colon = header.find(':');
    // A line that starts with white space folds into the previous one: obsolete, refused.
    if (colon == std::string_view::npos || colon == 0 || header.front() == ' ' || header.front() == '\t') return false;
    const std::string_view name = header.substr(0, colon);
    if (name.find_first_of(" \t") != std::string_view::npos) return false;
    request.headers.emplace_back(std::string(name), std::string(Trim(header.substr(colon + 1))));
  }
  return true;
}

bool WriteAll(SSL* ssl, const char* data, std::size_t size) {
  while (size > 0) {
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    const int written = SSL_write(ssl, data, chunk);
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool ReadExactly(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t got = pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // the file shrank under us
    buffer += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

// ---- requests and responses ----

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoringCase(key, name)) return value;
  }
  return {};
}

std::string HttpRequest::Path() const { return target.substr(0, target.find('?')); }

std::string HttpRequest::Query() const {
  const std::size_t mark = target.find('?');
  return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

HttpResponse TextResponse(int status, std::string text) {
  HttpResponse response;
  response.status = status;
  response.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  response.text = std::move(text);
  return response;
}

ByteRange ParseRangeHeader(std::string_view value, std::uint64_t size) {
  const ByteRange whole;
  const ByteRange unsatisfiable{ByteRange::Kind::Unsatisfiable, 0, 0};
  constexpr std::string_view kUnit = "bytes=";
  value = Trim(value);
  if (value.size() < kUnit.size() || !EqualsIgnoringCase(value.substr(0, kUnit.size()), kUnit)) return whole;
  const std::string_view rangeSet = Trim(value.substr(kUnit.size()));
  const std::size_t dash = rangeSet.find('-');
  if (rangeSet.find(',') != std::string_view::npos || dash == std::string_view::npos) return whole;
  const std::string_view firstText = Trim(rangeSet.substr(0, dash));
  const std::string_view lastText = Trim(rangeSet.substr(dash + 1));

  if (firstText.empty()) {  // "-N": the last N bytes
    const auto suffix = ParseDecimal(lastText);
    if (!suffix) return whole;
    if (*suffix == 0 || size == 0) return unsatisfiable;
    const std::uint64_t length = std::min(*suffix, size);
    return {ByteRange::Kind::Part, size - length, length};
  }
  const auto first = ParseDecimal(firstText);
  if (!first) return whole;
  std::optional<std::uint64_t> last;
  if (!lastText.empty()) {
    last = ParseDecimal(lastText);
    if (!last || *last < *first) return whole;
  }
  if (*first >= size) return unsatisfiable;
  const std::uint64_t end = last ? std::min(*last, size - 1) : size - 1;
  return {ByteRange::Kind::Part, *first, end - *first + 1};
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

SitePath ResolveSitePath(const fs::path& root, std::string_view urlPath) {
  const SitePath malformed{SitePath::Kind::Malformed, {}};
  const SitePath missing{SitePath::Kind::Missing, {}};
  if (urlPath.empty() || urlPath.front() != '/') return malformed;

  const std::optional<std::string> unescaped = PercentDecode(urlPath);
  if (!unescaped) return malformed;
  const std::string& decoded = *unescaped;
  if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos) return malformed;

  fs::path relative;
  std::size_t start = 1;
  while (start <= decoded.size()) {
    const std::size_t end = std::min(decoded.find('/', start), decoded.size());
    const std::string segment = decoded.substr(start, end - start);
    if (segment == "." || segment == "..") return malformed;
    if (!segment.empty()) relative /= segment;
    start = end + 1;
  }
  if (relative.empty()) return missing;  // no folder listings

  std::error_code error;
  const fs::path canonicalRoot = fs::canonical(root, error);
  if (error) return missing;
  const fs::path resolved = fs::canonical(canonicalRoot / relative, error);
  if (error) return missing;
  // Symbolic links may point anywhere inside the root, never out of it.
  const auto rootEnd =
      std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), resolved.begin(), resolved.end()).first;
  if (rootEnd != canonicalRoot.end()) return {SitePath::Kind::Outside, {}};
  if (!fs::is_regular_file(resolved, error)) return missing;
  return {SitePath::Kind::File, resolved};
}

HttpResponse ServeSiteFile(const fs::path& root, std::string_view urlPath, std::string_view rangeHeader,
                           bool honourRange) {
  const SitePath site = ResolveSitePath(root, urlPath);
  switch (site.kind) {
    case SitePath::Kind::Malformed: return TextResponse(400, "Malformed path\n");
    case SitePath::Kind::Outside: return TextResponse(403, "Outside the site\n");
    case SitePath::Kind::Missing: return TextResponse(404, "Not found\n");
    case SitePath::Kind::File: break;
  }
  std::error_code error;
  const std::uint64_t size = fs::file_size(site.file, error);
  if (error) return TextResponse(404, "Not found\n");

  const ByteRange range = honourRange ? ParseRangeHeader(rangeHeader, size) : ByteRange{};
  if (range.kind == ByteRange::Kind::Unsatisfiable) {
    HttpResponse refused = TextResponse(416, "Range not satisfiable\n");
    refused.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return refused;
  }
  HttpResponse response;
  response.headers.emplace_back("Content-Type",
                                site.file.filename() == "manifest" ? "application/json" : "application/octet-stream");
  response.headers.emplace_back("Accept-Ranges", "bytes");
  if (range.kind == ByteRange::Kind::Part) {
    response.status = 206;
    response.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                       std::to_string(range.first + range.length - 1) + "/" +
                                                       std::to_string(size));
    response.file = FileSlice{site.file, range.first, range.length};
  } else {
    response.file = FileSlice{site.file, 0, size};
  }
  return response;
}

// ---- TLS ----

TlsIdentity TlsIdentity::Load(const fs::path& certificatePem, const fs::path& keyPem) {
  ERR_clear_error();
  TlsIdentity identity;
  identity.context_.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  SSL_CTX* context = identity.context_.get();
  if (context == nullptr) throw SiteServerError("cannot set up TLS: " + OpenSslErrors());
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context, certificatePem.c_str()) != 1) {
    throw SiteServerError("cannot load the certificate " + certificatePem.string() + ": " + OpenSslErrors());
  }
  if (SSL_CTX_use_PrivateKey_file(context, keyPem.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw SiteServerError("cannot load the private key " + keyPem.string() + ": " + OpenSslErrors());
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    throw SiteServerError("the key " + keyPem.string() + " does not belong to the certificate " +
                          certificatePem.string());
  }
  return identity;
}

// ---- the server ----

namespace {

struct Connection {
  explicit Connection(int fd) : socket(fd) {}
  FileDescriptor socket;
  std::thread thread;
  bool done = false;
};

struct SendOutcome {
  std::uint64_t bodyBytes = 0;
  bool reusable = false;  // the connection can carry another request
  bool orderly = false;   // a TLS close alert may still be sent
};

}  // namespace

struct HttpsServer::State {
  TlsIdentity tls;
  RequestHandler handler;
  ExchangeLogger logger;
  int stopPipe[2] = {-1, -1};  // readable once Stop begins

  std::mutex mutex;
  bool stopping = false;
  std::vector<std::unique_ptr<FileDescriptor>> listeners;
  std::vector<std::thread> acceptThreads;
  std::list<Connection> connections;

  // Waits, silent, until the client goes away, the server stops or the hold
  // time has passed.
  void Hold(int fd) const {
    pollfd watched[2] = {{fd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    while (poll(watched, 2, kHoldMilliseconds) < 0 && errno == EINTR) {
    }
  }

  SendOutcome Send(SSL* ssl, int fd, const HttpRequest& request, const HttpResponse& response, bool keepAlive) const {
    const bool bodyless = response.status < 200 || response.status == 204 || response.status == 304;
    const std::uint64_t length = bodyless ? 0 : response.BodyLength();
    keepAlive = keepAlive && !response.sendLimit;

    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
    if (!bodyless) head += "Content-Length: " + std::to_string(length) + "\r\n";
    if (!keepAlive) head += "Connection: close\r\n";
    head += "\r\n";
    SendOutcome outcome;
    if (!WriteAll(ssl, head.data(), head.size())) return outcome;

    std::uint64_t toSend = request.method == "HEAD" ? 0 : length;
    if (response.sendLimit) toSend = std::min(toSend, *response.sendLimit);
    const FileDescriptor file(response.file && toSend > 0 ? open(response.file->path.c_str(), O_RDONLY | O_CLOEXEC)
                                                           : -1);
    if (response.file && toSend > 0 && file.Get() < 0) return outcome;
    std::vector<char> buffer(std::min<std::uint64_t>(toSend, kChunkSize));
    while (outcome.bodyBytes < toSend) {
      const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(toSend - outcome.bodyBytes, kChunkSize));
      if (response.file) {
        if (!ReadExactly(file.Get(), buffer.data(), size, response.file->offset + outcome.bodyBytes)) return outcome;
      } else {
        std::memcpy(buffer.data(), response.text.data() + outcome.bodyBytes, size);
      }
      if (response.corruptAt && *response.corruptAt >= outcome.bodyBytes &&
          *response.corruptAt < outcome.bodyBytes + size) {
        buffer[static_cast<std::size_t>(*response.corruptAt - outcome.bodyBytes)] ^= 0x5A;
      }
      if (!WriteAll(ssl, buffer.data(), size)) return outcome;
      outcome.bodyBytes += size;
      if (response.onBodyProgress) response.onBodyProgress(outcome.bodyBytes);
    }
    if (response.sendLimit) {
      if (response.holdAfterLimit) Hold(fd);
      return outcome;  // dropped: no close alert, the body stays short
    }
    outcome.reusable = keepAlive;
    outcome.orderly = true;
    return outcome;
  }

  void Converse(int fd, const std::string& peer) const {
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(tls.Context()), SSL_free);
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) {
      ERR_clear_error();
      return;
    }
    std::string pending;  // bytes read past the previous request head
    for (;;) {
      std::size_t headEnd;
      while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > kMaxRequestHead) {
          const std::string refusal =
              "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
          if (WriteAll(ssl.get(), refusal.data(), refusal.size())) SSL_shutdown(ssl.get());
          return;
        }
        char chunk[4096];
        const int got = SSL_read(ssl.get(), chunk, sizeof chunk);
        if (got <= 0) {  // closed, timed out or broken between requests
          ERR_clear_error();
          return;
        }
        pending.append(chunk, static_cast<std::size_t>(got));
      }
      HttpRequest request;
      request.peer = peer;
      const bool parsed = ParseRequestHead(std::string_view(pending).substr(0, headEnd), request);
      pending.erase(0, headEnd + 4);

      bool keepAlive = request.version == "HTTP/1.1" && !ContainsIgnoringCase(request.Header("Connection"), "close");
      HttpResponse response;
      if (!parsed) {
        response = TextResponse(400, "Malformed request\n");
        keepAlive = false;
      } else if (!request.Header("Transfer-Encoding").empty() ||
                 (!request.Header("Content-Length").empty() && request.Header("Content-Length") != "0")) {
        // Nothing here reads request bodies, so the stream cannot be followed.
        response = TextResponse(400, "Request bodies are not accepted\n");
        keepAlive = false;
      } else if (request.method != "GET" && request.method != "HEAD") {
        response = TextResponse(405, "Only GET and HEAD are served\n");
        response.headers.emplace_back("Allow", "GET, HEAD");
        keepAlive = false;
      } else {
        try {
          response = handler(request);
        } catch (const std::exception&) {
          response = TextResponse(500, "Internal error\n");
          keepAlive = false;
        }
      }
      const SendOutcome outcome = Send(ssl.get(), fd, request, response, keepAlive);
      if (logger && parsed) logger(request, response.status, outcome.bodyBytes);
      if (!outcome.reusable) {
        if (outcome.orderly) SSL_shutdown(ssl.get());
        ERR_clear_error();
        return;
      }
    }
  }

  void ServeConnection(Connection& connection, std::string peer) {
    const int fd = connection.socket.Get();
    const timeval receive{kReceiveTimeoutSeconds, 0};
    const timeval send{kSendTimeoutSeconds, 0};
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Converse(fd, peer);
    // Closed under the lock, so Stop never shuts down a number reused since.
    std::lock_guard lock(mutex);
    connection.socket.Close();
    connection.done = true;
  }

  // Joins the threads of connections that have ended. Called with the lock
  // held; a finished thread no longer needs it.
  void ReapFinished() {
    for (auto it = connections.begin(); it != connections.end();) {
      if (!it->done) {
        ++it;
        continue;
      }
      it->thread.join();
      it = connections.erase(it);
    }
  }

  void AcceptLoop(int listener) {
    for (;;) {
      pollfd watched[2] = {{listener, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
      if (poll(watched, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (watched[1].revents != 0) return;
      sockaddr_storage address{};
      socklen_t addressSize = sizeof address;
      const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &addressSize, SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors or a connection reset before it was taken: wait a little, go on.
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        continue;
      }
      std::lock_guard lock(mutex);
      ReapFinished();
      if (stopping || connections.size() >= kMaxConnections) {
        const FileDescriptor refused(fd);
        continue;
      }
      Connection& connection = connections.emplace_back(fd);
      connection.thread = std::thread(&State::ServeConnection, this, std::ref(connection), PeerName(address));
    }
  }
};

HttpsServer::HttpsServer(TlsIdentity tls, RequestHandler handler, ExchangeLogger logger)
    : state_(std::make_unique<State>()) {
  // A client that goes away mid-write must not end the process.
  signal(SIGPIPE, SIG_IGN);
  state_->tls = std::move(tls);
  state_->handler = std::move(handler);
  state_->logger = std::move(logger);
  if (pipe2(state_->stopPipe, O_CLOEXEC) != 0) throw SiteServerError("cannot create a pipe: " + SystemMessage(errno));
}

HttpsServer::~HttpsServer() {
  Stop();
  close(state_->stopPipe[0]);
  close(state_->stopPipe[1]);
}

std::uint16_t HttpsServer::Listen(const std::string& address, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
    throw SiteServerError("cannot listen on '" + address + "': not a numeric IPv4 or IPv6 address");
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
  const std::string where = (found->ai_family == AF_INET6 ? "[" + address + "]" : address) + ":" + std::to_string(port);

  auto listener = std::make_unique<FileDescriptor>(socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int fd = listener->Get();
  if (fd < 0) throw SiteServerError("cannot listen on " + where + ": " + SystemMessage(errno));
  // Lets a restarted server take its port back from connections still in
  // TIME_WAIT; a port that another program listens on stays refused.
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (bind(fd, found->ai_addr, found->ai_addrlen) != 0) {
    const int error = errno;
    if (error == EADDRINUSE) throw SiteServerError("cannot listen on " + where + ": the port is already in use");
    throw SiteServerError("cannot listen on " + where + ": " + SystemMessage(error));
  }
  if (listen(fd, 128) != 0) throw SiteServerError("cannot listen on " + where + ": " + SystemMessage(errno));
  sockaddr_storage bound{};
  socklen_t boundSize = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize);
  const std::uint16_t boundPort = ntohs(bound.ss_family == AF_INET6
                                            ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<const sockaddr_in&>(bound).sin_port);

  std::lock_guard lock(state_->mutex);
  if (state_->stopping) throw SiteServerError("the server is stopping");
  state_->listeners.push_back(std::move(listener));
  state_->acceptThreads.emplace_back(&State::AcceptLoop, state_.get(), fd);
  return boundPort;
}

void HttpsServer::Stop() {
  State& state = *state_;
  {
    std::lock_guard lock(state.mutex);
    if (state.stopping) return;
    state.stopping = true;
    const char wake = 'x';
    while (write(state.stopPipe[1], &wake, 1) < 0 && errno == EINTR) {
    }
    // Wakes reads, writes and holds blocked on any connection.
    for (const Connection& connection : state.connections) {
      if (connection.socket.Get() >= 0) shutdown(connection.socket.Get(), SHUT_RDWR);
    }
  }
  for (std::thread& thread : state.acceptThreads) thread.join();
  state.listeners.clear();
  std::list<Connection> remaining;
  {
    std::lock_guard lock(state.mutex);
    // Splicing keeps the elements where they are, which their threads rely on.
    remaining.splice(remaining.end(), state.connections);
  }
  for (Connection& connection : remaining) connection.thread.join();
  std::lock_guard lock(state.mutex);
  state.acceptThreads.clear();
}

void BlockTerminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int WaitForTerminationSignal() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  int received = 0;
  while (sigwait(&signals, &received) != 0) {
  }
  return received;
}

}  // namespace tessaline::release
