#pragma once

// The stand-in's endpoints: a route table, registered once, that maps each HTTP request (method,
// path, body) onto the world and produces its answer, and the reading of the text messages
// clients send on streams. Every body is read into its typed command here, before the world sees
// it. Transport concerns (sockets, latency, fault injection, WebSocket upgrades) belong to the
// server. Not thread-safe: used from the server's one thread.

#include <optional>
#include <string>
#include <string_view>

#include "route_table.hpp"
#include "world.hpp"

namespace strandel::mock_bridge {

/// The identifier and kind of a stream endpoint path
/// "/articulations/<id>/stream_joint_positions" or ".../stream_articulation_state".
struct StreamRoute {
  std::string articulation_id;
  StreamKind kind;
};
std::optional<StreamRoute> matchStreamRoute(std::string_view target);

class Router {
 public:
  /// Registers every endpoint; `world` must outlive the router.
  explicit Router(World& world);
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;

  /// Answers `request` through `respond`: 2xx with the answer, 400 for a body that is not JSON
  /// (parseMessage() decides), 404 for an unknown path or identifier, 405 (with Allow) for a known
  /// path and another method, 409 and 422 as the body and the world decide, 500 if something
  /// unforeseen throws. A request with a body and an identifier is refused in this order: 400 for a
  /// body that is not JSON, 404 for an unknown identifier, 422 for a body of the wrong shape, then
  /// whatever the world refuses.
  void handle(const Request& request, const Respond& respond);

  /// Applies a message (text or binary) received on a stream of the articulation
  /// `articulation_id`: joint targets, taken like an asynchronous move_j. Throws ApiError 404 for
  /// an unknown articulation, then 400 for text that is not JSON (parseMessage() decides), 422 for
  /// targets that break the move_j rules.
  void applyStreamMessage(const std::string& articulation_id, const std::string& text);
  /// Applies a stream message as applyStreamMessage() does and returns what the stream sends
  /// back: nothing when the targets were taken, otherwise the refusal's JSON error text (500 for
  /// something unforeseen). Throws nothing but std::bad_alloc, whatever the text.
  std::optional<std::string> answerStreamMessage(const std::string& articulation_id,
                                                 const std::string& text);

 private:
  void addArticulationRoutes();
  void addGripperRoutes();
  void addCameraRoutes();

  World& world_;
  RouteTable routes_;
};

}  // namespace strandel::mock_bridge
