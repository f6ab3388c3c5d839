#pragma once

// The world's articulations (resource.hpp): models read from URDF files or the built-in arm, joint
// state that set and move commands change, motions that advance only through step(), the gripper
// each carries (kept by Grippers) and the figures the cameras draw.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "grippers.hpp"
#include "renderer.hpp"
#include "resource.hpp"

namespace strandel::mock_bridge {

enum class StreamKind { JointPositions, ArticulationState };

/// The figure the renderer draws for `model` with its links at `poses` (from linkPoses): a point
/// per link and a bone between each link and its parent where they do not coincide. No gripper.
Figure armFigure(const RobotModel& model, const std::vector<Transform>& poses);

class Articulations {
 public:
  /// Reads the simulated time from `sim_time` and mounts on `grippers`; both must outlive this.
  Articulations(const double& sim_time, const WorldSettings& settings, Grippers& grippers)
      : simTime_(sim_time), settings_(settings), grippers_(grippers) {}

  json ids() const { return identifiersOf(records_); }
  /// Throws ApiError 404 "articulation '<id>' not found" when there is none.
  void require(const std::string& id) const { at(id); }
  /// Throws ApiError 422 naming the articulation's links when `link` is not one of them.
  void requireLink(const std::string& id, const std::string& link) const;
  Answer create(const CreateArticulation& command);
  json describe(const std::string& id) const;
  /// Removes the articulation (unmounting its gripper); its waiters get 410.
  void remove(const std::string& id);
  json assemble(const std::string& id, const AssembleRobot& command);
  json dofLimits(const std::string& id) const;
  json driverJoint(const std::string& id) const;
  json jointsState(const std::string& id) const;
  json setJointPositions(const std::string& id, const JointTargets& command);
  Started moveJointPositions(const std::string& id, const MoveJoints& command);
  json setDrivenJoints(const std::string& id, const DrivenJoints& command);
  /// Runs `done` when the articulation's joints have reached their targets.
  void whenSettled(const std::string& id, Completion done);
  /// Moves every articulation's joints by `dt`; completions of motions that ended join `batch`.
  void step(double dt, CompletionBatch& batch);

  /// The serial number of the articulation's incarnation (a stream is bound to one: an articulation
  /// removed and created again has another), or empty when it does not exist.
  std::optional<std::uint64_t> serial(const std::string& id) const;
  json streamMessage(const std::string& id, StreamKind kind, std::uint64_t sequence) const;
  /// Applies joint targets received on a stream: a move toward them, as an asynchronous move_j
  /// (404 for an unknown articulation, 422 for targets that break the move_j rules).
  void applyStreamTargets(const std::string& id, const JointTargets& targets);

  /// Every articulation as the renderer draws it, side by side along the y axis.
  Scene scene() const;

 private:
  struct Articulation {
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
    std::vector<Completion> waiters;

    std::size_t dof() const { return model->joints.size(); }

    bool settled() const {
      for (std::size_t j = 0; j < dof(); ++j)
        if (!model->joints[j].mimicked && positions[j] != targets[j]) return false;
      return true;
    }

    /// The names of the joints, or of the driven ones only.
    std::vector<std::string> jointNames(bool drivenOnly = false) const {
      std::vector<std::string> names;
      for (std::size_t j = 0; j < dof(); ++j)
        if (!drivenOnly || driven[j]) names.push_back(model->joints[j].name);
      return names;
    }

    double speed(std::size_t j, const WorldSettings& settings) const {
      const double bound = model->joints[j].max_velocity;
      return bound > 0.0 ? bound : settings.default_joint_speed;
    }
  };

  const Articulation& at(const std::string& id) const { return recordOf(records_, id, kKind); }
  Articulation& at(const std::string& id) { return recordOf(records_, id, kKind); }
  /// The joints state with "status": "reached".
  json reached(const std::string& id) const;
  void moveToward(Articulation& a, const JointTargets& targets);

  static constexpr const char* kKind = "articulation";
  const double& simTime_;
  WorldSettings settings_;
  Grippers& grippers_;
  std::uint64_t nextSerial_ = 1;
  std::map<std::string, Articulation> records_;
};

}  // namespace strandel::mock_bridge
