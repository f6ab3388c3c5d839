#include "command_reader.hpp"

#include <cctype>
#include <set>

#include "body_reader.hpp"

namespace strandel::mock_bridge {
namespace {

constexpr int kMaxResolution = 4096;
/// A camera renders at least once every 100 simulated seconds and at most 1000 times a second.
constexpr double kMinFrequency = 0.01;
constexpr double kMaxFrequency = 1000.0;

ApiError unprocessable(const std::string& message) { return ApiError(422, message); }

/// A required prim path, absolute: "/" followed by at least one character.
std::string readPrimPath(const json& body) {
  std::string prim_path = requireString(body, "prim_path");
  if (prim_path.size() < 2 || prim_path.front() != '/')
    throw unprocessable("prim_path must be an absolute prim path such as /World/robot, not '" +
                        prim_path + "'");
  return prim_path;
}

/// Per-axis limits: an object whose keys are among x, y, z, each null or {"minimum", "maximum"}
/// with minimum <= maximum. An axis the object does not name is free.
AxisRanges readAxisRanges(const json& value, const std::string& key) {
  if (!value.is_object()) throw unprocessable(key + " must be an object with the axes x, y and z");
  static const std::array<const char*, 3> kAxes = {"x", "y", "z"};
  AxisRanges result;
  for (const auto& [axis, limit] : value.items()) {
    std::size_t a = 0;
    while (a < kAxes.size() && axis != kAxes[a]) ++a;
    if (a == kAxes.size())
      throw unprocessable(key + " has no axis '" + axis + "'; the axes are x, y and z");
    if (limit.is_null()) continue;
    const std::string what = key + "." + axis;
    if (!limit.is_object() || !limit.contains("minimum") || !limit.contains("maximum"))
      throw unprocessable(what + " must be null or an object with minimum and maximum");
    const double minimum = requireFinite(limit["minimum"], what + ".minimum");
    const double maximum = requireFinite(limit["maximum"], what + ".maximum");
    if (minimum > maximum)
      throw unprocessable(what + ".minimum " + numberText(minimum) + " is above its maximum " +
                          numberText(maximum));
    result[a] = AxisRange{minimum, maximum};
  }
  return result;
}

double readNonNegative(const json& value, const std::string& key) {
  const double number = requireFinite(value, key);
  if (number < 0.0) throw unprocessable(key + " must not be negative");
  return number;
}

/// One of X, Y, Z, -X, -Y, -Z in any case, answered in upper case.
std::string readForwardAxis(const json& value) {
  static const std::set<std::string> kAxes = {"X", "Y", "Z", "-X", "-Y", "-Z"};
  if (!value.is_string()) throw unprocessable("forward_axis must be a string");
  std::string axis = value.get<std::string>();
  for (char& c : axis) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (kAxes.count(axis) == 0)
    throw unprocessable("forward_axis must be one of X, Y, Z, -X, -Y, -Z, not '" +
                        value.get<std::string>() + "'");
  return axis;
}

json readPose(const json& value, const std::string& key) {
  if (!value.is_object() && !value.is_array())
    throw unprocessable(key + " must be a JSON object or array describing a pose");
  return value;
}

/// Distinct, non-empty joint paths.
std::vector<std::string> readJointPaths(const json& value) {
  std::vector<std::string> paths = requireStringArray(value, "joint_paths");
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (paths[i].empty()) throw unprocessable("joint_paths must not hold an empty path");
    for (std::size_t k = 0; k < i; ++k)
      if (paths[k] == paths[i]) throw unprocessable("joint_paths repeats '" + paths[i] + "'");
  }
  return paths;
}

}  // namespace

CreateArticulation readCreateArticulation(const json& body) {
  requireObject(body);
  CreateArticulation command;
  command.prim_path = readPrimPath(body);
  command.urdf_path = optionalString(body, "urdf_path");
  return command;
}

AssembleRobot readAssembleRobot(const json& body, const MountChecks& checks) {
  requireObject(body);
  AssembleRobot command;
  command.gripper_id = requireString(body, "gripper_id");
  checks.gripper(command.gripper_id);
  command.arm_mount_link = requireString(body, "arm_mount_link");
  checks.link(command.arm_mount_link);
  command.gripper_mount_link = optionalString(body, "gripper_mount_link");
  if (const json* value = member(body, "offset")) {
    if (!value->is_array() || (value->size() != 3 && value->size() != 7))
      throw unprocessable("offset must be null, [x, y, z] or [x, y, z, qw, qx, qy, qz]");
    command.offset = requireNumberArray(*value, "offset");
  }
  command.mask_collisions = requireBool(body, "mask_collisions");
  return command;
}

JointTargets readJointTargets(const json& body) {
  requireObject(body);
  JointTargets command;
  const json* positions = member(body, "joint_positions");
  if (!positions) throw unprocessable("joint_positions is required");
  command.joint_positions = requireNumberArray(*positions, "joint_positions");
  if (const json* indices = member(body, "indices")) {
    command.indices = requireIntegerArray(*indices, "indices");
    if (command.indices->size() != command.joint_positions.size())
      throw unprocessable("joint_positions has " + std::to_string(command.joint_positions.size()) +
                          " values but indices has " + std::to_string(command.indices->size()));
  }
  return command;
}

