#include "server.hpp"

#include <array>
#include <chrono>
#include <deque>
#include <iostream>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "lingering_close.hpp"

#include "bridge.hpp"
#include "fault_injector.hpp"

namespace strandel::mock_bridge {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kServerName = "strandel-mock-bridge";
constexpr auto kIdleTimeout = std::chrono::seconds(60);
constexpr std::size_t kHeaderLimit = 16 * 1024;
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 1024 * 1024;
/// A stream skips a tick, or drops its answer to a refused message, rather than queue more than
/// this many unsent messages.
constexpr std::size_t kMaxQueuedMessages = 4;
/// How long accepting pauses when the process has no descriptor (or memory) left for a new
/// connection: the pending connection stays in the listen queue meanwhile, and retrying at once
/// would fail again at once.
constexpr auto kAcceptPause = std::chrono::milliseconds(50);
/// Accept failures are reported on stderr at most once per this interval.
constexpr auto kAcceptReportInterval = std::chrono::seconds(1);
/// How much a kept-alive connection reads at once while it waits for its next request.
constexpr std::size_t kFirstRead = 4096;
/// Connections beyond --max-connections that may linger after their 503 at once; further ones
/// are closed without an answer.
constexpr std::size_t kMaxRefusing = 64;

/// Something the server can close when it stops.
class Closable {
 public:
  virtual ~Closable() = default;
  virtual void shutdown() = 0;
};

/// What the connections take of the stand-in's bounded resources: how many are served, how many
/// are being refused, and the bytes of answers and stream messages that wait to be sent.
struct Usage {
  explicit Usage(const Options& options)
      : maxConnections(options.max_connections),
        maxUnsent(options.max_unsent_bytes),
        maxTotalUnsent(options.max_total_unsent_bytes) {}

  const std::size_t maxConnections;
  const std::uint64_t maxUnsent;
  const std::uint64_t maxTotalUnsent;
  std::size_t connections = 0;
  std::size_t refusing = 0;
  std::uint64_t unsent = 0;
};

/// Whether bytes to be sent fit, or which bound they would pass.
enum class Room { enough, connectionFull, totalFull };

/// One served connection as counted in Usage, with the bytes it has waiting to be sent; both are
/// given back when it is destroyed. Moves with the connection from HTTP to its stream.
class Slot {
 public:
  explicit Slot(std::shared_ptr<Usage> usage) : usage_(std::move(usage)) { ++usage_->connections; }
  Slot(Slot&& other) noexcept
      : usage_(std::move(other.usage_)), held_(std::exchange(other.held_, 0)) {}
  Slot& operator=(Slot&&) = delete;
  ~Slot() {
    if (!usage_) return;
    --usage_->connections;
    usage_->unsent -= held_;
  }

  /// Takes `bytes` to be sent when the connection's bytes stay within max_unsent_bytes and the
  /// total within max_total_unsent_bytes (not checked for kAlwaysSentBytes or fewer); otherwise
  /// takes nothing and says which bound they would pass.
  Room take(std::uint64_t bytes) {
    if (held_ + bytes > usage_->maxUnsent) return Room::connectionFull;
    if (bytes > kAlwaysSentBytes && usage_->unsent + bytes > usage_->maxTotalUnsent)
      return Room::totalFull;
    held_ += bytes;
    usage_->unsent += bytes;
    return Room::enough;
  }
  /// Gives back `bytes` taken before, once they are sent or dropped.
  void give(std::uint64_t bytes) {
    held_ -= bytes;
    usage_->unsent -= bytes;
  }
  const Usage& usage() const { return *usage_; }

 private:
  std::shared_ptr<Usage> usage_;
  std::uint64_t held_ = 0;
};

/// The whole 503 answer (head and body) to a connection beyond `max_connections`.
std::string connectionRefusal(std::size_t max_connections) {
  const Reply reply = jsonReply(
      503, errorBody(503, "too many connections: the stand-in serves at most " +
                              std::to_string(max_connections) + " at once; try again later"));
  http::response<http::string_body> response(http::status::service_unavailable, 11);
  response.set(http::field::server, kServerName);
  response.set(http::field::content_type, reply.content_type);
  response.keep_alive(false);
  response.body() = reply.body;
  response.prepare_payload();
  std::ostringstream text;
  text << response;
  return text.str();
}

}  // namespace

