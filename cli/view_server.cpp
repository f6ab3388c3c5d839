#include "view_server.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "lingering_close.hpp"

#include "view_assets.hpp"
#include "view_json.hpp"

namespace strandel_cli {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kServerName[] = "strandel-view";
constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::size_t kBodyLimit = 4 * 1024;
/// Largest message a viewer may send on the WebSocket (it has nothing to say; bytes are dropped).
constexpr std::size_t kViewerMessageLimit = 4 * 1024;
/// How long a connection may take to send a whole request (an idle kept-alive one included).
constexpr auto kRequestTimeout = std::chrono::seconds(5);
/// How long an answer may take to be sent.
constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr auto kStopPoll = std::chrono::milliseconds(100);
/// After an answer that closes the connection: how long and how much of what the client still
/// sends is read and dropped, so that unread bytes do not reset the connection under the answer.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 64 * 1024;
/// Sample messages kept to replay to a new viewer, at most (replayed joined, one per stream).
constexpr std::size_t kMaxReplayedSamples = 1024;
/// How long a fetch of frame/KIND.jpg keeps the pictures coming, and waits at most for one taken
/// after it when the latest is from before.
constexpr auto kFetchDemand = std::chrono::seconds(2);
constexpr auto kFetchWait = std::chrono::seconds(5);
constexpr char kPagePolicy[] =
    "default-src 'self'; img-src 'self' blob:; connect-src 'self'; object-src 'none'; "
    "base-uri 'none'; frame-ancestors 'none'";

/// Something the server closes when it stops.
class Closable {
 public:
  virtual ~Closable() = default;
  virtual void shutdown() = 0;
};

class Viewer;
class HttpSession;

/// The host and port of a Host header or of an origin's authority, the host in lower case and
/// without the brackets of an IPv6 literal; empty when malformed.
struct Authority {
  std::string host;
  unsigned port = 0;
};

std::optional<Authority> parseAuthority(std::string_view text, unsigned default_port) {
  std::string_view host = text;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return std::nullopt;
    if (!rest.empty()) port = rest.substr(1);
  } else if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty() || port.size() > 5) return std::nullopt;
  Authority authority{std::string(host), port.empty() ? default_port : 0};
  for (const char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    authority.port = authority.port * 10 + static_cast<unsigned>(c - '0');
  }
  for (char& c : authority.host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return authority;
}

/// `address` with an IPv4-mapped IPv6 address as the IPv4 one.
asio::ip::address unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  return address;
}

}  // namespace

/// State shared by the acceptor and every connection; touched only on the server's thread.
struct ViewServerCore : std::enable_shared_from_this<ViewServerCore> {
  ViewServerCore(asio::io_context& context, ViewServerSettings s)
      : ioc(context),
        settings(std::move(s)),
        acceptor(context),
        poll(context),
        acceptPause(context),
        signals(context),
        fetchHold(context) {}

  asio::io_context& ioc;
  ViewServerSettings settings;
  tcp::acceptor acceptor;
  /// Asks stopRequested every kStopPoll.
  asio::steady_timer poll;
  /// Holds off the next accept after one failed for want of descriptors or memory.
  asio::steady_timer acceptPause;
  asio::signal_set signals;
  /// Ends the hold on pictures of the latest fetch of frame/KIND.jpg.
  asio::steady_timer fetchHold;
  std::function<bool()> stopRequested;
  bool stopped = false;
  bool terminated = false;
  /// The bound port.
  std::uint16_t port = 0;

  /// Whether pictures are wanted (told to settings.on_demand as it changes), since when, and
  /// until when the latest fetch of frame/KIND.jpg wants them.
  bool wanted = false;
  Clock::time_point wantedSince{};
  Clock::time_point fetchedUntil{};

  std::shared_ptr<const std::string> hello;
  std::map<std::string, std::shared_ptr<const ViewPicture>> pictures;
  std::map<std::string, Clock::time_point> publishedAt;
  std::map<std::string, std::shared_ptr<const std::string>> states;
  std::deque<std::pair<Clock::time_point, std::shared_ptr<const std::string>>> samples;
  std::vector<std::weak_ptr<Closable>> connections;
  std::vector<std::weak_ptr<Viewer>> viewers;
  /// Fetches of frame/KIND.jpg waiting for a picture taken after them.
  std::vector<std::weak_ptr<HttpSession>> fetches;

