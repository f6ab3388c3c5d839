#pragma once

// Maps one HTTP request (method, target, body) onto the world and produces its answer. Knows every
// endpoint of the stand-in; transport concerns (sockets, latency, fault injection, WebSocket
// upgrades) belong to the server. Not thread-safe: used from the server's one thread.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "world.hpp"

namespace strandel::mock_bridge {

struct Request {
  std::string method;
  /// The request target as received, e.g. "/articulations/arm/joints_state?x=1".
  std::string target;
  std::string body;
};

struct Reply {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  /// Further header lines as name and value.
  std::vector<std::pair<std::string, std::string>> headers;
};

/// Receives the reply of one request exactly once, possibly after handle() has returned (for a
/// synchronous motion, when it ends).
using Respond = std::function<void(Reply)>;

/// A JSON reply with `status`.
Reply jsonReply(int status, const json& body);

/// The identifier and kind of a stream endpoint path
/// "/articulations/<id>/stream_joint_positions" or ".../stream_articulation_state".
struct StreamRoute {
  std::string articulation_id;
  StreamKind kind;
};
std::optional<StreamRoute> matchStreamRoute(std::string_view target);

class Router {
 public:
  explicit Router(World& world) : world_(world) {}

  /// Answers `request` through `respond`: 2xx with the answer, 400 for a body that is not JSON,
  /// 404 for an unknown path or identifier, 405 (with Allow) for a known path and another
  /// method, 409 and 422 as the world decides, 500 if something unforeseen throws.
  void handle(const Request& request, const Respond& respond);

 private:
  void route(const Request& request, const Respond& respond);
  World& world_;
};

}  // namespace strandel::mock_bridge
