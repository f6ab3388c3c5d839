#pragma once

// The records the world keeps for each resource, and the helpers its files share. Included only
// by the world's own files (world.cpp, world_*.cpp, scene.cpp).

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "world.hpp"

namespace strandel::mock_bridge {

struct World::ArticulationState {
  std::string id;
  std::string prim_path;
  std::optional<std::string> urdf_path;
  std::shared_ptr<const RobotModel> model;
  std::uint64_t serial = 0;
  /// The placement slot: articulations stand side by side along the y axis.
  int slot = 0;
  std::vector<double> positions;
  std::vector<double> velocities;
  std::vector<double> targets;
  std::vector<bool> driven;
  /// The gripper mounted on this arm, as the assemble_robot command that mounted it.
  std::optional<AssembleRobot> mount;
  std::vector<Completion> waiters;

  std::size_t dof() const { return model->joints.size(); }

  bool settled() const {
    for (std::size_t j = 0; j < dof(); ++j)
      if (!model->joints[j].mimicked && positions[j] != targets[j]) return false;
    return true;
  }

  std::vector<std::string> jointNames() const {
    std::vector<std::string> names;
    for (const JointModel& joint : model->joints) names.push_back(joint.name);
    return names;
  }

  std::vector<std::string> drivenNames() const {
    std::vector<std::string> names;
    for (std::size_t j = 0; j < dof(); ++j)
      if (driven[j]) names.push_back(model->joints[j].name);
    return names;
  }

  double speed(std::size_t j, const WorldSettings& settings) const {
    const double bound = model->joints[j].max_velocity;
    return bound > 0.0 ? bound : settings.default_joint_speed;
  }
};

struct World::GripperState {
  std::string id;
  std::string prim_path;
  /// "open", "closing", "closed" or "opening".
  std::string status = "open";
  /// Simulated seconds until an opening or closing gripper has finished.
  double remaining = 0.0;
  json properties;
  std::vector<json> points;
  std::optional<std::string> mounted_on;
  std::vector<Completion> waiters;

  bool closedOrClosing() const { return status == "closed" || status == "closing"; }
};

struct World::CameraState {
  std::string id;
  std::string prim_path;
  double frequency = 30.0;
  CameraView view;
  /// The last rendered frame and the simulated time it shows.
  struct Frame {
    double sim_time = 0.0;
    Images images;
  };
  std::optional<Frame> last;
};

/// Pending completions, run after the world's state is consistent again.
class CompletionBatch {
 public:
  /// Takes every completion out of `waiters`, to be called with `status` and `body`.
  void add(std::vector<Completion>& waiters, int status, const json& body) {
    for (Completion& done : waiters) items_.push_back({std::move(done), status, body});
    waiters.clear();
  }
  void run() {
    auto items = std::move(items_);
    items_.clear();
    for (auto& item : items) item.done(item.status, item.body);
  }

 private:
  struct Item {
    Completion done;
    int status;
    json body;
  };
  std::vector<Item> items_;
};

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

/// "a, b, c".
inline std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace strandel::mock_bridge
