#include "https_server.h"

#include <csignal>
#include <exception>
#include <list>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl.hpp>

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// Failures come back as values: a client that goes away is no exception.
constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);

constexpr auto kRequestHeadTime = 5s;  // the TLS handshake, and a request head from its first byte
constexpr auto kIdleTime = 15s;        // a connection waiting for its next request
constexpr auto kSendTime = 30s;        // each write to a client
constexpr auto kCloseTime = 5s;        // the client's reply to our close_notify
constexpr std::size_t kMaxRequestHead = 16 * 1024;
constexpr std::size_t kChunkSize = 64 * 1024;
// Connections one server holds at once. Each takes a descriptor, and one more
// for the file its answer reads; `serve` runs two servers in one process, and
// the usual limit is 1024 descriptors: 2 x 240 x 2 = 960 leaves the rest for
// the process's own. Well above 200, so that as many clients stalled in
// their handshake (5 s at most) still leave room for others. At the cap a newcomer waits
// in the listen queue rather than being refused, and the longest idle
// connection between requests is closed for it, as HTTP lets a server do:
// idle clients never keep others out, and a closed idle connection costs a
// well-behaved client only a reconnect.
constexpr std::size_t kMaxConnections = 240;

// Failures of the request itself, as opposed to the connection ending.
bool IsMalformed(const beast::error_code& error) {
  return error.category() == http::make_error_code(http::error::bad_target).category() &&
         error != http::error::end_of_stream && error != http::error::partial_message;
}

}  // namespace

// ---- requests and exchanges ----

std::string_view HttpRequest::Path() const {
  const std::string_view target = head.target();
  return target.substr(0, target.find('?'));
}

std::string_view HttpRequest::Query() const {
  const std::string_view target = head.target();
  const std::size_t mark = target.find('?');
  return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

asio::awaitable<void> Exchange::Send(const SiteResponse& response) {
  if (!co_await SendHead(response.head, response.BodyLength())) co_return;
  if (WantsBody()) {
    BodyReader body(response);
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(response.BodyLength(), kChunkSize)));
    for (std::size_t got; (got = body.Read(buffer)) > 0;) {
      if (!co_await SendBody(asio::buffer(buffer.data(), got))) co_return;
    }
  }
  Finish();
}

asio::awaitable<bool> Exchange::SendHead(http::response_header<> head, std::uint64_t contentLength) {
  const auto status = head.result();
  const bool bodyless = http::to_status_class(status) == http::status_class::informational ||
                        status == http::status::no_content || status == http::status::not_modified;
  wantsBody_ = !bodyless && request_.head.method() != http::verb::head;
  status_ = head.result_int();
  headSent_ = true;
  http::response<http::empty_body> message(std::move(head));
  if (!bodyless) message.content_length(contentLength);
  message.keep_alive(keepAlive_);
  http::response_serializer<http::empty_body> serializer(message);
  beast::get_lowest_layer(stream_).expires_after(kSendTime);
  const auto [error, written] = co_await http::async_write_header(stream_, serializer, kNoThrow);
  co_return !error;
}

asio::awaitable<bool> Exchange::SendBody(asio::const_buffer bytes) {
  if (!wantsBody_) co_return true;
  beast::get_lowest_layer(stream_).expires_after(kSendTime);
  const auto [error, written] = co_await asio::async_write(stream_, bytes, kNoThrow);
  bodyBytes_ += written;
  co_return !error;
}

asio::awaitable<void> Exchange::Hold(std::chrono::seconds limit) {
  beast::get_lowest_layer(stream_).expires_after(limit);
  char ignored;
  co_await stream_.async_read_some(asio::buffer(&ignored, 1), kNoThrow);
}

// ---- TLS ----

TlsIdentity TlsIdentity::Load(const fs::path& certificatePem, const fs::path& keyPem) {
  TlsIdentity identity;
  identity.context_ = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  asio::ssl::context& context = *identity.context_;
  context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
  beast::error_code error;
  context.use_certificate_chain_file(certificatePem.string(), error);
  if (error) throw SiteServerError("cannot load the certificate " + certificatePem.string() + ": " + error.message());
  context.use_private_key_file(keyPem.string(), asio::ssl::context::pem, error);
  if (error) throw SiteServerError("cannot load the private key " + keyPem.string() + ": " + error.message());
  if (SSL_CTX_check_private_key(context.native_handle()) != 1) {
    throw SiteServerError("the key " + keyPem.string() + " does not belong to the certificate " +
                          certificatePem.string());
  }
  return identity;
}

// ---- the server ----

