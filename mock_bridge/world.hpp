#pragma once

// The stand-in's in-memory world: articulations with joint state, surface grippers, cameras and a
// simulated clock. Operations take the request's parsed JSON body, change the world and return
// the JSON answer, or throw ApiError (404 for an unknown identifier, 409 for a conflicting
// create or mount, 422 for a body of the wrong shape). Motions advance only through step().
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

class World {
 public:
  explicit World(WorldSettings settings = {});
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  /// Simulated seconds since the world began.
  double simTime() const { return simTime_; }
  /// Advances the simulation by `dt` simulated seconds, then runs the completions of every
  /// motion and gripper transition that ended.
  void step(double dt);
  /// Drops every pending completion without running it (used when the server stops).
  void dropCompletions();

  /// {"sim_time", "articulations", "surface_grippers", "cameras"}: the identifiers of each kind.
  json overview() const;

  // Articulations.
  Answer createArticulation(const json& body);
  json describeArticulation(const std::string& id) const;
  void removeArticulation(const std::string& id);
  json assembleRobot(const std::string& id, const json& body);
  json dofLimits(const std::string& id) const;
  json driverJoint(const std::string& id) const;
  json jointsState(const std::string& id) const;
  json setJointPositions(const std::string& id, const json& body);
  Started moveJointPositions(const std::string& id, const json& body);
  json setDrivenJoints(const std::string& id, const json& body);
  /// Runs `done` when the articulation's joints have reached their targets.
  void whenArticulationSettled(const std::string& id, Completion done);

  // Streams. A stream is bound to one incarnation of an articulation: serial() changes when an
  // articulation of the same identifier is removed and created again.
  /// The serial number of the articulation, or empty when it does not exist.
  std::optional<std::uint64_t> serial(const std::string& id) const;
  json streamMessage(const std::string& id, StreamKind kind, std::uint64_t sequence) const;
  /// Applies a text message received on a stream: {"joint_positions": [...], "indices": ...},
  /// a move toward the targets. Throws ApiError 400 for text that is not JSON, 422 otherwise.
  void applyStreamCommand(const std::string& id, const std::string& text);

  // Surface grippers.
  Answer createGripper(const json& body);
  json gripper(const std::string& id) const;
  json gripperStatus(const std::string& id) const;
  json gripperProperties(const std::string& id) const;
  json attachmentPoints(const std::string& id) const;
  Started openGripper(const std::string& id, const json& body);
  Started closeGripper(const std::string& id, const json& body);
  json patchGripperProperties(const std::string& id, const json& body);
  json patchAttachmentPoints(const std::string& id, const json& body);
  void removeGripper(const std::string& id);
  /// Runs `done` when the gripper's open or close transition has ended.
  void whenGripperSettled(const std::string& id, Completion done);

  // Cameras.
  Answer createCamera(const json& body);
  json describeCamera(const std::string& id) const;
  /// The binary camera frame of a capture. A camera renders a new frame (rgb and depth) when at
  /// least 1 / frequency simulated seconds have passed since its last one, or when it has none;
  /// an earlier capture answers the last frame again, with the sim_time at which it was rendered.
  std::string capture(const std::string& id, const json& body);
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

  Started commandGripper(const std::string& id, const json& body, bool close);
  void moveToward(ArticulationState& a, const json& command);
  Scene scene() const;

  WorldSettings settings_;
  double simTime_ = 0.0;
  std::uint64_t nextSerial_ = 1;
  std::map<std::string, std::unique_ptr<ArticulationState>> articulations_;
  std::map<std::string, std::unique_ptr<GripperState>> grippers_;
  std::map<std::string, std::unique_ptr<CameraState>> cameras_;
};

}  // namespace strandel::mock_bridge