  void accept();
  void onAccepted(beast::error_code ec, tcp::socket socket);
  void watchForStop();
  void shutdown();
  /// Drops expired entries; the number of open connections.
  std::size_t liveConnections();
  void track(const std::shared_ptr<Closable>& connection) { connections.push_back(connection); }
  void addViewer(const std::shared_ptr<Viewer>& viewer);
  void deliverPicture(const std::shared_ptr<const ViewPicture>& picture);
  void deliverState(const std::string& key, std::shared_ptr<const std::string> message);
  void deliverSamples(std::shared_ptr<const std::string> message);
  void pruneSamples(Clock::time_point now);
  /// The sample messages kept, those of one stream in a row joined into one message.
  std::vector<std::shared_ptr<const std::string>> joinedSamples() const;
  /// Works out whether pictures are wanted; tells settings.on_demand when that changed.
  void updateDemand();
  /// A fetch of frame/KIND.jpg: pictures are wanted for kFetchDemand from now.
  void holdForFetch();
  /// Whether the latest picture of `kind` was taken while pictures were wanted without a break
  /// until now: no newer one was left untaken.
  bool currentPicture(const std::string& kind) const;
  /// Whether `name` (lower case, no brackets) names this server for a connection that reached it
  /// at `local`: localhost, 127.0.0.1, ::1, the listening address or `local`.
  bool servesName(const std::string& name, const asio::ip::address& local) const;
  /// Whether a Host header's value names this server with its port.
  bool acceptsHost(std::string_view host, const asio::ip::address& local) const;
  /// Whether an Origin header's value is this server's own page: http://HOST:PORT with a host
  /// servesName accepts and this server's port.
  bool acceptsOrigin(std::string_view origin, const asio::ip::address& local) const;
};

namespace {

// ---------------------------------------------------------------------------------------------
// The live WebSocket of one tab

class Viewer : public Closable, public std::enable_shared_from_this<Viewer> {
 public:
  /// `pictures` false: a viewer that fetches the pictures itself (/frame/KIND.jpg) and is sent
  /// only the text messages. `acks` true: a viewer that sends a message for each picture it has
  /// shown (or skipped), so that it is sent new pictures only as fast as it shows them.
  Viewer(tcp::socket socket, std::shared_ptr<ViewServerCore> core, bool pictures, bool acks)
      : ws_(std::move(socket)), core_(std::move(core)), pictures_(pictures), acks_(acks) {}

