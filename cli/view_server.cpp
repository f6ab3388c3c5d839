#include "view_server.hpp"

#include <array>
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
constexpr auto kIdleTimeout = std::chrono::seconds(30);
constexpr auto kStopPoll = std::chrono::milliseconds(100);
/// After an answer that closes the connection: how long and how much of what the client still
/// sends is read and dropped, so that unread bytes do not reset the connection under the answer.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 64 * 1024;
/// Samples replayed to a new viewer, at most.
constexpr std::size_t kMaxReplayedSamples = 1024;
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

}  // namespace

/// State shared by the acceptor and every connection; touched only on the server's thread.
struct ViewServerCore : std::enable_shared_from_this<ViewServerCore> {
  ViewServerCore(asio::io_context& context, ViewServerSettings s)
      : ioc(context),
        settings(std::move(s)),
        acceptor(context),
        poll(context),
        acceptPause(context),
        signals(context) {}

  asio::io_context& ioc;
  ViewServerSettings settings;
  tcp::acceptor acceptor;
  /// Asks stopRequested every kStopPoll.
  asio::steady_timer poll;
  /// Holds off the next accept after one failed for want of descriptors or memory.
  asio::steady_timer acceptPause;
  asio::signal_set signals;
  std::function<bool()> stopRequested;
  bool stopped = false;
  bool terminated = false;

  std::shared_ptr<const std::string> hello;
  std::map<std::string, std::shared_ptr<const ViewPicture>> pictures;
  std::map<std::string, std::shared_ptr<const std::string>> states;
  std::deque<std::pair<Clock::time_point, std::shared_ptr<const std::string>>> samples;
  std::vector<std::weak_ptr<Closable>> connections;
  std::vector<std::weak_ptr<Viewer>> viewers;

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
};

namespace {

// ---------------------------------------------------------------------------------------------
// The live WebSocket of one tab

class Viewer : public Closable, public std::enable_shared_from_this<Viewer> {
 public:
  /// `pictures` false: a viewer that fetches the pictures itself (/frame/KIND.jpg) and is sent
  /// only the text messages.
  Viewer(tcp::socket socket, std::shared_ptr<ViewServerCore> core, bool pictures)
      : ws_(std::move(socket)), core_(std::move(core)), pictures_(pictures) {}

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
        return;
      }
      self->input_.consume(self->input_.size());
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
                        return;
                      }
                      self->queue_.pop_front();
                      self->pump();
                    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<ViewServerCore> core_;
  beast::flat_buffer input_;
  std::deque<Outgoing> queue_;  // front is being written while writing_
  bool pictures_ = true;
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
      : stream_(std::move(socket)), core_(std::move(core)) {}

  void run() {
    core_->track(shared_from_this());
    read();
  }

  void shutdown() override { stream_.close(); }

 private:
  void read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(kIdleTimeout);
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
    const std::string_view target(request.target().data(), request.target().size());
    const std::string_view path = target.substr(0, target.find('?'));
    if (path == "/live" && websocket::is_upgrade(request)) {
      if (core_->stopped) return;
      const bool pictures = target.substr(path.size()).find("pictures=0") == std::string_view::npos;
      std::make_shared<Viewer>(stream_.release_socket(), core_, pictures)->run(std::move(request));
      return;
    }
    head_ = request.method() == http::verb::head;
    write(answer(request, path), request.keep_alive());
  }

  Response plain(http::status status, unsigned version, std::string text) const {
    Response response(status, version);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = std::move(text) + "\n";
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
    for (const char* kind : {"rgb", "depth"}) {
      if (path != std::string("/frame/") + kind + ".jpg") continue;
      const auto found = core_->pictures.find(kind);
      if (found == core_->pictures.end())
        return plain(http::status::service_unavailable, version, "no frame yet");
      const ViewPicture& picture = *found->second;
      Response response(http::status::ok, version);
      response.set(http::field::content_type, "image/jpeg");
      response.set("X-Strandel-Frame", picture.meta);
      response.body().assign(picture.message, picture.jpeg_offset);
      return response;
    }
    if (path == "/live") return plain(http::status::upgrade_required, version, "a WebSocket");
    return plain(http::status::not_found, version, "not found");
  }

  void write(Response response, bool keep_alive) {
    auto shared = std::make_shared<Response>(std::move(response));
    shared->set(http::field::server, kServerName);
    shared->set(http::field::cache_control, "no-store");
    shared->set("X-Content-Type-Options", "nosniff");
    shared->keep_alive(keep_alive);
    if (head_) {
      shared->content_length(shared->body().size());
      shared->body().clear();
    } else {
      shared->prepare_payload();
    }
    stream_.expires_after(kIdleTimeout);
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
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  strandel::beast_support::Lingering lingering_{kLingerTime, kLingerBytes};
  bool head_ = false;
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
  signals.cancel(ignored);
  for (auto& weak : connections)
    if (auto connection = weak.lock()) connection->shutdown();
  connections.clear();
  viewers.clear();
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
  for (const auto& [at, message] : samples) viewer->sendText(message);
  for (const auto& [kind, picture] : pictures) viewer->sendPicture(picture);
}

void ViewServerCore::deliverPicture(const std::shared_ptr<const ViewPicture>& picture) {
  pictures[picture->kind] = picture;
  for (auto& weak : viewers)
    if (auto viewer = weak.lock()) viewer->sendPicture(picture);
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