namespace {

struct Connection {
  tcp::socket* socket = nullptr;  // once its stream exists
  std::optional<std::chrono::steady_clock::time_point> idleSince;  // while it waits for its next request
};

// Ends the waits of a connection: its coroutine then returns and closes it.
void Interrupt(tcp::socket& socket) {
  beast::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.cancel(ignored);
}

// A connection's place among those a server holds, from its accept until its
// coroutine ends, however it ends; freeing it wakes an accept loop at the cap.
class ConnectionSlot {
 public:
  ConnectionSlot(std::list<Connection>& connections, asio::steady_timer& freed)
      : connections_(&connections), freed_(&freed), entry_(connections.emplace(connections.end())) {}
  ConnectionSlot(ConnectionSlot&& other) noexcept
      : connections_(std::exchange(other.connections_, nullptr)), freed_(other.freed_), entry_(other.entry_) {}
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;
  ~ConnectionSlot() {
    if (!connections_) return;
    connections_->erase(entry_);
    freed_->cancel();
  }
  Connection& Get() const { return *entry_; }

 private:
  std::list<Connection>* connections_;
  asio::steady_timer* freed_;
  std::list<Connection>::iterator entry_;
};

}  // namespace

// Everything below runs on the server's one thread, except where a comment
// says otherwise.
struct HttpsServer::State {
  TlsIdentity tls;
  RequestHandler handler;
  ExchangeLogger logger;
  std::list<Connection> connections;  // before io: it outlives any coroutine io still holds
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  // Never expires: cancelled whenever a connection ends, to wake the accept loops at the cap.
  asio::steady_timer slotFreed{io, asio::steady_timer::time_point::max()};
  std::thread thread;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;  // added by Listen before their loop starts
  bool stopping = false;
  bool stopped = false;  // the caller's thread

  // At the cap, once a newcomer waits: closes the connection idle longest, or
  // none if all are busy, and waits until some connection has ended.
  asio::awaitable<void> MakeRoom(tcp::acceptor& acceptor) {
    if (connections.size() < kMaxConnections) co_return;
    co_await acceptor.async_wait(tcp::acceptor::wait_read, kNoThrow);
    while (!stopping && connections.size() >= kMaxConnections) {
      Connection* longestIdle = nullptr;
      for (Connection& connection : connections) {
        if (connection.idleSince && (!longestIdle || *connection.idleSince < *longestIdle->idleSince)) {
          longestIdle = &connection;
        }
      }
      if (longestIdle) {
        longestIdle->idleSince.reset();  // closing: never chosen twice
        Interrupt(*longestIdle->socket);
      }
      co_await slotFreed.async_wait(kNoThrow);
    }
  }

  asio::awaitable<void> AcceptLoop(tcp::acceptor& acceptor) {
    while (!stopping && acceptor.is_open()) {
      co_await MakeRoom(acceptor);
      if (stopping) co_return;
      auto [error, socket] = co_await acceptor.async_accept(kNoThrow);
      if (error == asio::error::operation_aborted) co_return;
      if (error) {
        // Out of descriptors or a connection reset before it was taken: wait a little, go on.
        asio::steady_timer pause(io, 50ms);
        co_await pause.async_wait(kNoThrow);
        continue;
      }
      asio::co_spawn(io, Converse(std::move(socket), ConnectionSlot(connections, slotFreed)), asio::detached);
    }
  }

