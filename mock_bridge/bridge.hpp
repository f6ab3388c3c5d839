#pragma once

// The stand-in bridge without its sockets: the world, the routes that map each HTTP request
// (method, path, body) onto it, the streams of its articulations and the clock that steps it.
// Every request body and stream message is read into its typed command here, before the world
// sees it. The server moves bytes between its connections and the three entries: handle() for an
// HTTP request, openStream() for a WebSocket stream, tick() for the passing of time. Not
// thread-safe: the server calls everything from its one thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "options.hpp"
#include "route_table.hpp"
#include "world.hpp"

namespace strandel::mock_bridge {

class Bridge {
 public:
  using Clock = std::chrono::steady_clock;
  class Stream;

  /// A stream subscription, or (with `stream` null) the reply that refuses the upgrade.
  struct Opening {
    std::unique_ptr<Stream> stream;
    Reply refusal;
  };

  /// Registers every endpoint over a world with the options' joint speed, gripper time and URDF
  /// limit, stepped physics_rate times per second; the other options are the server's.
  explicit Bridge(const Options& options);

  /// Answers `request` through `respond` exactly once: at once, or for a synchronous move_j, open
  /// or close when its motion ends (in tick(), or 410 when its resource is removed first). 2xx with
  /// the answer, 405 (with Allow) for a known path and another method, 404 for an unknown path; a
  /// request is refused in this order: 400 for a body that is not JSON (parseMessage() decides),
  /// 404 for an unknown identifier, 422 for a body of the wrong shape, then 409 or 422 as the world
  /// decides; 500 if something unforeseen throws.
  void handle(const Request& request, const Respond& respond);

  /// Subscribes to the stream at `target` ("/articulations/<id>/stream_joint_positions" or
  /// ".../stream_articulation_state") of the articulation as it is now; refused with 404 "no stream
  /// at <target>" or "articulation '<id>' not found". The subscription must not outlive the bridge.
  Opening openStream(std::string_view target);

  /// Runs the simulation clock: the first call starts it; a call at or after the time the last one
  /// returned advances the world by one step of 1 / physics_rate simulated seconds (running the
  /// completions of motions that ended). Returns when the next step is due: one period after the
  /// last, or `now` when that is over eight periods behind (simulated time slows down instead).
  Clock::time_point tick(Clock::time_point now);

 private:
  World world_;
  RouteTable routes_;
  double stepSeconds_;
  Clock::duration period_;
  std::optional<Clock::time_point> nextStep_;
};

/// One client's subscription to a stream (made by Bridge::openStream()): the messages to send it
/// and the handling of the messages it sends.
class Bridge::Stream {
 public:
  Stream(Bridge& bridge, std::string articulation_id, StreamKind kind, std::uint64_t serial)
      : bridge_(bridge), id_(std::move(articulation_id)), kind_(kind), serial_(serial) {}

  const std::string& articulationId() const { return id_; }
  /// Whether the articulation was removed since the stream opened (even if one of the same
  /// identifier was created again): the stream is over and next() may not be called.
  bool ended() const { return bridge_.world_.articulations.serial(id_) != serial_; }
  /// The next message as JSON text; its sequence counts the stream's messages from 0.
  std::string next();
  /// Applies a message (text or binary) the client sent: joint targets, taken like an asynchronous
  /// move_j. Returns nothing when they were taken, else the refusal's JSON error text: 404 when no
  /// articulation has the stream's identifier, then 400 for text that is not JSON (parseMessage()
  /// decides), 422 for targets that break the move_j rules. Throws nothing but std::bad_alloc.
  std::optional<std::string> receive(const std::string& text);

 private:
  Bridge& bridge_;
  std::string id_;
  StreamKind kind_;
  std::uint64_t serial_;
  std::uint64_t sequence_ = 0;
};

}  // namespace strandel::mock_bridge