  void run(http::request<http::string_body> request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(http::field::server, kServerName);
    }));
    ws_.read_message_max(kViewerMessageLimit);
    ws_.auto_fragment(false);
    ws_.async_accept(request, beast::bind_front_handler(&Viewer::onAccept, shared_from_this()));
  }

  void shutdown() override {
    closed_ = true;
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  void sendText(const std::shared_ptr<const std::string>& text) {
    if (closed_ || !open_) return;
    if (queue_.size() >= ViewServer::kMaxQueuedTexts) {
      shutdown();  // it does not read: it reconnects and gets the states replayed
      core_->updateDemand();
      return;
    }
    queue_.push_back(Outgoing{text, nullptr});
    pump();
  }

  /// Queues `picture`, or puts it in the place of a picture of its kind that still waits.
  void sendPicture(const std::shared_ptr<const ViewPicture>& picture) {
    if (closed_ || !open_ || !pictures_) return;
    for (std::size_t i = writing_ ? 1 : 0; i < queue_.size(); ++i) {
      if (queue_[i].picture && queue_[i].picture->kind == picture->kind) {
        queue_[i].picture = picture;
        return;
      }
    }
    queue_.push_back(Outgoing{nullptr, picture});
    pump();
  }

  /// Whether a new picture would be sent at once: it takes pictures, none waits for it or is
  /// being sent, and at most kMaxUnshownPictures of those it was sent are not yet shown.
  bool readyForPicture() const {
    if (closed_ || !open_ || !pictures_ || unshown_ > ViewServer::kMaxUnshownPictures) return false;
    return std::none_of(queue_.begin(), queue_.end(),
                        [](const Outgoing& out) { return out.picture != nullptr; });
  }

 private:
  struct Outgoing {
    std::shared_ptr<const std::string> text;
    std::shared_ptr<const ViewPicture> picture;
  };

  void onAccept(beast::error_code ec) {
    if (ec || core_->stopped) return;
    open_ = true;
    core_->track(shared_from_this());
    core_->addViewer(shared_from_this());
    read();
  }

  void read() {
    ws_.async_read(input_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->closed_ = true;  // the tab closed or went away; pending writes fail and end
        self->core_->updateDemand();
        return;
      }
      self->input_.consume(self->input_.size());
      if (self->acks_ && self->unshown_ > 0) {
        --self->unshown_;  // one picture shown
        self->core_->updateDemand();
      }
      self->read();
    });
  }

  void pump() {
    if (writing_ || queue_.empty() || closed_) return;
    writing_ = true;
    const Outgoing& next = queue_.front();
    ws_.binary(next.picture != nullptr);
    const std::string& bytes = next.picture ? next.picture->message : *next.text;
    ws_.async_write(asio::buffer(bytes),
                    [self = shared_from_this()](beast::error_code ec, std::size_t) {
                      self->writing_ = false;
                      if (ec) {
                        self->shutdown();
                        self->core_->updateDemand();
                        return;
                      }
                      const bool picture = self->queue_.front().picture != nullptr;
                      self->queue_.pop_front();
                      if (picture && self->acks_) ++self->unshown_;
                      self->pump();
                      if (picture) self->core_->updateDemand();
                    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<ViewServerCore> core_;
  beast::flat_buffer input_;
  std::deque<Outgoing> queue_;  // front is being written while writing_
  bool pictures_ = true;
  bool acks_ = false;
  std::size_t unshown_ = 0;  // pictures sent and not yet reported shown
  bool open_ = false;
  bool writing_ = false;
  bool closed_ = false;
};

// ---------------------------------------------------------------------------------------------
// Plain HTTP: the page, Chart.js, the latest pictures

using Response = http::response<http::string_body>;

bool endsConnection(const beast::error_code& ec) {
  return ec == http::error::end_of_stream || ec == asio::error::operation_aborted ||
         ec == beast::error::timeout || ec == asio::error::connection_reset ||
         ec == asio::error::eof;
}

class HttpSession : public Closable, public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, std::shared_ptr<ViewServerCore> core)
      : stream_(std::move(socket)), core_(std::move(core)), fetchWait_(stream_.get_executor()) {
    beast::error_code ec;
    const tcp::endpoint local = stream_.socket().local_endpoint(ec);
    if (!ec) local_ = unmapped(local.address());
  }

  void run() {
    core_->track(shared_from_this());
    read();
  }

  void shutdown() override {
    fetchWait_.cancel();
    stream_.close();
  }

  /// A picture of `kind` was published: answers the fetch waiting for it. False while this
  /// session still waits for a picture of another kind.
  bool pictureArrived(const std::string& kind) {
    if (!waiting_) return true;
    if (kind != fetchKind_) return false;
    answerFetch();
    return true;
  }

 private:
  void read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(kRequestTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    if (endsConnection(ec)) {
      stream_.close();
      return;
    }
    if (ec == http::error::header_limit) {
      write(plain(http::status::request_header_fields_too_large, 11, "request header too large"),
            false);
      return;
    }
    if (ec == http::error::body_limit) {
      write(plain(http::status::payload_too_large, 11, "request body too large"), false);
      return;
    }
    if (ec) {
      write(plain(http::status::bad_request, 11, "malformed request: " + ec.message()), false);
      return;
    }
    http::request<http::string_body> request = parser_->release();
    head_ = request.method() == http::verb::head;
    // Another name for this address (DNS rebinding) or another site's page: refused before
    // anything is routed.
    const auto host = request.find(http::field::host);
    if (host == request.end() ||
        !core_->acceptsHost(std::string_view(host->value().data(), host->value().size()), local_)) {
      write(plain(http::status::forbidden, request.version(),
                  "this view answers only requests for its own address"),
            false);
      return;
    }
    const std::string_view target(request.target().data(), request.target().size());
    const std::string_view path = target.substr(0, target.find('?'));
    if (path == "/live" && websocket::is_upgrade(request)) {
      if (core_->stopped) return;
      const auto origin = request.find(http::field::origin);
      if (origin != request.end() &&
          !core_->acceptsOrigin(std::string_view(origin->value().data(), origin->value().size()),
                                local_)) {
        write(plain(http::status::forbidden, request.version(),
                    "the live connection is open only to the view's own page"),
              false);
        return;
      }
      const std::string_view query = target.substr(path.size());
      const bool pictures = query.find("pictures=0") == std::string_view::npos;
      const bool acks = query.find("acks=1") != std::string_view::npos;
      std::make_shared<Viewer>(stream_.release_socket(), core_, pictures, acks)
          ->run(std::move(request));
      return;
    }
    for (const char* kind : {"rgb", "depth"}) {
      if (path != std::string("/frame/") + kind + ".jpg" ||
          (request.method() != http::verb::get && !head_)) {
        continue;
      }
      const bool current = core_->currentPicture(kind);
      core_->holdForFetch();
      if (current) break;
      // Pictures were not being taken: wait for one taken from now on.
      waiting_ = true;
      fetchKind_ = kind;
      fetchVersion_ = request.version();
      fetchKeepAlive_ = request.keep_alive();
      core_->fetches.push_back(shared_from_this());
      fetchWait_.expires_after(kFetchWait);
      fetchWait_.async_wait([self = shared_from_this()](beast::error_code wait) {
        if (!wait && self->waiting_ && !self->core_->stopped) self->answerFetch();
      });
      return;
    }
    write(answer(request, path), request.keep_alive());
  }

  void answerFetch() {
    waiting_ = false;
    fetchWait_.cancel();
    write(picture(fetchKind_, fetchVersion_), fetchKeepAlive_);
  }

  Response plain(http::status status, unsigned version, std::string text) const {
    Response response(status, version);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = std::move(text) + "\n";
    return response;
  }

  /// The latest picture of `kind`, or 503 before the first.
  Response picture(const std::string& kind, unsigned version) const {
    const auto found = core_->pictures.find(kind);
    if (found == core_->pictures.end())
      return plain(http::status::service_unavailable, version, "no frame yet");
    const ViewPicture& latest = *found->second;
    Response response(http::status::ok, version);
    response.set(http::field::content_type, "image/jpeg");
    response.set("X-Strandel-Frame", latest.meta);
    response.body().assign(latest.message, latest.jpeg_offset);
    return response;
  }

  Response answer(const http::request<http::string_body>& request, std::string_view path) const {
    const unsigned version = request.version();
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      Response response = plain(http::status::method_not_allowed, version, "only GET and HEAD");
      response.set(http::field::allow, "GET, HEAD");
      return response;
    }
    if (const ViewAsset* asset = findViewAsset(path)) {
      Response response(http::status::ok, version);
      response.set(http::field::content_type,
                   beast::string_view(asset->content_type.data(), asset->content_type.size()));
      if (path == "/") response.set("Content-Security-Policy", kPagePolicy);
      response.body().assign(asset->bytes.data(), asset->bytes.size());
      return response;
    }
    if (path == "/chart.js") {
      if (core_->settings.chart_js.empty()) {
        return plain(http::status::not_found, version,
                     "Chart.js is not available: install libjs-chart.js or pass --chart-js");
      }
      Response response(http::status::ok, version);
      response.set(http::field::content_type, "text/javascript; charset=utf-8");
      response.body() = core_->settings.chart_js;
      return response;
    }
    for (const char* kind : {"rgb", "depth"})
      if (path == std::string("/frame/") + kind + ".jpg") return picture(kind, version);
    if (path == "/live") return plain(http::status::upgrade_required, version, "a WebSocket");
    return plain(http::status::not_found, version, "not found");
  }

  void write(Response response, bool keep_alive) {
    auto shared = std::make_shared<Response>(std::move(response));
    shared->set(http::field::server, kServerName);
    shared->set(http::field::cache_control, "no-store");
    shared->set("X-Content-Type-Options", "nosniff");
    // Pictures and scripts are not for other sites' pages, not even as <img> or <script>.
    shared->set("Cross-Origin-Resource-Policy", "same-origin");
    shared->keep_alive(keep_alive);
    if (head_) {
      shared->content_length(shared->body().size());
      shared->body().clear();
    } else {
      shared->prepare_payload();
    }
    stream_.expires_after(kWriteTimeout);
    http::async_write(stream_, *shared,
                      [self = shared_from_this(), shared](beast::error_code ec, std::size_t) {
                        if (ec || self->core_->stopped) {
                          self->stream_.close();
                        } else if (!shared->keep_alive()) {
                          self->lingeringClose();
                        } else {
                          self->read();
                        }
                      });
  }

  void lingeringClose() {
    strandel::beast_support::closeLingering(shared_from_this(), stream_, lingering_,
                                            [owner = core_] { return owner->stopped; });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<ViewServerCore> core_;
  asio::ip::address local_;  // where the client reached this server
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  strandel::beast_support::Lingering lingering_{kLingerTime, kLingerBytes};
  bool head_ = false;
  // A fetch of frame/KIND.jpg waiting for a picture taken after it.
  asio::steady_timer fetchWait_;
  bool waiting_ = false;
  std::string fetchKind_;
  unsigned fetchVersion_ = 11;
  bool fetchKeepAlive_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The core

void ViewServerCore::accept() {
  acceptor.async_accept(beast::bind_front_handler(&ViewServerCore::onAccepted, shared_from_this()));
}

void ViewServerCore::onAccepted(beast::error_code ec, tcp::socket socket) {
  if (stopped || ec == asio::error::operation_aborted) return;
  if (!ec) {
    if (liveConnections() >= ViewServer::kMaxConnections) {
      beast::error_code ignored;
      socket.close(ignored);
    } else {
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<HttpSession>(std::move(socket), shared_from_this())->run();
    }
  }
  // A failed accept other than a client gone before it was accepted (no descriptor or memory
  // left) would fail again at once: the next one waits a little.
  if (ec && ec != asio::error::connection_aborted) {
    acceptPause.expires_after(kStopPoll);
    acceptPause.async_wait([self = shared_from_this()](beast::error_code wait) {
      if (!wait && !self->stopped) self->accept();
    });
    return;
  }
  accept();
}

void ViewServerCore::watchForStop() {
  poll.expires_after(kStopPoll);
  poll.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec || self->stopped) return;
    if (self->stopRequested && self->stopRequested()) {
      self->shutdown();
      return;
    }
    self->watchForStop();
  });
}

