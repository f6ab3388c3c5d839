#include "world.hpp"

#include "world_state.hpp"

namespace strandel::mock_bridge {

World::World(WorldSettings settings) : settings_(settings) {}
World::~World() = default;

void World::step(double dt) {
  if (!(dt > 0.0)) return;
  simTime_ += dt;
  CompletionBatch batch;
  stepArticulations(dt, batch);
  stepGrippers(dt, batch);
  batch.run();
}

void World::dropCompletions() {
  for (auto& [id, a] : articulations_) a->waiters.clear();
  for (auto& [id, g] : grippers_) g->waiters.clear();
}

json World::overview() const {
  json result{{"service", "strandel-mock-bridge"}, {"sim_time", simTime_}};
  const auto keys = [](const auto& map) {
    json ids = json::array();
    for (const auto& entry : map) ids.push_back(entry.first);
    return ids;
  };
  result["articulations"] = keys(articulations_);
  result["surface_grippers"] = keys(grippers_);
  result["cameras"] = keys(cameras_);
  return result;
}

}  // namespace strandel::mock_bridge
