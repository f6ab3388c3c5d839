#include "world.hpp"

#include "world_state.hpp"

namespace strandel::mock_bridge {

std::optional<std::uint64_t> World::serial(const std::string& id) const {
  const auto it = articulations_.find(id);
  if (it == articulations_.end()) return std::nullopt;
  return it->second->serial;
}

json World::streamMessage(const std::string& id, StreamKind kind, std::uint64_t sequence) const {
  const ArticulationState& a = articulation(id);
  json message{{"articulation_id", id},
               {"sequence", sequence},
               {"sim_time", simTime_},
               {"joint_positions", a.positions}};
  if (kind == StreamKind::ArticulationState) {
    message["joint_names"] = a.jointNames();
    message["joint_velocities"] = a.velocities;
    message["moving"] = !a.settled();
    json gripper = nullptr;
    if (a.mount) {
      const auto g = grippers_.find(a.mount->gripper_id);
      if (g != grippers_.end())
        gripper = json{{"surface_gripper_id", g->first}, {"status", g->second->status}};
    }
    message["gripper"] = gripper;
  }
  return message;
}

void World::applyStreamTargets(const std::string& id, const JointTargets& targets) {
  moveToward(articulation(id), targets);
}

}  // namespace strandel::mock_bridge
