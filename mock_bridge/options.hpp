#pragma once

// The stand-in's command line. Pure functions; safe on any thread.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "robot_model.hpp"

namespace strandel::mock_bridge {

/// Answers and stream messages this small are sent even when max_total_unsent_bytes wait already,
/// so that clients that read are served while others do not (each connection has at most one
/// answer or four messages waiting).
constexpr std::uint64_t kAlwaysSentBytes = 64 * 1024;

struct Options {
  std::string host = "127.0.0.1";
  /// 0 lets the system pick a free port.
  std::uint16_t port = 8211;
  /// Messages per second on each stream.
  double stream_rate = 60.0;
  /// Simulation steps per second; each step advances simulated time by 1 / physics_rate.
  double physics_rate = 120.0;
  /// Speed bound (rad/s or m/s) for joints whose description gives none.
  double joint_speed = 1.5;
  /// Simulated seconds a surface gripper takes to open or close.
  double gripper_time = 0.25;
  /// Answer every Nth HTTP request with fail_status instead of serving it; 0 turns this off.
  std::uint32_t fail_every = 0;
  int fail_status = 503;
  /// Added before every HTTP answer.
  std::uint32_t latency_ms = 0;
  /// Largest request body accepted; larger ones get 413.
  std::uint64_t max_body_bytes = 8u * 1024u * 1024u;
  /// Largest URDF file an articulation may be created from; larger ones get 422.
  std::uint64_t max_urdf_bytes = kDefaultMaxUrdfBytes;
  /// Connections served at once (HTTP and streams); one more is answered 503 and closed.
  std::uint32_t max_connections = 256;
  /// Bytes of answers and stream messages that may wait to be sent on one connection: room for
  /// the largest camera frame (4096x4096 rgb and depth, 117 MB).
  std::uint64_t max_unsent_bytes = 128u * 1024u * 1024u;
  /// The same across every connection; answers of at most kAlwaysSentBytes are sent regardless.
  std::uint64_t max_total_unsent_bytes = 256u * 1024u * 1024u;
  /// Time a connection has for a request once it has begun, and a new connection for its first.
  std::uint32_t request_timeout_ms = 5000;
  /// Log every request and answer on stderr.
  bool verbose = false;
  bool help = false;
};

/// Thrown for a command line that cannot be used; the text says which option and why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Reads the arguments after the program name. Accepts "--name value" and "--name=value".
Options parseOptions(const std::vector<std::string>& args);

/// The --help text, listing every option with its default.
std::string usageText();

}  // namespace strandel::mock_bridge