  // Answers the requests of one connection in turn, until it closes, fails,
  // misses a deadline, or an answer ends it.
  asio::awaitable<void> Converse(tcp::socket socket, ConnectionSlot slot) {
    if (stopping) co_return;
    beast::error_code error;
    const std::string peer = socket.remote_endpoint(error).address().to_string();
    socket.set_option(tcp::no_delay(true), error);
    TlsStream stream(std::move(socket), tls.Context());
    beast::tcp_stream& tcpStream = beast::get_lowest_layer(stream);
    Connection& connection = slot.Get();
    connection.socket = &tcpStream.socket();

    tcpStream.expires_after(kRequestHeadTime);
    if (const auto [handshakeError] = co_await stream.async_handshake(asio::ssl::stream_base::server, kNoThrow);
        handshakeError) {
      co_return;
    }
    beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::empty_body> parser;
      parser.header_limit(kMaxRequestHead);
      parser.body_limit(boost::none);  // bodies are refused below, whatever their size
      if (buffer.size() == 0) {  // between requests: idle until the next one's first byte
        tcpStream.expires_after(kIdleTime);
        connection.idleSince = std::chrono::steady_clock::now();
        const auto [readError, got] = co_await stream.async_read_some(buffer.prepare(kMaxRequestHead), kNoThrow);
        connection.idleSince.reset();
        if (readError) co_return;
        buffer.commit(got);
      }
      tcpStream.expires_after(kRequestHeadTime);
      std::tie(error, std::ignore) = co_await http::async_read_header(stream, buffer, parser, kNoThrow);
      if (error && error != http::error::header_limit && !IsMalformed(error)) {
        co_return;  // closed, timed out or broken between requests
      }
      const bool parsed = !error && (parser.get().version() == 10 || parser.get().version() == 11);
      HttpRequest request;
      request.peer = peer;
      if (parsed) request.head = parser.get().base();
      Exchange exchange(stream, request, parsed && request.head.version() == 11 && parser.get().keep_alive());
      const http::verb method = request.head.method();
      bool failed = false;
      if (error == http::error::header_limit) {
        co_await exchange.Send(TextResponse(431, "Request head too large\n"));
      } else if (!parsed) {
        co_await exchange.Send(TextResponse(400, "Malformed request\n"));
      } else if (!parser.is_done()) {
        // The body is never read, so the stream cannot be followed past it.
        exchange.Close();
        co_await exchange.Send(TextResponse(400, "Request bodies are not accepted\n"));
      } else if (method != http::verb::get && method != http::verb::head) {
        SiteResponse refusal = TextResponse(405, "Only GET and HEAD are served\n");
        refusal.head.set(http::field::allow, "GET, HEAD");
        exchange.Close();
        co_await exchange.Send(refusal);
      } else {
        try {
          co_await handler(exchange);
        } catch (const std::exception&) {
          failed = true;
        }
        if (failed && !exchange.HeadSent()) {
          exchange.Close();
          co_await exchange.Send(TextResponse(500, "Internal error\n"));
        }
      }
      if (parsed && logger) logger(request, exchange.Status(), exchange.BodyBytesSent());
      if (!exchange.Finished()) co_return;  // cut short: no close_notify, the body stays short
      if (!exchange.Reusable()) {
        tcpStream.expires_after(kCloseTime);
        co_await stream.async_shutdown(kNoThrow);
        co_return;
      }
    }
  }

  // Called on the server's thread: ends every wait of every connection.
  void CloseAll() {
    stopping = true;
    beast::error_code ignored;
    for (const auto& acceptor : acceptors) acceptor->close(ignored);
    for (Connection& connection : connections) {
      if (connection.socket) Interrupt(*connection.socket);
    }
    slotFreed.cancel();
  }
};

HttpsServer::HttpsServer(TlsIdentity tls, RequestHandler handler, ExchangeLogger logger)
    : state_(std::make_unique<State>()) {
  state_->tls = std::move(tls);
  state_->handler = std::move(handler);
  state_->logger = std::move(logger);
  state_->thread = std::thread([state = state_.get()] { state->io.run(); });
}

HttpsServer::~HttpsServer() { Stop(); }

std::uint16_t HttpsServer::Listen(const std::string& address, std::uint16_t port) {
  beast::error_code error;
  const asio::ip::address ip = asio::ip::make_address(address, error);
  if (error) throw SiteServerError("cannot listen on '" + address + "': not a numeric IPv4 or IPv6 address");
  const std::string where = (ip.is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(port);
  if (state_->stopped) throw SiteServerError("the server is stopping");

  const tcp::endpoint endpoint(ip, port);
  auto acceptor = std::make_unique<tcp::acceptor>(state_->io);
  acceptor->open(endpoint.protocol(), error);
  // Lets a restarted server take its port back from connections still in
  // TIME_WAIT; a port that another program listens on stays refused.
  if (!error) acceptor->set_option(tcp::acceptor::reuse_address(true), error);
  if (!error && ip.is_v6()) acceptor->set_option(asio::ip::v6_only(true), error);
  if (!error) acceptor->bind(endpoint, error);
  if (error == asio::error::address_in_use) {
    throw SiteServerError("cannot listen on " + where + ": the port is already in use");
  }
  if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
  if (error) throw SiteServerError("cannot listen on " + where + ": " + error.message());
  const std::uint16_t bound = acceptor->local_endpoint().port();
  asio::co_spawn(state_->io, state_->AcceptLoop(*acceptor), asio::detached);
  state_->acceptors.push_back(std::move(acceptor));
  return bound;
}

void HttpsServer::Stop() {
  State& state = *state_;
  if (state.stopped) return;
  state.stopped = true;
  asio::post(state.io, [&state] { state.CloseAll(); });
  state.work.reset();  // run() returns once every connection has ended
  state.thread.join();
}

// ---- signals ----

struct TerminationSignals::State {
  asio::io_context io{1};
  asio::signal_set signals{io, SIGINT, SIGTERM};
};

TerminationSignals::TerminationSignals() : state_(std::make_unique<State>()) {}
TerminationSignals::~TerminationSignals() = default;

int TerminationSignals::Wait() {
  int received = 0;
  state_->signals.async_wait([&received](const beast::error_code&, int number) { received = number; });
  state_->io.run();
  return received;
}

}  // namespace tessaline::release