std::size_t ViewServerCore::liveConnections() {
  std::vector<std::weak_ptr<Closable>> live;
  for (auto& weak : connections)
    if (!weak.expired()) live.push_back(std::move(weak));
  connections = std::move(live);
  return connections.size();
}

void ViewServerCore::shutdown() {
  if (stopped) return;
  stopped = true;
  beast::error_code ignored;
  acceptor.close(ignored);
  poll.cancel();
  acceptPause.cancel();
  fetchHold.cancel();
  signals.cancel(ignored);
  for (auto& weak : connections)
    if (auto connection = weak.lock()) connection->shutdown();
  connections.clear();
  viewers.clear();
  fetches.clear();
}

void ViewServerCore::addViewer(const std::shared_ptr<Viewer>& viewer) {
  std::vector<std::weak_ptr<Viewer>> live;
  for (auto& weak : viewers)
    if (!weak.expired()) live.push_back(std::move(weak));
  viewers = std::move(live);
  viewers.push_back(viewer);
  if (hello) viewer->sendText(hello);
  for (const auto& [key, message] : states) viewer->sendText(message);
  pruneSamples(Clock::now());
  for (const auto& message : joinedSamples()) viewer->sendText(message);
  for (const auto& [kind, picture] : pictures) viewer->sendPicture(picture);
  updateDemand();
}

