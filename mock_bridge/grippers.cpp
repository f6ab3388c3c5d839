#include "grippers.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace strandel::mock_bridge {
namespace {

json noAxisLimits() { return json{{"x", nullptr}, {"y", nullptr}, {"z", nullptr}}; }

/// {"x", "y", "z"}, each null or {"maximum", "minimum"}.
json axisLimits(const AxisRanges& ranges) {
  static const std::array<const char*, 3> kAxes = {"x", "y", "z"};
  json result = noAxisLimits();
  for (std::size_t a = 0; a < kAxes.size(); ++a)
    if (ranges[a])
      result[kAxes[a]] = json{{"maximum", ranges[a]->maximum}, {"minimum", ranges[a]->minimum}};
  return result;
}

json defaultPose() {
  return json{{"orientation", {1.0, 0.0, 0.0, 0.0}}, {"position", {0.0, 0.0, 0.0}}};
}

json defaultAttachmentPoint(const std::string& joint_path) {
  return json{{"joint_path", joint_path},
              {"local_pose_0", defaultPose()},
              {"local_pose_1", defaultPose()},
              {"z_axis_translation_drive_stiffness", 10000.0},
              {"z_axis_translation_drive_damping", 100.0},
              {"rotation_limits", noAxisLimits()},
              {"translation_limits", noAxisLimits()},
              {"clearance_offset", 0.0},
              {"forward_axis", "X"}};
}

json defaultGripperProperties() {
  return json{{"coaxial_force_limit", 100.0},
              {"shear_force_limit", 100.0},
              {"max_grip_distance", 0.02},
              {"retry_interval", 0.1},
              {"rotation_limits", noAxisLimits()},
              {"translation_limits", noAxisLimits()},
              {"forward_axis", "X"}};
}

/// Sets `key` of `object` to `value` when there is one.
template <typename T>
void setIfGiven(json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

void setIfGiven(json& object, const char* key, const std::optional<AxisRanges>& value) {
  if (value) object[key] = axisLimits(*value);
}

}  // namespace

void Grippers::step(double dt, CompletionBatch& batch) {
  for (auto& [id, g] : records_) {
    if (g.remaining <= 0.0) continue;
    g.remaining -= dt;
    if (g.remaining <= 0.0) {
      g.remaining = 0.0;
      g.status = g.status == "closing" ? "closed" : "open";
      batch.add(g.waiters, 200, status(id));
    }
  }
}

Answer Grippers::create(const CreateGripper& command) {
  const std::string& prim_path = command.prim_path;
  for (const auto& [id, g] : records_)
    if (g.prim_path == prim_path) return {200, describe(id)};
  Gripper g;
  g.id = makeIdentifier(prim_path, "surface_gripper", records_);
  g.prim_path = prim_path;
  g.properties = defaultGripperProperties();
  for (int i = 0; i < 2; ++i)
    g.points.push_back(
        defaultAttachmentPoint(prim_path + "/attachment_point_" + std::to_string(i)));
  const std::string id = g.id;
  records_.emplace(id, std::move(g));
  return {201, describe(id)};
}

json Grippers::describe(const std::string& id) const {
  const Gripper& g = at(id);
  json paths = json::array();
  for (const json& point : g.points) paths.push_back(point["joint_path"]);
  return json{{"surface_gripper_id", id},
              {"prim_path", g.prim_path},
              {"status", g.status},
              {"mounted_on", g.mounted_on ? json(*g.mounted_on) : json(nullptr)},
              {"joint_paths", paths}};
}

json Grippers::status(const std::string& id) const {
  return json{{"surface_gripper_id", id},
              {"status", at(id).status},
              {"gripped_objects", json::array()},
              {"sim_time", simTime_}};
}

json Grippers::properties(const std::string& id) const {
  return json{{"surface_gripper_id", id}, {"properties", at(id).properties}};
}

json Grippers::attachmentPoints(const std::string& id) const {
  return json{{"surface_gripper_id", id}, {"attachment_points", at(id).points}};
}

Started Grippers::operate(const std::string& id, const GripperMotion& command, bool close) {
  Gripper& g = at(id);
  const std::string goal = close ? "closed" : "open";
  const std::string moving = close ? "closing" : "opening";
  if (g.status != goal && g.status != moving) {
    g.status = moving;
    g.remaining = transition_;
  }
  return {status(id), !command.asynchronous && g.remaining > 0.0};
}

json Grippers::patchProperties(const std::string& id, const GripperPropertiesPatch& patch) {
  Gripper& g = at(id);
  setIfGiven(g.properties, "coaxial_force_limit", patch.coaxial_force_limit);
  setIfGiven(g.properties, "shear_force_limit", patch.shear_force_limit);
  setIfGiven(g.properties, "max_grip_distance", patch.max_grip_distance);
  setIfGiven(g.properties, "retry_interval", patch.retry_interval);
  setIfGiven(g.properties, "rotation_limits", patch.rotation_limits);
  setIfGiven(g.properties, "translation_limits", patch.translation_limits);
  setIfGiven(g.properties, "forward_axis", patch.forward_axis);
  return json{{"surface_gripper_id", id}, {"properties", g.properties}, {"updated", patch.updated}};
}

json Grippers::patchAttachmentPoints(const std::string& id, const AttachmentPointsPatch& patch) {
  Gripper& g = at(id);
  if (patch.joint_paths) {
    std::vector<json> replaced;
    for (const std::string& path : *patch.joint_paths) {
      const auto existing = std::find_if(g.points.begin(), g.points.end(), [&](const json& point) {
        return point["joint_path"] == path;
      });
      replaced.push_back(existing != g.points.end() ? *existing : defaultAttachmentPoint(path));
    }
    g.points = std::move(replaced);
  }
  json settings = json::object();
  setIfGiven(settings, "local_pose_0", patch.local_pose_0);
  setIfGiven(settings, "local_pose_1", patch.local_pose_1);
  setIfGiven(settings, "z_axis_translation_drive_stiffness",
             patch.z_axis_translation_drive_stiffness);
  setIfGiven(settings, "z_axis_translation_drive_damping", patch.z_axis_translation_drive_damping);
  setIfGiven(settings, "rotation_limits", patch.rotation_limits);
  setIfGiven(settings, "translation_limits", patch.translation_limits);
  setIfGiven(settings, "clearance_offset", patch.clearance_offset);
  setIfGiven(settings, "forward_axis", patch.forward_axis);
  for (json& point : g.points) point.update(settings);
  return json{
      {"surface_gripper_id", id}, {"attachment_points", g.points}, {"updated", patch.updated}};
}

void Grippers::remove(const std::string& id) {
  CompletionBatch batch;
  batch.add(at(id).waiters, 410,
            errorBody(410, "surface gripper '" + id + "' was removed before it finished moving"));
  records_.erase(id);
  batch.run();
}

void Grippers::whenSettled(const std::string& id, Completion done) {
  Gripper& g = at(id);
  if (g.remaining <= 0.0) {
    done(200, status(id));
    return;
  }
  g.waiters.push_back(std::move(done));
}

void Grippers::mount(const std::string& articulation_id, const AssembleRobot& command) {
  Gripper& g = at(command.gripper_id);
  if (g.mounted_on && *g.mounted_on != articulation_id)
    throw ApiError(409, "surface gripper '" + command.gripper_id +
                            "' is already mounted on articulation '" + *g.mounted_on + "'");
  unmount(articulation_id);
  g.mounted_on = articulation_id;
  g.mount = command;
}

void Grippers::unmount(const std::string& articulation_id) {
  for (auto& entry : records_)
    if (entry.second.mounted_on == articulation_id) entry.second.mounted_on.reset();
}

const Grippers::Gripper* Grippers::mountedOn(const std::string& articulation_id) const {
  for (const auto& entry : records_)
    if (entry.second.mounted_on == articulation_id) return &entry.second;
  return nullptr;
}

}  // namespace strandel::mock_bridge
