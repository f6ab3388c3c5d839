#include <stdexcept>
#include <string>
#include <utility>

#include <strandel/client.hpp>

#include "backoff.hpp"
#include "connection_share.hpp"
#include "join_url.hpp"
#include "request_engine.hpp"
#include "resource_path.hpp"
#include "websocket_handshake.hpp"

namespace strandel {
namespace {

void appendSlashIfMissing(std::string& url) {
  if (url.back() != '/') url.push_back('/');
}

// "articulations/" + id + suffix: the articulation path without its leading slash, since stream
// paths are appended to the WebSocket base URL as they are.
std::string articulationStreamPath(std::string_view articulation_id, std::string_view suffix) {
  std::string path = detail::resourcePath("articulations", articulation_id, suffix);
  path.erase(0, 1);
  return path;
}

ClientOptions optionsWith(std::chrono::milliseconds timeout, int max_retries) {
  ClientOptions options;
  options.timeout = timeout;
  options.max_retries = max_retries;
  return options;
}

}  // namespace

IsaacSimClient::IsaacSimClient(std::string label, std::string base_url,
                               std::string websocket_base_url, std::chrono::milliseconds timeout,
                               int max_retries)
    : IsaacSimClient(std::move(label), std::move(base_url), std::move(websocket_base_url),
                     optionsWith(timeout, max_retries)) {}

IsaacSimClient::IsaacSimClient(std::string label, std::string base_url,
                               std::string websocket_base_url, ClientOptions options)
    : articulations(*this),
      surfaceGrippers(*this),
      cameras(*this),
      label_(std::move(label)),
      baseUrl_(std::move(base_url)),
      websocketBaseUrl_(std::move(websocket_base_url)),
      timeout_(options.timeout),
      maxRetries_(options.max_retries),
      onAttempt_(std::move(options.on_attempt)),
      interruptCheck_(std::move(options.interrupt_check)),
      maxResponseBytes_(options.max_response_bytes),
      maxMessageBytes_(options.max_message_bytes) {
  if (baseUrl_.empty()) throw std::invalid_argument("base_url must not be empty");
  if (websocketBaseUrl_.empty())
    throw std::invalid_argument("websocket_base_url must not be empty");
  if (timeout_.count() <= 0) throw std::invalid_argument("timeout must be positive");
  if (maxRetries_ < 0) throw std::invalid_argument("max_retries must not be negative");
  appendSlashIfMissing(baseUrl_);
  appendSlashIfMissing(websocketBaseUrl_);
  if (options.reuse_connections) connections_ = std::make_unique<detail::ConnectionShare>();
}

IsaacSimClient::~IsaacSimClient() = default;

const std::string& IsaacSimClient::baseUrl() const noexcept { return baseUrl_; }

const std::string& IsaacSimClient::websocketBaseUrl() const noexcept { return websocketBaseUrl_; }

// --- HTTP verbs -----------------------------------------------------------------------------

HttpResponse IsaacSimClient::get(std::string_view path) { return request_("GET", path, {}); }

HttpResponse IsaacSimClient::post(std::string_view path, std::string_view body) {
  return request_("POST", path, body);
}

HttpResponse IsaacSimClient::put(std::string_view path, std::string_view body) {
  return request_("PUT", path, body);
}

HttpResponse IsaacSimClient::patch(std::string_view path, std::string_view body) {
  return request_("PATCH", path, body);
}

HttpResponse IsaacSimClient::deleteRequest(std::string_view path) {
  return request_("DELETE", path, {});
}

HttpResponse IsaacSimClient::request_(std::string_view method, std::string_view path,
                                      std::string_view body) {
  HttpResponse response;
  requestInto_(method, path, body, response.status, response.body, &response.headers);
  return response;
}

void IsaacSimClient::requestInto_(std::string_view method, std::string_view path,
                                  std::string_view body, long& status, std::string& response_body,
                                  std::map<std::string, std::string>* headers) {
  const detail::ResponseTarget target{&status, &response_body, headers};
  const detail::RequestSettings settings{timeout_,
                                         maxRetries_,
                                         &onAttempt_,
                                         maxResponseBytes_,
                                         connections_ ? connections_->get() : nullptr,
                                         &interruptCheck_};
  detail::performRequest(method, prepareUrl_(path), body, settings, &detail::sleepFor, target);
}

std::string IsaacSimClient::prepareUrl_(std::string_view path) const {
  detail::requireVerbatimPath(path);
  return detail::joinUrl(baseUrl_, path);
}

// --- streams --------------------------------------------------------------------------------

WebSocketStream IsaacSimClient::openJointPositionStream(std::string_view articulation_id) {
  return openStream_(articulationStreamPath(articulation_id, "/stream_joint_positions"));
}

WebSocketStream IsaacSimClient::openArticulationStateStream(std::string_view articulation_id) {
  return openStream_(articulationStreamPath(articulation_id, "/stream_articulation_state"));
}

WebSocketStream IsaacSimClient::openStream_(std::string_view path) {
  detail::requireVerbatimPath(path);
  std::string url;
  url.reserve(websocketBaseUrl_.size() + path.size());
  url.append(websocketBaseUrl_).append(path);
  return WebSocketStream(detail::openWebSocket(url, timeout_, &interruptCheck_), timeout_,
                         maxMessageBytes_);
}

}  // namespace strandel