void ViewServerCore::deliverPicture(const std::shared_ptr<const ViewPicture>& picture) {
  pictures[picture->kind] = picture;
  publishedAt[picture->kind] = Clock::now();
  for (auto& weak : viewers)
    if (auto viewer = weak.lock()) viewer->sendPicture(picture);
  std::vector<std::weak_ptr<HttpSession>> waiting;
  for (auto& weak : fetches) {
    const auto session = weak.lock();
    if (session && !session->pictureArrived(picture->kind)) waiting.push_back(std::move(weak));
  }
  fetches = std::move(waiting);
}

void ViewServerCore::deliverState(const std::string& key,
                                  std::shared_ptr<const std::string> message) {
  states[key] = message;
  for (auto& weak : viewers)
    if (auto viewer = weak.lock()) viewer->sendText(message);
}

void ViewServerCore::deliverSamples(std::shared_ptr<const std::string> message) {
  const auto now = Clock::now();
  samples.emplace_back(now, message);
  pruneSamples(now);
  for (auto& weak : viewers)
    if (auto viewer = weak.lock()) viewer->sendText(message);
}

void ViewServerCore::pruneSamples(Clock::time_point now) {
  while (!samples.empty() &&
         (samples.size() > kMaxReplayedSamples || samples.front().first + settings.history < now)) {
    samples.pop_front();
  }
}

