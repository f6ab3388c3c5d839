#pragma once

// The stand-in's command line. Pure functions; safe on any thread.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "robot_model.hpp"

namespace strandel::mock_bridge {

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
