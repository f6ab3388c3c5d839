#pragma once

// What the world's resource classes share. Each owns its records by identifier, takes typed
// commands (commands.hpp) and returns the JSON answer, or throws ApiError (404 for an unknown
// identifier, 409 for a conflicting create or mount, 422 for a command the records' state
// refuses); a refused command changes nothing. Not thread-safe: used from the server's one thread.

#include <cctype>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "api_error.hpp"
#include "commands.hpp"
#include "robot_model.hpp"

namespace strandel::mock_bridge {

struct WorldSettings {
  /// Speed bound (rad/s or m/s) for joints whose description gives none.
  double default_joint_speed = 1.5;
  /// Simulated seconds that a surface gripper takes to open or close.
  double gripper_transition = 0.25;
  /// Largest URDF file an articulation may be created from; larger ones are refused with 422.
  std::uint64_t max_urdf_bytes = kDefaultMaxUrdfBytes;
};

/// An answer with its status (200 or 201).
struct Answer {
  int status = 200;
  json body;
};

/// The immediate answer to a command that may finish later, and whether the caller asked to
/// wait for the end (synchronous and not finished yet).
struct Started {
  json answer;
  bool wait = false;
};

/// Called once when a waited-for motion or gripper transition ends: 200 with the final state, or
/// 410 with an error body when the resource was removed first.
using Completion = std::function<void(int status, const json& body)>;

/// Pending completions, run after the records are consistent again.
class CompletionBatch {
 public:
  /// Takes every completion out of `waiters`, to be called with `status` and `body`.
  void add(std::vector<Completion>& waiters, int status, const json& body) {
    for (Completion& done : waiters)
      calls_.push_back([done = std::move(done), status, body] { done(status, body); });
    waiters.clear();
  }
  void run() {
    for (const auto& call : std::exchange(calls_, {})) call();
  }

 private:
  std::vector<std::function<void()>> calls_;
};

/// The record of `id` in `records` (const when they are); ApiError 404 "<kind> '<id>' not found"
/// when there is none.
template <typename Map>
auto& recordOf(Map& records, const std::string& id, const char* kind) {
  const auto it = records.find(id);
  if (it == records.end()) throw ApiError(404, std::string(kind) + " '" + id + "' not found");
  return it->second;
}

/// The identifiers of `records`, in order, as a JSON array.
template <typename Map>
json identifiersOf(const Map& records) {
  json ids = json::array();
  for (const auto& entry : records) ids.push_back(entry.first);
  return ids;
}

/// An identifier made from the last segment of `prim_path` (characters other than letters,
/// digits, '_' and '-' replaced by '_'), made unique among `taken` with a "_2", "_3", ... suffix.
template <typename Map>
std::string makeIdentifier(const std::string& prim_path, const std::string& fallback,
                           const Map& taken) {
  std::string base = prim_path.substr(prim_path.find_last_of('/') + 1);
  for (char& c : base)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  if (base.empty()) base = fallback;
  std::string id = base;
  for (int n = 2; taken.count(id) != 0; ++n) id = base + "_" + std::to_string(n);
  return id;
}

}  // namespace strandel::mock_bridge