std::vector<std::shared_ptr<const std::string>> ViewServerCore::joinedSamples() const {
  using strandel::json;
  std::vector<json> joined;
  std::map<std::string, std::size_t> last;  // stream: its latest entry in `joined`
  for (const auto& [at, text] : samples) {
    json message = json::parse(*text, nullptr, false);
    const bool joinable = message.is_object() && message.contains("samples") &&
                          message.at("samples").is_array() && message.contains("stream") &&
                          message.at("stream").is_string();
    if (!joinable) {
      joined.push_back(std::move(message));
      continue;
    }
    const std::string stream = message.at("stream").get<std::string>();
    const auto found = last.find(stream);
    if (found != last.end() &&
        joined[found->second].value("names", json()) == message.value("names", json())) {
      json& into = joined[found->second];
      json& to = into.at("samples");
      for (json& sample : message.at("samples")) to.push_back(std::move(sample));
      for (auto& [key, value] : message.items())
        if (key != "samples") into[key] = value;
      continue;
    }
    last[stream] = joined.size();  // a new stream, or new joint names: a message of its own
    joined.push_back(std::move(message));
  }
  std::vector<std::shared_ptr<const std::string>> texts;
  for (const json& message : joined)
    texts.push_back(std::make_shared<const std::string>(viewJson(message)));
  return texts;
}

void ViewServerCore::updateDemand() {
  if (stopped) return;
  const auto now = Clock::now();
  bool want = fetchedUntil > now;
  for (auto& weak : viewers) {
    const auto viewer = weak.lock();
    if (viewer && viewer->readyForPicture()) want = true;
  }
  if (want == wanted) return;
  wanted = want;
  if (want) wantedSince = now;
  if (settings.on_demand) settings.on_demand(want);
}

void ViewServerCore::holdForFetch() {
  fetchedUntil = Clock::now() + kFetchDemand;
  updateDemand();
  fetchHold.expires_at(fetchedUntil);
  fetchHold.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) self->updateDemand();
  });
}

bool ViewServerCore::currentPicture(const std::string& kind) const {
  const auto found = publishedAt.find(kind);
  return wanted && found != publishedAt.end() && found->second >= wantedSince;
}

bool ViewServerCore::servesName(const std::string& name, const asio::ip::address& local) const {
  if (name == "localhost") return true;
  beast::error_code ec;
  const asio::ip::address address = unmapped(asio::ip::make_address(name, ec));
  if (ec) return false;
  if (address == asio::ip::make_address("127.0.0.1") || address == asio::ip::make_address("::1"))
    return true;
  if (!address.is_unspecified() && address == local) return true;
  const asio::ip::address listening = unmapped(
      asio::ip::make_address(settings.host == "localhost" ? "127.0.0.1" : settings.host, ec));
  return !ec && !listening.is_unspecified() && address == listening;
}

