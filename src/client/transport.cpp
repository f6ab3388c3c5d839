#include "transport.hpp"

#include <stdexcept>

#include <strandel/errors.hpp>
#include <utility>

#include "backoff.hpp"
#include "connection_share.hpp"
#include "join_url.hpp"
#include "parse_json_response.hpp"
#include "resource_path.hpp"
#include "stream/reconnection.hpp"
#include "stream/websocket_connection.hpp"
#include "websocket_handshake.hpp"

namespace strandel {

// The stream's constructor is private to the one place that opens streams.
struct detail::StreamFactory {
  static WebSocketStream make(CURL* handle, std::string url, std::chrono::milliseconds send_timeout,
                              std::size_t max_message_bytes) {
    return WebSocketStream(handle, std::move(url), send_timeout, max_message_bytes);
  }
  /// A stream that reopens its connection as `reconnection` says.
  static WebSocketStream make(CURL* handle, std::string url, std::chrono::milliseconds send_timeout,
                              std::size_t max_message_bytes,
                              std::unique_ptr<detail::Reconnection> reconnection) {
    WebSocketStream stream(handle, std::move(url), send_timeout, max_message_bytes);
    stream.connection_->reconnectWith(std::move(reconnection));
    return stream;
  }
};

namespace detail {
namespace {

void appendSlashIfMissing(std::string& url) {
  if (url.back() != '/') url.push_back('/');
}

}  // namespace

Transport::Transport(std::string label, std::string base_url, std::string websocket_base_url,
                     ClientOptions options)
    : label_(std::move(label)),
      baseUrl_(std::move(base_url)),
      websocketBaseUrl_(std::move(websocket_base_url)),
      timeout_(options.timeout),
      maxRetries_(options.max_retries),
      onAttempt_(std::move(options.on_attempt)),
      interruptCheck_(std::move(options.interrupt_check)),
      maxResponseBytes_(options.max_response_bytes),
      maxMessageBytes_(options.max_message_bytes),
      retryStatuses_(std::move(options.retry_statuses)) {
  if (baseUrl_.empty()) throw std::invalid_argument("base_url must not be empty");
  if (websocketBaseUrl_.empty())
    throw std::invalid_argument("websocket_base_url must not be empty");
  if (timeout_.count() <= 0) throw std::invalid_argument("timeout must be positive");
  if (maxRetries_ < 0) throw std::invalid_argument("max_retries must not be negative");
  if (options.initial_backoff.count() < 0 || options.max_backoff.count() < 0) {
    throw std::invalid_argument("backoff must not be negative");
  }
  appendSlashIfMissing(baseUrl_);
  appendSlashIfMissing(websocketBaseUrl_);
  if (options.seeded_jitter) jitter_ = std::make_unique<SeededJitter>();
  backoff_ = BackoffPolicy{options.initial_backoff, options.max_backoff, jitter_.get()};
  if (options.reuse_connections) connections_ = std::make_shared<ConnectionShare>();
}

std::unique_ptr<Transport> Transport::withOptions(ClientOptions options) const {
  options.reuse_connections = false;  // the pool is this one's, shared below
  auto copy = std::make_unique<Transport>(label_, baseUrl_, websocketBaseUrl_, std::move(options));
  copy->connections_ = connections_;
  return copy;
}

Transport::~Transport() = default;

HttpResponse Transport::request(std::string_view method, std::string_view path,
                                std::string_view body) {
  HttpResponse response;
  requestInto(method, path, body,
              ResponseTarget{&response.status, &response.body, &response.headers});
  return response;
}

json Transport::requestJson(std::string_view method, std::string_view path, std::string_view body) {
  const HttpResponse response = request(method, path, body);
  requireSuccess(response.status, response.body, method, path);
  return parseJsonResponse(response);
}

void Transport::requireSuccess(long status, std::string_view body, std::string_view method,
                               std::string_view path) const {
  if (status >= 200 && status <= 299) return;
  throw HTTPRequestError(status, std::string(body), std::string(method), joinUrl(baseUrl_, path));
}

void Transport::requestInto(std::string_view method, std::string_view path, std::string_view body,
                            const ResponseTarget& target) {
  requireVerbatimPath(path);
  const RequestSettings settings{timeout_,
                                 maxRetries_,
                                 &onAttempt_,
                                 maxResponseBytes_,
                                 connections_ ? connections_->get() : nullptr,
                                 &interruptCheck_,
                                 retryStatuses_ ? &*retryStatuses_ : nullptr,
                                 backoff_};
  performRequest(method, joinUrl(baseUrl_, path), body, settings, &sleepFor, target);
}

WebSocketStream Transport::openStream(std::string_view path) {
  requireVerbatimPath(path);
  std::string url;
  url.reserve(websocketBaseUrl_.size() + path.size());
  url.append(websocketBaseUrl_).append(path);
  CURL* const handle = openWebSocket(url, timeout_, &interruptCheck_);
  return StreamFactory::make(handle, std::move(url), timeout_, maxMessageBytes_);
}

WebSocketStream Transport::openStream(std::string_view path, const StreamOptions& options) {
  requireVerbatimPath(path);
  if (options.idle_timeout.count() < 0)
    throw std::invalid_argument("idle_timeout must not be negative");
  if (options.initial_backoff.count() < 0 || options.max_backoff.count() < 0)
    throw std::invalid_argument("backoff must not be negative");
  if (!options.reconnect) return openStream(path);
  std::string url = websocketBaseUrl_ + std::string(path);
  // Everything a reopen needs is copied now, so that the stream outlives this transport; and
  // before the handshake, so that nothing after it can throw and leak the connection.
  auto reconnection = std::make_unique<Reconnection>(
      options, [url, check = interruptCheck_](std::chrono::milliseconds timeout) {
        return openWebSocket(url, timeout, &check);
      });
  CURL* const handle = openWebSocket(url, timeout_, &interruptCheck_);
  return StreamFactory::make(handle, std::move(url), timeout_, maxMessageBytes_,
                             std::move(reconnection));
}

std::string articulationStreamPath(std::string_view articulation_id, std::string_view suffix) {
  std::string path = resourcePath("articulations", articulation_id, suffix);
  path.erase(0, 1);
  return path;
}

}  // namespace detail
}  // namespace strandel
