#pragma once

// The stand-in's in-memory world: its simulated time and a class for each kind of resource.
// Articulations carry the grippers mounted on them and cameras draw the articulations; nothing
// else crosses between the kinds. Motions advance only through step(). Not thread-safe.

#include "articulations.hpp"
#include "cameras.hpp"
#include "grippers.hpp"
#include "resource.hpp"

namespace strandel::mock_bridge {

class World {
 public:
  explicit World(const WorldSettings& settings = {})
      : grippers(simTime_, settings),
        articulations(simTime_, settings, grippers),
        cameras(simTime_, [this] { return articulations.scene(); }) {}
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  /// Simulated seconds since the world began.
  double simTime() const { return simTime_; }
  /// Advances the simulation by `dt` simulated seconds, then runs the completions of every
  /// motion and gripper transition that ended.
  void step(double dt) {
    if (!(dt > 0.0)) return;
    simTime_ += dt;
    CompletionBatch batch;
    articulations.step(dt, batch);
    grippers.step(dt, batch);
    batch.run();
  }

  /// {"service", "sim_time", "articulations", "surface_grippers", "cameras"}: the identifiers of
  /// each kind.
  json overview() const {
    return json{{"service", "strandel-mock-bridge"},
                {"sim_time", simTime_},
                {"articulations", articulations.ids()},
                {"surface_grippers", grippers.ids()},
                {"cameras", cameras.ids()}};
  }

 private:
  double simTime_ = 0.0;  // declared first: the resources read it

 public:
  Grippers grippers;
  Articulations articulations;
  Cameras cameras;
};

}  // namespace strandel::mock_bridge
