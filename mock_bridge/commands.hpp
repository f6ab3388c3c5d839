#pragma once

// The typed commands the world accepts. Each request body is read into one of these at the edge
// (command_reader.hpp) before the world sees it: a command holds values of the right shape
// (types, required keys, lengths, ranges that need no world), and the world checks what depends
// on its state (identifiers, joints, links, joint limits).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api_error.hpp"

namespace strandel::mock_bridge {

/// PUT /articulations.
struct CreateArticulation {
  /// An absolute prim path ("/" and at least one more character).
  std::string prim_path;
  /// The URDF file to read; none for the built-in arm.
  std::optional<std::string> urdf_path;
};

/// POST /articulations/{id}/assemble_robot.
struct AssembleRobot {
  std::string gripper_id;
  std::string arm_mount_link;
  std::optional<std::string> gripper_mount_link;
  /// None, [x, y, z] or [x, y, z, qw, qx, qy, qz], finite.
  std::optional<std::vector<double>> offset;
  bool mask_collisions = true;
};

/// Joint targets of set_j, move_j and stream messages: finite values, and when `indices` is given
/// one index (any integer, unchecked against the joints) per value.
struct JointTargets {
  std::vector<double> joint_positions;
  std::optional<std::vector<std::int64_t>> indices;
};

/// POST /articulations/{id}/move_j.
struct MoveJoints {
  JointTargets targets;
  bool asynchronous = false;
};

/// PUT /articulations/{id}/driven_joints: joint names, not yet checked against the model.
struct DrivenJoints {
  std::vector<std::string> joint_names;
};

/// PUT /surface_grippers.
struct CreateGripper {
  /// An absolute prim path.
  std::string prim_path;
};

/// POST /surface_grippers/{id}/open and .../close.
struct GripperMotion {
  bool asynchronous = false;
};

/// The limits of one axis, minimum <= maximum.
struct AxisRange {
  double minimum = 0.0;
  double maximum = 0.0;
};

/// Limits per axis x, y, z (in that order); none where the axis is free.
using AxisRanges = std::array<std::optional<AxisRange>, 3>;

/// PATCH /surface_grippers/{id}/properties: the keys the body holds, each valid.
struct GripperPropertiesPatch {
  std::optional<double> coaxial_force_limit;  // >= 0
  std::optional<double> shear_force_limit;    // >= 0
  std::optional<double> max_grip_distance;    // >= 0
  std::optional<double> retry_interval;       // >= 0
  std::optional<AxisRanges> rotation_limits;
  std::optional<AxisRanges> translation_limits;
  /// One of X, Y, Z, -X, -Y, -Z (upper case).
  std::optional<std::string> forward_axis;
  /// The keys the body holds, in the body's order.
  std::vector<std::string> updated;
};

/// PATCH /surface_grippers/{id}/attachment_points: the keys the body holds, each valid.
struct AttachmentPointsPatch {
  /// Distinct, non-empty joint paths that replace the list of points.
  std::optional<std::vector<std::string>> joint_paths;
  /// Any JSON object or array.
  std::optional<json> local_pose_0;
  std::optional<json> local_pose_1;
  std::optional<double> z_axis_translation_drive_stiffness;  // >= 0
  std::optional<double> z_axis_translation_drive_damping;    // >= 0
  std::optional<AxisRanges> rotation_limits;
  std::optional<AxisRanges> translation_limits;
  std::optional<double> clearance_offset;
  /// One of X, Y, Z, -X, -Y, -Z (upper case).
  std::optional<std::string> forward_axis;
  /// The keys the body holds, in the body's order.
  std::vector<std::string> updated;
};

/// A camera's image size in pixels, each from 1 to 4096.
struct Resolution {
  int width = 0;
  int height = 0;
};

/// PUT /cameras.
struct CreateCamera {
  /// An absolute prim path.
  std::string prim_path;
  /// None for the renderer's default size.
  std::optional<Resolution> resolution;
  /// Frames per second, above 0 and at most 1000.
  double frequency = 30.0;
};

/// POST /cameras/{id}/capture.
struct Capture {
  bool rgb = true;
  bool depth = true;
  bool world_frame = false;
};

}  // namespace strandel::mock_bridge
