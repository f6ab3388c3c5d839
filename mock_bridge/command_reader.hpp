#pragma once

// Reading request bodies into typed commands (commands.hpp). Each reader takes the body as JSON
// and either returns the command or throws ApiError 422 with the message of the first fault, keys
// checked in a fixed order. Pure functions of their arguments, apart from the checks that
// readAssembleRobot is given.

#include <functional>
#include <string>

#include "api_error.hpp"
#include "commands.hpp"

namespace strandel::mock_bridge {

/// {"prim_path", "urdf_path"}: prim_path required and absolute, urdf_path a string or null.
CreateArticulation readCreateArticulation(const json& body);

/// Checks of an assemble_robot body that depend on the world: each throws ApiError (404 for an
/// unknown gripper, 422 for a link the arm does not have) or returns.
struct MountChecks {
  std::function<void(const std::string& gripper_id)> gripper;
  std::function<void(const std::string& arm_mount_link)> link;
};

/// {"gripper_id", "arm_mount_link", "gripper_mount_link", "offset", "mask_collisions"}. The keys
/// are read in that order, and `checks.gripper` and `checks.link` run as soon as their key is read,
/// so that an unknown gripper or link is reported before a fault in a later key.
AssembleRobot readAssembleRobot(const json& body, const MountChecks& checks);

/// {"joint_positions", "indices"}: joint_positions required, an array of finite numbers; indices
/// null or an array of integers as long as joint_positions.
JointTargets readJointTargets(const json& body);

/// The joint targets plus "asynchronous" (true or false, default false), which is read first.
MoveJoints readMoveJoints(const json& body);

/// {"joint_names"}: required, an array of strings.
DrivenJoints readDrivenJoints(const json& body);

/// {"prim_path"}: required and absolute.
CreateGripper readCreateGripper(const json& body);

/// {"asynchronous"}: true or false, default false.
GripperMotion readGripperMotion(const json& body);

/// Any of coaxial_force_limit, shear_force_limit, max_grip_distance, retry_interval (finite, not
/// negative), rotation_limits, translation_limits (per-axis limits) and forward_axis (any case);
/// any other key is refused.
GripperPropertiesPatch readGripperPropertiesPatch(const json& body);

/// joint_paths (distinct, non-empty strings; read first), then in the body's order local_pose_0,
/// local_pose_1 (an object or array), the drive stiffness and damping (finite, not negative), the
/// two limits, clearance_offset (finite) and forward_axis; any other key is refused.
AttachmentPointsPatch readAttachmentPointsPatch(const json& body);

/// {"prim_path", "resolution", "frequency"}: prim_path required and absolute, resolution null or
/// [width, height] with each from 1 to 4096, frequency null or from 0.01 to 1000.
CreateCamera readCreateCamera(const json& body);

/// {"data_types", "world_frame"}: data_types null or an array of "rgb" and "depth", world_frame
/// true or false (default false).
Capture readCapture(const json& body);

}  // namespace strandel::mock_bridge
