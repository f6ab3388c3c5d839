#pragma once

// The stand-in's in-memory world: articulations with joint state, surface grippers, cameras and a
// simulated clock. Operations take typed commands (commands.hpp), already read from the request
// body, change the world and return the JSON answer, or throw ApiError (404 for an unknown
// identifier, 409 for a conflicting create or mount, 422 for a command the world's state refuses:
// joints, links, limits, an unreadable URDF file). A refused operation changes nothing. Motions
// advance only through step(). The members are defined in one file per resource, named below.
//
// Not thread-safe: the server calls every member from its one io_context thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api_error.hpp"
#include "commands.hpp"
#include "renderer.hpp"
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

/// The figure the renderer draws for `model` with its links at `poses` (from linkPoses): a point
/// per link and a bone between each link and its parent where they do not coincide. No gripper.
Figure armFigure(const RobotModel& model, const std::vector<Transform>& poses);

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

enum class StreamKind { JointPositions, ArticulationState };

class CompletionBatch;

class World {
 public:
  explicit World(WorldSettings settings = {});
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // The clock (world.cpp).

  /// Simulated seconds since the world began.
  double simTime() const { return simTime_; }
  /// Advances the simulation by `dt` simulated seconds, then runs the completions of every
  /// motion and gripper transition that ended.
  void step(double dt);
  /// Drops every pending completion without running it (used when the server stops).
  void dropCompletions();

  /// {"sim_time", "articulations", "surface_grippers", "cameras"}: the identifiers of each kind.
  json overview() const;

  // Articulations (world_articulations.cpp).

  /// Throws ApiError 404 "articulation '<id>' not found" when there is none.
  void requireArticulation(const std::string& id) const;
  /// Throws ApiError 422 naming the articulation's links when `link` is not one of them.
  void requireLink(const std::string& id, const std::string& link) const;
  Answer createArticulation(const CreateArticulation& command);
  json describeArticulation(const std::string& id) const;
  void removeArticulation(const std::string& id);
  json assembleRobot(const std::string& id, const AssembleRobot& command);
  json dofLimits(const std::string& id) const;
  json driverJoint(const std::string& id) const;
  json jointsState(const std::string& id) const;
  json setJointPositions(const std::string& id, const JointTargets& command);
  Started moveJointPositions(const std::string& id, const MoveJoints& command);
  json setDrivenJoints(const std::string& id, const DrivenJoints& command);
  /// Runs `done` when the articulation's joints have reached their targets.
  void whenArticulationSettled(const std::string& id, Completion done);

  // Streams (world_streams.cpp). A stream is bound to one incarnation of an articulation:
  // serial() changes when an articulation of the same identifier is removed and created again.

  /// The serial number of the articulation, or empty when it does not exist.
  std::optional<std::uint64_t> serial(const std::string& id) const;
  json streamMessage(const std::string& id, StreamKind kind, std::uint64_t sequence) const;
  /// Applies joint targets received on a stream: a move toward them, as an asynchronous move_j
  /// (404 for an unknown articulation, 422 for targets that break the move_j rules).
  void applyStreamTargets(const std::string& id, const JointTargets& targets);

  // Surface grippers (world_grippers.cpp).

  /// Throws ApiError 404 "surface gripper '<id>' not found" when there is none.
  void requireGripper(const std::string& id) const;
  Answer createGripper(const CreateGripper& command);
  json gripper(const std::string& id) const;
  json gripperStatus(const std::string& id) const;
  json gripperProperties(const std::string& id) const;
  json attachmentPoints(const std::string& id) const;
  Started openGripper(const std::string& id, const GripperMotion& command);
  Started closeGripper(const std::string& id, const GripperMotion& command);
  json patchGripperProperties(const std::string& id, const GripperPropertiesPatch& patch);
  json patchAttachmentPoints(const std::string& id, const AttachmentPointsPatch& patch);
  void removeGripper(const std::string& id);
  /// Runs `done` when the gripper's open or close transition has ended.
  void whenGripperSettled(const std::string& id, Completion done);

  // Cameras (world_cameras.cpp; the picture they render is built in scene.cpp).

  /// Throws ApiError 404 "camera '<id>' not found" when there is none.
  void requireCamera(const std::string& id) const;
  Answer createCamera(const CreateCamera& command);
  json describeCamera(const std::string& id) const;
  /// The binary camera frame of a capture. A camera renders a new frame (rgb and depth) when at
  /// least 1 / frequency simulated seconds have passed since its last one, or when it has none;
  /// an earlier capture answers the last frame again, with the sim_time at which it was rendered.
  std::string capture(const std::string& id, const Capture& command);
  void removeCamera(const std::string& id);

 private:
  struct ArticulationState;
  struct GripperState;
  struct CameraState;

  ArticulationState& articulation(const std::string& id);
  const ArticulationState& articulation(const std::string& id) const;
  GripperState& gripperState(const std::string& id);
  const GripperState& gripperState(const std::string& id) const;
  const CameraState& camera(const std::string& id) const;
  CameraState& camera(const std::string& id);

  /// Moves every articulation's joints by `dt`; completions of motions that ended join `batch`.
  void stepArticulations(double dt, CompletionBatch& batch);
  /// Advances every gripper transition by `dt`; completions of those that ended join `batch`.
  void stepGrippers(double dt, CompletionBatch& batch);
  Started commandGripper(const std::string& id, const GripperMotion& command, bool close);
  void moveToward(ArticulationState& a, const JointTargets& targets);
  /// The world as the renderer draws it.
  Scene scene() const;

  WorldSettings settings_;
  double simTime_ = 0.0;
  std::uint64_t nextSerial_ = 1;
  std::map<std::string, std::unique_ptr<ArticulationState>> articulations_;
  std::map<std::string, std::unique_ptr<GripperState>> grippers_;
  std::map<std::string, std::unique_ptr<CameraState>> cameras_;
};

}  // namespace strandel::mock_bridge
