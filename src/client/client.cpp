#include <stdexcept>
#include <string>
#include <utility>

#include <curl/curl.h>

#include <strandel/client.hpp>

#include "backoff.hpp"
#include "curl_handle.hpp"
#include "join_url.hpp"
#include "request_engine.hpp"
#include "resource_path.hpp"
#include "stream/receive_buffer_limit.hpp"

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

}  // namespace

IsaacSimClient::IsaacSimClient(std::string label, std::string base_url,
                               std::string websocket_base_url, std::chrono::milliseconds timeout,
                               int max_retries)
    : articulations(*this),
      surfaceGrippers(*this),
      cameras(*this),
      label_(std::move(label)),
      baseUrl_(std::move(base_url)),
      websocketBaseUrl_(std::move(websocket_base_url)),
      timeout_(timeout),
      maxRetries_(max_retries) {
  if (baseUrl_.empty()) throw std::invalid_argument("base_url must not be empty");
  if (websocketBaseUrl_.empty())
    throw std::invalid_argument("websocket_base_url must not be empty");
  if (timeout_.count() <= 0) throw std::invalid_argument("timeout must be positive");
  if (maxRetries_ < 0) throw std::invalid_argument("max_retries must not be negative");
  appendSlashIfMissing(baseUrl_);
  appendSlashIfMissing(websocketBaseUrl_);
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
  const detail::RequestSettings settings{timeout_, maxRetries_};
  return detail::performRequest(method, prepareUrl_(path), body, settings, &detail::sleepFor);
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
  detail::CurlHandle handle;
  std::string url;
  url.reserve(websocketBaseUrl_.size() + path.size());
  url.append(websocketBaseUrl_).append(path);

  handle.setOption(CURLOPT_URL, url.c_str());
  handle.setOption(CURLOPT_CONNECT_ONLY, 2L);
  handle.setOption(CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_.count()));
  // The stream answers pings itself, without ever blocking inside a receive.
  handle.setOption(CURLOPT_WS_OPTIONS, static_cast<long>(CURLWS_NOAUTOPONG));
  handle.setSocketOptions(&detail::limitReceiveBuffer);

  const CURLcode code = handle.perform();
  if (code != CURLE_OK) {
    throw std::runtime_error("WebSocket handshake failed for " + url + ": " +
                             curl_easy_strerror(code));
  }
  return WebSocketStream(handle.release(), timeout_);
}

}  // namespace strandel
