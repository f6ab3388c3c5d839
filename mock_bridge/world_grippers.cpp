#include "world.hpp"

#include <algorithm>
#include <utility>

#include "world_state.hpp"

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

World::GripperState& World::gripperState(const std::string& id) {
  return const_cast<GripperState&>(std::as_const(*this).gripperState(id));
}

const World::GripperState& World::gripperState(const std::string& id) const {
  const auto it = grippers_.find(id);
  if (it == grippers_.end()) throw ApiError(404, "surface gripper '" + id + "' not found");
  return *it->second;
}

void World::requireGripper(const std::string& id) const { gripperState(id); }

void World::stepGrippers(double dt, CompletionBatch& batch) {
  for (auto& [id, g] : grippers_) {
    if (g->remaining <= 0.0) continue;
    g->remaining -= dt;
    if (g->remaining <= 0.0) {
      g->remaining = 0.0;
      g->status = g->status == "closing" ? "closed" : "open";
      batch.add(g->waiters, 200, gripperStatus(id));
    }
  }
}

Answer World::createGripper(const CreateGripper& command) {
  const std::string& prim_path = command.prim_path;
  for (const auto& [id, g] : grippers_)
    if (g->prim_path == prim_path) return {200, gripper(id)};
  auto g = std::make_unique<GripperState>();
  g->id = makeIdentifier(prim_path, "surface_gripper", grippers_);
  g->prim_path = prim_path;
  g->properties = defaultGripperProperties();
  for (int i = 0; i < 2; ++i)
    g->points.push_back(
        defaultAttachmentPoint(prim_path + "/attachment_point_" + std::to_string(i)));
  const std::string id = g->id;
  grippers_.emplace(id, std::move(g));
  return {201, gripper(id)};
}

json World::gripper(const std::string& id) const {
  const GripperState& g = gripperState(id);
  json paths = json::array();
  for (const json& point : g.points) paths.push_back(point["joint_path"]);
  return json{{"surface_gripper_id", id},
              {"prim_path", g.prim_path},
              {"status", g.status},
              {"mounted_on", g.mounted_on ? json(*g.mounted_on) : json(nullptr)},
              {"joint_paths", paths}};
}

json World::gripperStatus(const std::string& id) const {
  const GripperState& g = gripperState(id);
  return json{{"surface_gripper_id", id},
              {"status", g.status},
              {"gripped_objects", json::array()},
              {"sim_time", simTime_}};
}

json World::gripperProperties(const std::string& id) const {
  return json{{"surface_gripper_id", id}, {"properties", gripperState(id).properties}};
}

json World::attachmentPoints(const std::string& id) const {
  return json{{"surface_gripper_id", id}, {"attachment_points", gripperState(id).points}};
}

Started World::commandGripper(const std::string& id, const GripperMotion& command, bool close) {
  GripperState& g = gripperState(id);
  const std::string goal = close ? "closed" : "open";
  const std::string moving = close ? "closing" : "opening";
  if (g.status != goal && g.status != moving) {
    g.status = moving;
    g.remaining = settings_.gripper_transition;
  }
  return {gripperStatus(id), !command.asynchronous && g.remaining > 0.0};
}

Started World::openGripper(const std::string& id, const GripperMotion& command) {
  return commandGripper(id, command, false);
}

Started World::closeGripper(const std::string& id, const GripperMotion& command) {
  return commandGripper(id, command, true);
}

json World::patchGripperProperties(const std::string& id, const GripperPropertiesPatch& patch) {
  GripperState& g = gripperState(id);
  setIfGiven(g.properties, "coaxial_force_limit", patch.coaxial_force_limit);
  setIfGiven(g.properties, "shear_force_limit", patch.shear_force_limit);
  setIfGiven(g.properties, "max_grip_distance", patch.max_grip_distance);
  setIfGiven(g.properties, "retry_interval", patch.retry_interval);
  setIfGiven(g.properties, "rotation_limits", patch.rotation_limits);
  setIfGiven(g.properties, "translation_limits", patch.translation_limits);
  setIfGiven(g.properties, "forward_axis", patch.forward_axis);
  return json{{"surface_gripper_id", id}, {"properties", g.properties}, {"updated", patch.updated}};
}

json World::patchAttachmentPoints(const std::string& id, const AttachmentPointsPatch& patch) {
  GripperState& g = gripperState(id);
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

void World::removeGripper(const std::string& id) {
  GripperState& g = gripperState(id);
  if (g.mounted_on) {
    const auto a = articulations_.find(*g.mounted_on);
    if (a != articulations_.end()) a->second->mount.reset();
  }
  CompletionBatch batch;
  batch.add(g.waiters, 410,
            errorBody(410, "surface gripper '" + id + "' was removed before it finished moving"));
  grippers_.erase(id);
  batch.run();
}

void World::whenGripperSettled(const std::string& id, Completion done) {
  GripperState& g = gripperState(id);
  if (g.remaining <= 0.0) {
    done(200, gripperStatus(id));
    return;
  }
  g.waiters.push_back(std::move(done));
}

}  // namespace strandel::mock_bridge