/// State shared by the acceptor and every session. Sessions hold it by shared_ptr; they never
/// touch it from their destructors.
struct ServerState : std::enable_shared_from_this<ServerState> {
  ServerState(asio::io_context& context, const Options& opts)
      : ioc(context),
        options(opts),
        bridge(opts),
        faults(opts.fail_every, opts.fail_status),
        acceptor(context),
        acceptPause(context),
        physics(context),
        usage(std::make_shared<Usage>(opts)),
        refusal(connectionRefusal(opts.max_connections)) {}

  asio::io_context& ioc;
  Options options;
  Bridge bridge;
  FaultInjector faults;
  tcp::acceptor acceptor;
  /// Holds off the next accept after the process ran out of descriptors or memory.
  asio::steady_timer acceptPause;
  /// When the next accept failure may be reported, and how many were not reported since the last.
  Clock::time_point nextAcceptReport;
  std::uint64_t unreportedAcceptFailures = 0;
  asio::steady_timer physics;
  std::vector<std::weak_ptr<Closable>> sessions;
  std::shared_ptr<Usage> usage;
  /// What a connection beyond max_connections is answered.
  const std::string refusal;
  bool stopped = false;

  void track(const std::shared_ptr<Closable>& session) {
    if (sessions.size() >= 64 && sessions.size() % 64 == 0) {
      std::vector<std::weak_ptr<Closable>> live;
      for (auto& weak : sessions)
        if (!weak.expired()) live.push_back(std::move(weak));
      sessions = std::move(live);
    }
    sessions.push_back(session);
  }

  void accept();
  void onAccepted(beast::error_code ec, tcp::socket socket);
  void reportAcceptFailure(const beast::error_code& ec, bool pausing);
  void scheduleStep();
  void log(const std::string& line) const {
    if (options.verbose) std::cerr << line << std::endl;
  }
};

namespace {

// ---------------------------------------------------------------------------------------------
// WebSocket streams

class StreamSession : public Closable, public std::enable_shared_from_this<StreamSession> {
 public:
  StreamSession(tcp::socket socket, std::shared_ptr<ServerState> server, Slot slot,
                std::unique_ptr<Bridge::Stream> feed)
      : ws_(std::move(socket)),
        server_(std::move(server)),
        slot_(std::move(slot)),
        feed_(std::move(feed)),
        ticker_(ws_.get_executor()),
        period_(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(1.0 / server_->options.stream_rate))) {}

  void run(http::request<http::string_body> request) {
    websocket::stream_base::timeout timeout{std::chrono::seconds(30), kIdleTimeout, true};
    ws_.set_option(timeout);
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(http::field::server, kServerName);
    }));
    ws_.async_accept(request,
                     beast::bind_front_handler(&StreamSession::onAccept, shared_from_this()));
  }

  void shutdown() override {
    closed_ = true;
    ticker_.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

 private:
  void onAccept(beast::error_code ec) {
    if (ec || server_->stopped) return;
    server_->track(shared_from_this());
    server_->log("stream opened: " + feed_->articulationId());
    ws_.text(true);
    ws_.auto_fragment(false);  // each message goes out as one frame, however long
    read();
    nextTick_ = Clock::now();
    tick();
  }

  void tick() {
    if (closed_) return;
    if (feed_->ended()) {
      closeWith("articulation removed");
      return;
    }
    if (outbox_.size() < kMaxQueuedMessages) enqueue(feed_->next());
    nextTick_ += period_;
    const auto now = Clock::now();
    if (nextTick_ + period_ < now) nextTick_ = now;  // fell behind: drop the missed ticks
    ticker_.expires_at(nextTick_);
    ticker_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->tick();
    });
  }

  /// Queues `message`, or drops it like a skipped tick when kMaxQueuedMessages wait already or
  /// its bytes do not fit (Slot::take).
  void enqueue(std::string message) {
    if (outbox_.size() >= kMaxQueuedMessages || slot_.take(message.size()) != Room::enough) return;
    outbox_.push_back(std::move(message));
    if (!writing_) writeNext();
  }

  void writeNext() {
    writing_ = true;
    ws_.async_write(asio::buffer(outbox_.front()),
                    beast::bind_front_handler(&StreamSession::onWrite, shared_from_this()));
  }

  void onWrite(beast::error_code ec, std::size_t) {
    writing_ = false;
    if (ec) {
      stop();
      return;
    }
    slot_.give(outbox_.front().size());
    outbox_.pop_front();
    if (!outbox_.empty() && !closed_) writeNext();
  }

  void read() {
    ws_.async_read(input_, beast::bind_front_handler(&StreamSession::onRead, shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec) {
      // The client's close frame (answered by the stream itself), a dropped connection or a
      // time-out: the session ends.
      server_->log("stream closed: " + feed_->articulationId() + " (" + ec.message() + ")");
      stop();
      return;
    }
    const std::string text = beast::buffers_to_string(input_.data());
    input_.consume(input_.size());
    std::optional<std::string> refusal = feed_->receive(text);
    if (refusal && !closed_) enqueue(std::move(*refusal));
    read();
  }

  void closeWith(const std::string& reason) {
    closed_ = true;
    ticker_.cancel();
    ws_.async_close(websocket::close_reason(websocket::close_code::going_away, reason),
                    [self = shared_from_this()](beast::error_code) {});
  }

  void stop() {
    closed_ = true;
    ticker_.cancel();
  }

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<ServerState> server_;
  Slot slot_;
  std::unique_ptr<Bridge::Stream> feed_;
  asio::steady_timer ticker_;
  std::chrono::nanoseconds period_;
  Clock::time_point nextTick_;
  beast::flat_buffer input_;
  std::deque<std::string> outbox_;
  bool writing_ = false;
  bool closed_ = false;
};

