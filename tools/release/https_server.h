// HTTPS/1.1 for static release sites, on Boost.Beast and Asio: every
// connection is a coroutine on the server's one thread, held to deadlines,
// and their number is capped, so idle or slow clients cannot keep others out
// and many cannot use up the process's descriptors. What is answered is the
// handler's business; `serve` and the test bench's server each bring one.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "site_rules.h"

namespace tessaline::release {

namespace asio = boost::asio;
using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

class SiteServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HttpRequest {
  http::request_header<> head;
  std::string peer;  // the client's address, for logs

  std::string_view Path() const;   // the target before the '?'
  std::string_view Query() const;  // the target after the '?', or ""
  std::string_view Header(http::field name) const { return head[name]; }
};

// The answer to one request on its connection. `Send` answers as HTTP
// wants; the steps below it let a handler bend that (the test bench's faults).
class Exchange {
 public:
  Exchange(TlsStream& stream, const HttpRequest& request, bool keepAlive)
      : stream_(stream), request_(request), keepAlive_(keepAlive) {}

  const HttpRequest& Request() const { return request_; }

  // The head, a Content-Length of the body's, the body, and Finish.
  asio::awaitable<void> Send(const SiteResponse& response);

  // No other request follows on this connection.
  void Close() { keepAlive_ = false; }
  // The head as given, with Content-Length (unless the status carries no
  // body) and Connection added; false when the client is gone.
  asio::awaitable<bool> SendHead(http::response_header<> head, std::uint64_t contentLength);
  // After the head: whether body bytes go out at all (not for HEAD, 204...).
  bool WantsBody() const { return wantsBody_; }
  // Body bytes, if wanted; false when the client is gone.
  asio::awaitable<bool> SendBody(asio::const_buffer bytes);
  // Silence until the client goes away, the server stops or `limit` passes.
  asio::awaitable<void> Hold(std::chrono::seconds limit);
  // The body is whole, as its head announced: the connection may carry the
  // next request, or ends in order. Without it the connection is cut when
  // the handler returns, and the client sees a short body.
  void Finish() { finished_ = true; }

  unsigned Status() const { return status_; }
  std::uint64_t BodyBytesSent() const { return bodyBytes_; }
  bool Reusable() const { return finished_ && keepAlive_; }
  bool Finished() const { return finished_; }
  bool HeadSent() const { return headSent_; }

 private:
  TlsStream& stream_;
  const HttpRequest& request_;
  bool keepAlive_;
  bool headSent_ = false;
  bool wantsBody_ = false;
  bool finished_ = false;
  unsigned status_ = 0;
  std::uint64_t bodyBytes_ = 0;
};

// The server's certificate chain and private key, loaded once and shared by
// every listener.
class TlsIdentity {
 public:
  // Throws SiteServerError naming the file that cannot be used.
  static TlsIdentity Load(const std::filesystem::path& certificatePem, const std::filesystem::path& keyPem);
  asio::ssl::context& Context() const { return *context_; }

 private:
  std::shared_ptr<asio::ssl::context> context_;
};

// Answers GET and HEAD; other methods get 405 before it is called.
using RequestHandler = std::function<asio::awaitable<void>(Exchange&)>;
// Called once per answered request, after its last byte or its fault.
using ExchangeLogger = std::function<void(const HttpRequest&, unsigned status, std::uint64_t bodyBytesSent)>;

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

  // Closes the listeners and every open connection, and waits until each
  // exchange has ended. Safe to call more than once.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// SIGINT and SIGTERM, caught from construction on: create it before saying
// how to stop the program.
class TerminationSignals {
 public:
  TerminationSignals();
  ~TerminationSignals();
  // Waits until one arrives; returns its number.
  int Wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tessaline::release