MoveJoints readMoveJoints(const json& body) {
  requireObject(body);
  MoveJoints command;
  command.asynchronous = optionalBool(body, "asynchronous").value_or(false);
  command.targets = readJointTargets(body);
  return command;
}

DrivenJoints readDrivenJoints(const json& body) {
  requireObject(body);
  const json* names = member(body, "joint_names");
  if (!names) throw unprocessable("joint_names is required");
  return DrivenJoints{requireStringArray(*names, "joint_names")};
}

CreateGripper readCreateGripper(const json& body) {
  requireObject(body);
  return CreateGripper{readPrimPath(body)};
}

GripperMotion readGripperMotion(const json& body) {
  requireObject(body);
  return GripperMotion{optionalBool(body, "asynchronous").value_or(false)};
}

GripperPropertiesPatch readGripperPropertiesPatch(const json& body) {
  requireObject(body);
  GripperPropertiesPatch patch;
  for (const auto& [key, value] : body.items()) {
    if (key == "coaxial_force_limit") {
      patch.coaxial_force_limit = readNonNegative(value, key);
    } else if (key == "shear_force_limit") {
      patch.shear_force_limit = readNonNegative(value, key);
    } else if (key == "max_grip_distance") {
      patch.max_grip_distance = readNonNegative(value, key);
    } else if (key == "retry_interval") {
      patch.retry_interval = readNonNegative(value, key);
    } else if (key == "rotation_limits") {
      patch.rotation_limits = readAxisRanges(value, key);
    } else if (key == "translation_limits") {
      patch.translation_limits = readAxisRanges(value, key);
    } else if (key == "forward_axis") {
      patch.forward_axis = readForwardAxis(value);
    } else {
      throw unprocessable(
          "unknown property '" + key +
          "'; the properties are coaxial_force_limit, forward_axis, max_grip_distance, "
          "retry_interval, rotation_limits, shear_force_limit, translation_limits");
    }
    patch.updated.push_back(key);
  }
  return patch;
}

AttachmentPointsPatch readAttachmentPointsPatch(const json& body) {
  requireObject(body);
  AttachmentPointsPatch patch;
  if (const auto it = body.find("joint_paths"); it != body.end())
    patch.joint_paths = readJointPaths(*it);
  for (const auto& [key, value] : body.items()) {
    if (key == "joint_paths") {
      // read above
    } else if (key == "local_pose_0") {
      patch.local_pose_0 = readPose(value, key);
    } else if (key == "local_pose_1") {
      patch.local_pose_1 = readPose(value, key);
    } else if (key == "z_axis_translation_drive_stiffness") {
      patch.z_axis_translation_drive_stiffness = readNonNegative(value, key);
    } else if (key == "z_axis_translation_drive_damping") {
      patch.z_axis_translation_drive_damping = readNonNegative(value, key);
    } else if (key == "rotation_limits") {
      patch.rotation_limits = readAxisRanges(value, key);
    } else if (key == "translation_limits") {
      patch.translation_limits = readAxisRanges(value, key);
    } else if (key == "clearance_offset") {
      patch.clearance_offset = requireFinite(value, key);
    } else if (key == "forward_axis") {
      patch.forward_axis = readForwardAxis(value);
    } else {
      throw unprocessable(
          "unknown attachment point setting '" + key +
          "'; the settings are clearance_offset, forward_axis, joint_paths, local_pose_0, "
          "local_pose_1, rotation_limits, translation_limits, "
          "z_axis_translation_drive_damping, z_axis_translation_drive_stiffness");
    }
    patch.updated.push_back(key);
  }
  return patch;
}

CreateCamera readCreateCamera(const json& body) {
  requireObject(body);
  CreateCamera command;
  command.prim_path = readPrimPath(body);
  if (const json* value = member(body, "resolution")) {
    const auto valid = [](const json& v) {
      return v.is_number_integer() && v.get<std::int64_t>() >= 1 &&
             v.get<std::int64_t>() <= kMaxResolution;
    };
    if (!value->is_array() || value->size() != 2 || !valid((*value)[0]) || !valid((*value)[1]))
      throw unprocessable("resolution must be [width, height] with each an integer from 1 to " +
                          std::to_string(kMaxResolution));
    command.resolution = Resolution{(*value)[0].get<int>(), (*value)[1].get<int>()};
  }
  if (const json* value = member(body, "frequency")) {
    command.frequency = requireFinite(*value, "frequency");
    if (command.frequency < kMinFrequency || command.frequency > kMaxFrequency)
      throw unprocessable("frequency must be between " + numberText(kMinFrequency) + " and " +
                          numberText(kMaxFrequency) + " frames per second");
  }
  return command;
}

Capture readCapture(const json& body) {
  requireObject(body);
  Capture command;
  if (const json* value = member(body, "data_types")) {
    const std::vector<std::string> types = requireStringArray(*value, "data_types");
    command.rgb = command.depth = false;
    for (std::size_t i = 0; i < types.size(); ++i) {
      if (types[i] == "rgb") {
        command.rgb = true;
      } else if (types[i] == "depth") {
        command.depth = true;
      } else {
        throw unprocessable("data_types[" + std::to_string(i) + "] '" + types[i] +
                            "' is not offered; the stand-in offers rgb and depth");
      }
    }
  }
  command.world_frame = optionalBool(body, "world_frame").value_or(false);
  return command;
}

}  // namespace strandel::mock_bridge
