#pragma once

// The kinematic model of one articulation: its links as a tree, its movable joints with their
// limits, and the mimic relations between joints. Models are read from URDF text with urdfdom.
// A RobotModel is an immutable value once built; reading it from several threads is safe.
// Parsing is not thread-safe (urdfdom reports through console_bridge's process-wide handler).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "geometry.hpp"

namespace strandel::mock_bridge {

enum class JointType { Revolute, Continuous, Prismatic };

/// "revolute", "continuous" or "prismatic".
std::string_view jointTypeName(JointType type);

/// One movable joint. Positions are radians (revolute, continuous) or metres (prismatic).
struct JointModel {
  std::string name;
  JointType type = JointType::Revolute;
  /// Position bounds; both empty for a continuous joint.
  std::optional<double> lower;
  std::optional<double> upper;
  /// Speed bound per second from the description; 0 when it gives none.
  double max_velocity = 0.0;
  double max_effort = 0.0;
  /// Unit axis in the joint frame.
  Vec3 axis{0.0, 0.0, 1.0};
  /// The joint this one follows as position = multiplier * driver + offset (resolved to the
  /// joint at the end of a mimic chain), or empty.
  std::optional<std::size_t> mimicked;
  double mimic_multiplier = 1.0;
  double mimic_offset = 0.0;
};

/// One link and the joint that connects it to its parent.
struct LinkModel {
  std::string name;
  /// Index of the parent link in RobotModel::links; empty for the root.
  std::optional<std::size_t> parent;
  /// The parent link's frame to the connecting joint's frame.
  Transform origin;
  /// Index of the connecting joint in RobotModel::joints; empty for a fixed connection (and for
  /// floating and planar joints, which the stand-in does not move).
  std::optional<std::size_t> joint;
};

/// Thrown when a robot description cannot be read or understood; the text says why.
class ModelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RobotModel {
  std::string name;
  /// Where the model came from: the URDF path, or "built-in" for the default arm.
  std::string source;
  /// Every link, parents before children; links[0] is the root.
  std::vector<LinkModel> links;
  /// The movable joints in depth-first order from the root (siblings by joint name).
  std::vector<JointModel> joints;

  std::optional<std::size_t> jointIndex(std::string_view name) const;
  std::optional<std::size_t> linkIndex(std::string_view name) const;

  /// The joint that mimic joints follow, or the first movable joint when no joint mimics
  /// another; empty for a model without movable joints.
  std::optional<std::size_t> driverJoint() const;

  /// Sets every mimic joint's entry of `positions` (one per joint) from its driver.
  void applyMimics(std::vector<double>& positions) const;

  /// The world pose of every link (indexed like `links`) for the given joint positions, with the
  /// root placed at `base`. `positions` holds one value per joint.
  std::vector<Transform> linkPoses(const std::vector<double>& positions,
                                   const Transform& base) const;
};

/// The largest URDF file loadUrdfFile() reads unless told otherwise: 16 MiB.
constexpr std::uint64_t kDefaultMaxUrdfBytes = 16u * 1024u * 1024u;

/// Reads a URDF file of at most `max_bytes` bytes. Throws ModelError "cannot read URDF file
/// '<path>'" when the file is missing, not a regular file or cannot be opened or read; "URDF file
/// '<path>' is larger than the limit of <max_bytes> bytes" when it holds more than `max_bytes`
/// (decided by its size before anything is read, and again while reading should it grow); and
/// "URDF file '<path>' is not a valid robot description: <reason>" when urdfdom rejects it.
RobotModel loadUrdfFile(const std::string& path, std::uint64_t max_bytes = kDefaultMaxUrdfBytes);

/// Parses URDF text; `source` names it in the model and in error texts.
RobotModel parseUrdfText(const std::string& xml, const std::string& source);

/// The stand-in's default six-axis arm: joints shoulder_pan, shoulder_lift, elbow, wrist_1,
/// wrist_2, wrist_3 and the mount link tool0.
const RobotModel& defaultArm();

}  // namespace strandel::mock_bridge