bool ViewServerCore::acceptsHost(std::string_view host, const asio::ip::address& local) const {
  const std::optional<Authority> authority = parseAuthority(host, 80);
  return authority && authority->port == port && servesName(authority->host, local);
}

bool ViewServerCore::acceptsOrigin(std::string_view origin, const asio::ip::address& local) const {
  constexpr std::string_view kScheme = "http://";
  if (origin.substr(0, kScheme.size()) != kScheme) return false;
  return acceptsHost(origin.substr(kScheme.size()), local);
}

// ---------------------------------------------------------------------------------------------
// ViewServer

std::shared_ptr<const ViewPicture> makeViewPicture(std::string kind, std::string meta,
                                                   const std::string& jpeg) {
  auto picture = std::make_shared<ViewPicture>();
  const auto length = static_cast<std::uint32_t>(meta.size());
  picture->message.reserve(4 + meta.size() + jpeg.size());
  for (int shift = 0; shift < 32; shift += 8)
    picture->message.push_back(static_cast<char>((length >> shift) & 0xFFu));
  picture->message += meta;
  picture->jpeg_offset = picture->message.size();
  picture->message += jpeg;
  picture->kind = std::move(kind);
  picture->meta = std::move(meta);
  return picture;
}

ViewServer::ViewServer(ViewServerSettings settings) {
  const std::string where = settings.host + ":" + std::to_string(settings.port);
  core_ = std::make_shared<ViewServerCore>(ioc_, std::move(settings));
  try {
    const std::string& host = core_->settings.host;
    const tcp::endpoint endpoint(asio::ip::make_address(host == "localhost" ? "127.0.0.1" : host),
                                 core_->settings.port);
    core_->acceptor.open(endpoint.protocol());
    core_->acceptor.set_option(asio::socket_base::reuse_address(true));
    core_->acceptor.bind(endpoint);
    core_->acceptor.listen(asio::socket_base::max_listen_connections);
    core_->port = core_->acceptor.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot listen on " + where + ": " + e.code().message());
  }
  if (!core_->settings.hello.empty())
    core_->hello = std::make_shared<const std::string>(core_->settings.hello);
}

ViewServer::~ViewServer() {
  core_->shutdown();
  // Handlers still queued (when run() never ran or ended early) hold connections; the context
  // releases them as it is destroyed, after this.
}

std::uint16_t ViewServer::port() const { return core_->acceptor.local_endpoint().port(); }

std::string ViewServer::url() const {
  const auto address = core_->acceptor.local_endpoint().address();
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return "http://" + host + ":" + std::to_string(port()) + "/";
}

void ViewServer::publishPicture(std::shared_ptr<const ViewPicture> picture) {
  asio::post(ioc_, [core = core_, picture = std::move(picture)] {
    if (!core->stopped) core->deliverPicture(picture);
  });
}

void ViewServer::publishState(std::string key, std::string message) {
  asio::post(ioc_, [core = core_, key = std::move(key),
                    message = std::make_shared<const std::string>(std::move(message))] {
    if (!core->stopped) core->deliverState(key, message);
  });
}

void ViewServer::publishSamples(std::string message) {
  asio::post(ioc_,
             [core = core_, message = std::make_shared<const std::string>(std::move(message))] {
               if (!core->stopped) core->deliverSamples(message);
             });
}

void ViewServer::run(const std::function<bool()>& stop_requested) {
  core_->stopRequested = stop_requested;
  core_->signals.add(SIGTERM);
  core_->signals.async_wait([core = core_](beast::error_code ec, int) {
    if (ec) return;
    core->terminated = true;
    core->shutdown();
  });
  core_->accept();
  core_->watchForStop();
  ioc_.run();
  core_->stopRequested = nullptr;
}

bool ViewServer::terminated() const { return core_->terminated; }

void ViewServer::stop() {
  asio::post(ioc_, [core = core_] { core->shutdown(); });
}

}  // namespace strandel_cli
