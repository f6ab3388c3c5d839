#pragma once

// A client's one door to the network. The facades and IsaacSimClient's own verbs and stream
// openers all go through it; nothing else reaches the request engine or the stream opener.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <strandel/client_options.hpp>
#include <strandel/http.hpp>
#include <strandel/json.hpp>
#include <strandel/stream_options.hpp>
#include <strandel/websocket_stream.hpp>

#include "request_engine.hpp"

namespace strandel::detail {

class ConnectionShare;

/// The URLs and request settings of one client, its connection pool, the HTTP verbs, the road of a
/// capture into a reused frame and the stream opener. Immutable after construction; its members
/// may run concurrently on several threads (the pool guards itself).
class Transport {
 public:
  /// Validates and throws std::invalid_argument in this order: "base_url must not be empty",
  /// "websocket_base_url must not be empty", "timeout must be positive",
  /// "max_retries must not be negative"; appends one '/' to each URL that lacks it; creates the
  /// pool when options.reuse_connections asks for it (its errors as IsaacSimClient documents).
  /// `label` is kept and never read.
  Transport(std::string label, std::string base_url, std::string websocket_base_url,
            ClientOptions options);
  /// A transport with this one's label and URLs, the settings of `options`, and this one's pool
  /// (or none), whatever options.reuse_connections says. Validates as the constructor does.
  std::unique_ptr<Transport> withOptions(ClientOptions options) const;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;
  ~Transport();

  const std::string& baseUrl() const noexcept { return baseUrl_; }
  const std::string& websocketBaseUrl() const noexcept { return websocketBaseUrl_; }

  /// One exchange with base_url + path (leading slashes dropped), with the client's retries; the
  /// errors of IsaacSimClient's verbs.
  HttpResponse request(std::string_view method, std::string_view path, std::string_view body);
  /// request() followed by the facades' check: the answer's JSON ({} for an empty 2xx body);
  /// HTTPRequestError (naming the method and URL) outside 2xx; nlohmann::json::parse_error for a
  /// 2xx body that is not JSON.
  json requestJson(std::string_view method, std::string_view path, std::string_view body = {});
  /// Throws HTTPRequestError naming `method` and the URL of `path` unless 200 <= status <= 299.
  void requireSuccess(long status, std::string_view body, std::string_view method,
                      std::string_view path) const;
  HttpResponse get(std::string_view path) { return request("GET", path, {}); }
  HttpResponse post(std::string_view path, std::string_view body) {
    return request("POST", path, body);
  }
  HttpResponse put(std::string_view path, std::string_view body) {
    return request("PUT", path, body);
  }
  HttpResponse patch(std::string_view path, std::string_view body) {
    return request("PATCH", path, body);
  }
  HttpResponse deleteRequest(std::string_view path) { return request("DELETE", path, {}); }
  /// The same exchange with its answer written into `target` (capacity kept, see ResponseTarget).
  void requestInto(std::string_view method, std::string_view path, std::string_view body,
                   const ResponseTarget& target);
  /// Opens websocket_base_url + path (no slash added or removed); the errors of
  /// IsaacSimClient::openJointPositionStream.
  WebSocketStream openStream(std::string_view path);
  /// The same, with `options`: without options.reconnect exactly openStream(path); with it, a
  /// stream that reopens websocket_base_url + path with this transport's time-out, message cap and
  /// a copy of its interrupt check. Throws std::invalid_argument "idle_timeout must not be
  /// negative" or "backoff must not be negative" (after the path's checks, before connecting).
  WebSocketStream openStream(std::string_view path, const StreamOptions& options);

 private:
  std::string label_;
  std::string baseUrl_;
  std::string websocketBaseUrl_;
  std::chrono::milliseconds timeout_;
  int maxRetries_;
  std::function<void(const AttemptReport&)> onAttempt_;
  std::function<void()> interruptCheck_;
  std::size_t maxResponseBytes_;
  std::size_t maxMessageBytes_;
  std::optional<std::vector<long>> retryStatuses_;
  std::unique_ptr<SeededJitter> jitter_;  // null: rand()
  BackoffPolicy backoff_;
  std::shared_ptr<ConnectionShare> connections_;  // null unless connections are reused
};

/// The stream path of an articulation: "articulations/" + id + suffix, the identifier verbatim
/// after requireVerbatimIdentifier (no leading slash: stream paths are appended to the WebSocket
/// base URL as they are).
std::string articulationStreamPath(std::string_view articulation_id, std::string_view suffix);

}  // namespace strandel::detail