// ---------------------------------------------------------------------------------------------
// HTTP

class HttpSession : public Closable, public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, std::shared_ptr<ServerState> server, Slot slot)
      : stream_(std::move(socket)),
        server_(std::move(server)),
        slot_(std::move(slot)),
        delay_(stream_.get_executor()) {}

  void run() {
    server_->track(shared_from_this());
    read();
  }

  void shutdown() override {
    awaiting_.reset();
    delay_.cancel();
    stream_.close();
  }

 private:
  /// Reads the next request. A new connection has the request time-out for its first one; a
  /// kept-alive one waits up to kIdleTimeout for the first bytes of the next, which then has the
  /// request time-out to be complete.
  void read() {
    if (!answered_ || buffer_.size() > 0) {
      readRequest();
      return;
    }
    stream_.expires_after(kIdleTimeout);
    stream_.async_read_some(buffer_.prepare(kFirstRead),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              if (ec) {
                                self->close();
                                return;
                              }
                              self->buffer_.commit(n);
                              self->readRequest();
                            });
  }

  void readRequest() {
    parser_.emplace();
    parser_->body_limit(server_->options.max_body_bytes);
    parser_->header_limit(kHeaderLimit);
    stream_.expires_after(std::chrono::milliseconds(server_->options.request_timeout_ms));
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec == http::error::end_of_stream || ec == asio::error::operation_aborted ||
        ec == beast::error::timeout || ec == asio::error::connection_reset ||
        ec == asio::error::eof) {
      close();
      return;
    }
    if (ec == http::error::body_limit) {
      write(jsonReply(413, errorBody(413, "request body larger than " +
                                              std::to_string(server_->options.max_body_bytes) +
                                              " bytes")),
            false, 11);
      return;
    }
    if (ec) {
      write(jsonReply(400, errorBody(400, "malformed HTTP request: " + ec.message())), false, 11);
      return;
    }
    stream_.expires_never();
    http::request<http::string_body> request = parser_->release();
    if (websocket::is_upgrade(request)) {
      upgrade(std::move(request));
      return;
    }
    const std::optional<int> fault = server_->faults.next();
    Request req{std::string(request.method_string()), std::string(request.target()),
                std::move(request.body())};
    const bool keepAlive = request.keep_alive();
    const unsigned version = request.version();
    if (server_->options.latency_ms == 0) {
      dispatch(std::move(req), fault, keepAlive, version);
      return;
    }
    delay_.expires_after(std::chrono::milliseconds(server_->options.latency_ms));
    delay_.async_wait([self = shared_from_this(), req = std::move(req), fault, keepAlive,
                       version](beast::error_code waitError) mutable {
      if (!waitError) self->dispatch(std::move(req), fault, keepAlive, version);
    });
  }

  void dispatch(Request request, std::optional<int> fault, bool keepAlive, unsigned version) {
    const std::string line = request.method + " " + request.target;
    if (fault) {
      server_->log(line + " -> " + std::to_string(*fault) + " (injected)");
      write(jsonReply(*fault,
                      errorBody(*fault, "injected fault: every " +
                                            std::to_string(server_->options.fail_every) +
                                            "th request is answered " + std::to_string(*fault))),
            keepAlive, version);
      return;
    }
    // The session keeps itself until its reply comes (later when it waits for a motion); stop()
    // lets it go, so that a pending reply keeps neither the session nor the server alive.
    awaiting_ = shared_from_this();
    auto respond = [weak = weak_from_this(), keepAlive, version, line](Reply reply) {
      const std::shared_ptr<HttpSession> self = weak.lock();
      if (!self) return;  // the server stopped first
      self->awaiting_.reset();
      self->write(std::move(reply), keepAlive, version, line);
    };
    server_->bridge.handle(request, respond);
  }

  void upgrade(http::request<http::string_body> request) {
    Bridge::Opening opening = server_->bridge.openStream(
        std::string_view(request.target().data(), request.target().size()));
    if (!opening.stream) {
      write(std::move(opening.refusal), false, request.version());
      return;
    }
    std::make_shared<StreamSession>(stream_.release_socket(), server_, std::move(slot_),
                                    std::move(opening.stream))
        ->run(std::move(request));
  }

  /// Sends `reply`, or a 503 instead when its body does not fit in the bytes that may wait to be
  /// sent (Slot::take). With `line` (the request's method and target), logs it with the status
  /// sent.
  void write(Reply reply, bool keepAlive, unsigned version, const std::string& line = {}) {
    std::uint64_t size = reply.body.size();
    const Room room = slot_.take(size);
    if (room != Room::enough) {
      reply = jsonReply(503, errorBody(503, backlogRefusal(room, size)));
      size = reply.body.size();
      slot_.take(size);  // fits: a short answer, and nothing else waits on an HTTP connection
    }
    if (!line.empty()) server_->log(line + " -> " + std::to_string(reply.status));
    answered_ = true;
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(reply.status), version);
    response->set(http::field::server, kServerName);
    response->set(http::field::content_type, reply.content_type);
    for (const auto& [name, value] : reply.headers) response->set(name, value);
    response->keep_alive(keepAlive);
    response->body() = std::move(reply.body);
    response->prepare_payload();
    stream_.expires_after(kIdleTimeout);
    http::async_write(
        stream_, *response,
        [self = shared_from_this(), response, size](beast::error_code ec, std::size_t) {
          self->slot_.give(size);
          if (ec || self->server_->stopped) {
            self->close();
          } else if (!response->keep_alive()) {
            self->lingeringClose();
          } else {
            self->read();
          }
        });
  }

  /// Why an answer of `size` bytes is not sent.
  std::string backlogRefusal(Room room, std::uint64_t size) const {
    const Usage& usage = slot_.usage();
    if (room == Room::connectionFull)
      return "answer of " + std::to_string(size) + " bytes is larger than the " +
             std::to_string(usage.maxUnsent) + " bytes a connection may have waiting to be sent";
    return "answer of " + std::to_string(size) + " bytes dropped: " + std::to_string(usage.unsent) +
           " bytes wait to be sent to other clients and at most " +
           std::to_string(usage.maxTotalUnsent) + " may; try again later";
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  void lingeringClose() {
    beast_support::closeLingering(shared_from_this(), stream_, lingering_,
                                  [owner = server_] { return owner->stopped; });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<ServerState> server_;
  Slot slot_;
  asio::steady_timer delay_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  beast_support::Lingering lingering_{kLingerTime, kLingerBytes};
  std::shared_ptr<HttpSession> awaiting_;
  /// Whether an answer was sent: later requests come on a kept-alive connection.
  bool answered_ = false;
};

// ---------------------------------------------------------------------------------------------
// Connections beyond max_connections

/// Sends a connection beyond max_connections the 503 at once, whatever it sends, then closes it
/// lingering, so that the client reads the answer rather than a reset.
class Refusal : public Closable, public std::enable_shared_from_this<Refusal> {
 public:
  Refusal(tcp::socket socket, std::shared_ptr<ServerState> server)
      : stream_(std::move(socket)), server_(std::move(server)), usage_(server_->usage) {
    ++usage_->refusing;
  }
  ~Refusal() override { --usage_->refusing; }

  void run() {
    server_->track(shared_from_this());
    stream_.expires_after(kLingerTime);
    asio::async_write(stream_, asio::buffer(server_->refusal),
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                        if (ec || self->server_->stopped) {
                          self->stream_.close();
                          return;
                        }
                        beast_support::closeLingering(
                            self, self->stream_, self->lingering_,
                            [owner = self->server_] { return owner->stopped; });
                      });
  }

  void shutdown() override { stream_.close(); }

 private:
  beast::tcp_stream stream_;
  std::shared_ptr<ServerState> server_;
  std::shared_ptr<Usage> usage_;
  beast_support::Lingering lingering_{kLingerTime, kLingerBytes};
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Acceptor and the bridge's clock

void ServerState::accept() {
  acceptor.async_accept(beast::bind_front_handler(&ServerState::onAccepted, shared_from_this()));
}

namespace {

/// Failures that last until something else releases descriptors or memory, as opposed to a
/// failure of the one connection being accepted.
bool outOfResources(const beast::error_code& ec) {
  return ec == asio::error::no_descriptors ||
         ec == boost::system::errc::too_many_files_open_in_system ||
         ec == asio::error::no_buffer_space || ec == asio::error::no_memory;
}

}  // namespace

void ServerState::onAccepted(beast::error_code ec, tcp::socket socket) {
  if (stopped || ec == asio::error::operation_aborted) return;
  if (!ec) {
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    if (usage->connections < usage->maxConnections) {
      std::make_shared<HttpSession>(std::move(socket), shared_from_this(), Slot(usage))->run();
    } else if (usage->refusing < kMaxRefusing) {
      log("connection refused: " + std::to_string(usage->connections) + " connections served");
      std::make_shared<Refusal>(std::move(socket), shared_from_this())->run();
    }  // else the socket closes here
    accept();
    return;
  }
  const bool pausing = outOfResources(ec);
  reportAcceptFailure(ec, pausing);
  if (!pausing) {
    accept();
    return;
  }
  acceptPause.expires_after(kAcceptPause);
  acceptPause.async_wait([self = shared_from_this()](beast::error_code waitError) {
    if (!waitError && !self->stopped) self->accept();
  });
}

void ServerState::reportAcceptFailure(const beast::error_code& ec, bool pausing) {
  const auto now = Clock::now();
  if (now < nextAcceptReport) {
    ++unreportedAcceptFailures;
    return;
  }
  std::string line = "strandel-mock-bridge: accept failed: " + ec.message();
  if (pausing) line += "; accepting again in " + std::to_string(kAcceptPause.count()) + " ms";
  if (unreportedAcceptFailures > 0)
    line +=
        " (" + std::to_string(unreportedAcceptFailures) + " more failures since the last report)";
  std::cerr << line << std::endl;
  unreportedAcceptFailures = 0;
  nextAcceptReport = now + kAcceptReportInterval;
}

void ServerState::scheduleStep() {
  physics.expires_at(bridge.tick(Clock::now()));
  physics.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec && !self->stopped) self->scheduleStep();
  });
}

Server::Server(asio::io_context& ioc, const Options& options)
    : impl_(std::make_shared<ServerState>(ioc, options)) {
  const tcp::endpoint endpoint(asio::ip::make_address(options.host), options.port);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(asio::socket_base::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen(asio::socket_base::max_listen_connections);
}

Server::~Server() { stop(); }

std::uint16_t Server::port() const { return impl_->acceptor.local_endpoint().port(); }

std::string Server::url() const {
  const auto address = impl_->acceptor.local_endpoint().address();
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return "http://" + host + ":" + std::to_string(port()) + "/";
}

void Server::start() {
  impl_->accept();
  impl_->scheduleStep();
}

void Server::stop() {
  ServerState& impl = *impl_;
  if (impl.stopped) return;
  impl.stopped = true;
  beast::error_code ignored;
  impl.acceptor.close(ignored);
  impl.acceptPause.cancel();
  impl.physics.cancel();
  for (auto& weak : impl.sessions)
    if (auto session = weak.lock()) session->shutdown();
  impl.sessions.clear();
}

}  // namespace strandel::mock_bridge
