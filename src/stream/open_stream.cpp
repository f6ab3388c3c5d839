// The client's stream openers: endpoint paths and the connect-only WebSocket handshake.

#include <stdexcept>
#include <string>

#include <curl/curl.h>

#include <strandel/client.hpp>

#include "client/curl_handle.hpp"
#include "client/resource_path.hpp"
#include "receive_buffer_limit.hpp"

namespace strandel {
namespace {

// "articulations/" + id + suffix: the articulation path without its leading slash, since stream
// paths are appended to the WebSocket base URL as they are.
std::string articulationStreamPath(std::string_view articulation_id, std::string_view suffix) {
  std::string path = detail::resourcePath("articulations", articulation_id, suffix);
  path.erase(0, 1);
  return path;
}

}  // namespace

WebSocketStream IsaacSimClient::openJointPositionStream(std::string_view articulation_id) {
  return openStream_(articulationStreamPath(articulation_id, "/stream_joint_positions"));
}

WebSocketStream IsaacSimClient::openArticulationStateStream(std::string_view articulation_id) {
  return openStream_(articulationStreamPath(articulation_id, "/stream_articulation_state"));
}

WebSocketStream IsaacSimClient::openStream_(std::string_view path) {
  detail::requireVerbatimPath(path);
  detail::CurlEasyHandle handle = detail::makeEasyHandle();
  std::string url;
  url.reserve(websocketBaseUrl_.size() + path.size());
  url.append(websocketBaseUrl_).append(path);

  CURL* const h = handle.get();
  detail::setOption(h, CURLOPT_URL, url.c_str());
  detail::setOption(h, CURLOPT_CONNECT_ONLY, 2L);
  detail::setOption(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_.count()));
  // The stream answers pings itself, without ever blocking inside a receive.
  detail::setOption(h, CURLOPT_WS_OPTIONS, static_cast<long>(CURLWS_NOAUTOPONG));
  detail::setOption(h, CURLOPT_SOCKOPTFUNCTION,
                    static_cast<curl_sockopt_callback>(&detail::limitReceiveBuffer));

  const CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    throw std::runtime_error("WebSocket handshake failed for " + url + ": " + curl_easy_strerror(code));
  }
  return WebSocketStream(handle.release(), timeout_);
}

}  // namespace strandel
