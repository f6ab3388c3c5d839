#include "world.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "body_reader.hpp"
#include "world_state.hpp"

namespace strandel::mock_bridge {
namespace {

constexpr double kLimitTolerance = 1e-9;

ApiError unprocessable(const std::string& message) { return ApiError(422, message); }

/// The joints a position command addresses and the values it gives them.
struct JointCommand {
  std::vector<std::size_t> joints;
  std::vector<double> positions;
};

/// Resolves `targets` against the articulation's model. Without indices every joint is addressed,
/// but mimic joints (and, for a motion, joints that are not driven) keep following their own rule
/// and their entries are ignored.
JointCommand resolveTargets(const JointTargets& targets, const RobotModel& model,
                            const std::vector<bool>& driven, const std::string& id, bool motion) {
  const std::vector<double>& positions = targets.joint_positions;
  const std::size_t dof = model.joints.size();
  JointCommand command;
  if (!targets.indices) {
    if (positions.size() != dof)
      throw unprocessable("joint_positions has " + std::to_string(positions.size()) +
                          " values but articulation '" + id + "' has " + std::to_string(dof) +
                          " joints");
    for (std::size_t j = 0; j < dof; ++j) {
      if (model.joints[j].mimicked || (motion && !driven[j])) continue;
      command.joints.push_back(j);
      command.positions.push_back(positions[j]);
    }
  } else {
    const std::vector<std::int64_t>& indices = *targets.indices;
    std::set<std::int64_t> seen;
    for (std::size_t k = 0; k < indices.size(); ++k) {
      const std::int64_t index = indices[k];
      const std::string where = "indices[" + std::to_string(k) + "]";
      if (index < 0 || static_cast<std::uint64_t>(index) >= dof)
        throw unprocessable(where + " = " + std::to_string(index) + " is out of range for " +
                            std::to_string(dof) + " joints");
      if (!seen.insert(index).second)
        throw unprocessable(where + " repeats joint " + std::to_string(index));
      const JointModel& joint = model.joints[static_cast<std::size_t>(index)];
      if (joint.mimicked)
        throw unprocessable("joint '" + joint.name + "' mimics '" +
                            model.joints[*joint.mimicked].name + "' and cannot be commanded");
      if (motion && !driven[static_cast<std::size_t>(index)])
        throw unprocessable("joint '" + joint.name +
                            "' is not driven; choose it with driven_joints first");
      command.joints.push_back(static_cast<std::size_t>(index));
      command.positions.push_back(positions[k]);
    }
  }
  for (std::size_t k = 0; k < command.joints.size(); ++k) {
    const JointModel& joint = model.joints[command.joints[k]];
    const double value = command.positions[k];
    if ((joint.lower && value < *joint.lower - kLimitTolerance) ||
        (joint.upper && value > *joint.upper + kLimitTolerance)) {
      throw unprocessable("joint_positions value " + numberText(value) +
                          " is outside the limits of joint '" + joint.name + "' [" +
                          numberText(*joint.lower) + ", " + numberText(*joint.upper) + "]");
    }
  }
  return command;
}

}  // namespace

World::ArticulationState& World::articulation(const std::string& id) {
  return const_cast<ArticulationState&>(std::as_const(*this).articulation(id));
}

const World::ArticulationState& World::articulation(const std::string& id) const {
  const auto it = articulations_.find(id);
  if (it == articulations_.end()) throw ApiError(404, "articulation '" + id + "' not found");
  return *it->second;
}

void World::requireArticulation(const std::string& id) const { articulation(id); }

void World::requireLink(const std::string& id, const std::string& link) const {
  const ArticulationState& a = articulation(id);
  if (a.model->linkIndex(link)) return;
  std::vector<std::string> names;
  for (const LinkModel& l : a.model->links) names.push_back(l.name);
  throw unprocessable("arm_mount_link '" + link + "' is not a link of articulation '" + id +
                      "'; its links are " + joinNames(names));
}

void World::stepArticulations(double dt, CompletionBatch& batch) {
  for (auto& [id, a] : articulations_) {
    const RobotModel& model = *a->model;
    for (std::size_t j = 0; j < a->dof(); ++j) {
      if (model.joints[j].mimicked) continue;
      const double diff = a->targets[j] - a->positions[j];
      const double reach = a->speed(j, settings_) * dt;
      if (std::fabs(diff) <= reach) {
        a->velocities[j] = 0.0;
        a->positions[j] = a->targets[j];
      } else {
        a->positions[j] += std::copysign(reach, diff);
        a->velocities[j] = std::copysign(a->speed(j, settings_), diff);
      }
    }
    model.applyMimics(a->positions);
    for (std::size_t j = 0; j < a->dof(); ++j) {
      const JointModel& joint = model.joints[j];
      if (joint.mimicked)
        a->velocities[j] = joint.mimic_multiplier * a->velocities[*joint.mimicked];
    }
    if (a->settled() && !a->waiters.empty()) {
      json state = jointsState(id);
      state["status"] = "reached";
      batch.add(a->waiters, 200, state);
    }
  }
}

Answer World::createArticulation(const CreateArticulation& command) {
  const std::string& prim_path = command.prim_path;
  const std::optional<std::string>& urdf_path = command.urdf_path;
  for (const auto& [id, a] : articulations_) {
    if (a->prim_path != prim_path) continue;
    if (a->urdf_path == urdf_path) return {200, describeArticulation(id)};
    throw ApiError(409, "prim path '" + prim_path + "' already holds articulation '" + id +
                            "' made from " +
                            (a->urdf_path ? "'" + *a->urdf_path + "'" : "the default arm"));
  }
  std::shared_ptr<const RobotModel> model;
  if (urdf_path) {
    try {
      model =
          std::make_shared<const RobotModel>(loadUrdfFile(*urdf_path, settings_.max_urdf_bytes));
    } catch (const ModelError& e) {
      throw unprocessable(e.what());
    }
  } else {
    model = std::shared_ptr<const RobotModel>(std::shared_ptr<const RobotModel>(), &defaultArm());
  }
  auto a = std::make_unique<ArticulationState>();
  a->id = makeIdentifier(prim_path, "articulation", articulations_);
  a->prim_path = prim_path;
  a->urdf_path = urdf_path;
  a->model = model;
  a->serial = nextSerial_++;
  std::set<int> usedSlots;
  for (const auto& entry : articulations_) usedSlots.insert(entry.second->slot);
  while (usedSlots.count(a->slot) != 0) ++a->slot;
  a->positions.assign(model->joints.size(), 0.0);
  for (std::size_t j = 0; j < model->joints.size(); ++j) {
    const JointModel& joint = model->joints[j];
    if (joint.lower && joint.upper) a->positions[j] = std::clamp(0.0, *joint.lower, *joint.upper);
    a->driven.push_back(!joint.mimicked);
  }
  model->applyMimics(a->positions);
  a->targets = a->positions;
  a->velocities.assign(model->joints.size(), 0.0);
  const std::string id = a->id;
  articulations_.emplace(id, std::move(a));
  return {201, describeArticulation(id)};
}

json World::describeArticulation(const std::string& id) const {
  const ArticulationState& a = articulation(id);
  json links = json::array();
  for (const LinkModel& link : a.model->links) links.push_back(link.name);
  json mount = nullptr;
  if (a.mount)
    mount = json{{"surface_gripper_id", a.mount->gripper_id},
                 {"arm_mount_link", a.mount->arm_mount_link}};
  return json{{"articulation_id", a.id},
              {"prim_path", a.prim_path},
              {"urdf_path", a.urdf_path ? json(*a.urdf_path) : json(nullptr)},
              {"robot_name", a.model->name},
              {"num_dof", a.dof()},
              {"joint_names", a.jointNames()},
              {"link_names", links},
              {"gripper", mount}};
}

void World::removeArticulation(const std::string& id) {
  ArticulationState& a = articulation(id);
  if (a.mount) {
    const auto g = grippers_.find(a.mount->gripper_id);
    if (g != grippers_.end()) g->second->mounted_on.reset();
  }
  CompletionBatch batch;
  batch.add(a.waiters, 410,
            errorBody(410, "articulation '" + id + "' was removed before its motion ended"));
  articulations_.erase(id);
  batch.run();
}

json World::assembleRobot(const std::string& id, const AssembleRobot& command) {
  ArticulationState& a = articulation(id);
  GripperState& g = gripperState(command.gripper_id);
  requireLink(id, command.arm_mount_link);
  if (g.mounted_on && *g.mounted_on != id)
    throw ApiError(409, "surface gripper '" + command.gripper_id +
                            "' is already mounted on articulation '" + *g.mounted_on + "'");
  if (a.mount && a.mount->gripper_id != command.gripper_id) {
    const auto old = grippers_.find(a.mount->gripper_id);
    if (old != grippers_.end()) old->second->mounted_on.reset();
  }
  a.mount = command;
  g.mounted_on = id;
  const auto orNull = [](const auto& value) { return value ? json(*value) : json(nullptr); };
  return json{{"articulation_id", id},
              {"gripper_id", command.gripper_id},
              {"arm_mount_link", command.arm_mount_link},
              {"gripper_mount_link", orNull(command.gripper_mount_link)},
              {"offset", orNull(command.offset)},
              {"mask_collisions", command.mask_collisions},
              {"assembled", true}};
}

json World::dofLimits(const std::string& id) const {
  const ArticulationState& a = articulation(id);
  json limits = json::array();
  for (std::size_t j = 0; j < a.dof(); ++j) {
    const JointModel& joint = a.model->joints[j];
    limits.push_back({{"joint", joint.name},
                      {"type", jointTypeName(joint.type)},
                      {"lower", joint.lower ? json(*joint.lower) : json(nullptr)},
                      {"upper", joint.upper ? json(*joint.upper) : json(nullptr)},
                      {"max_velocity", a.speed(j, settings_)},
                      {"max_effort", joint.max_effort}});
  }
  return json{{"articulation_id", id}, {"dof_limits", limits}};
}

json World::driverJoint(const std::string& id) const {
  const ArticulationState& a = articulation(id);
  const auto driver = a.model->driverJoint();
  json mimics = json::array();
  for (const JointModel& joint : a.model->joints) {
    if (!joint.mimicked) continue;
    mimics.push_back({{"joint", joint.name},
                      {"follows", a.model->joints[*joint.mimicked].name},
                      {"multiplier", joint.mimic_multiplier},
                      {"offset", joint.mimic_offset}});
  }
  return json{{"articulation_id", id},
              {"driver_joint", driver ? json(a.model->joints[*driver].name) : json(nullptr)},
              {"mimic_joints", mimics}};
}

json World::jointsState(const std::string& id) const {
  const ArticulationState& a = articulation(id);
  return json{{"articulation_id", id},
              {"sim_time", simTime_},
              {"joint_names", a.jointNames()},
              {"joint_positions", a.positions},
              {"joint_velocities", a.velocities},
              {"driven_joints", a.drivenNames()},
              {"moving", !a.settled()}};
}

json World::setJointPositions(const std::string& id, const JointTargets& command) {
  ArticulationState& a = articulation(id);
  const JointCommand resolved = resolveTargets(command, *a.model, a.driven, id, false);
  for (std::size_t k = 0; k < resolved.joints.size(); ++k) {
    const std::size_t j = resolved.joints[k];
    a.positions[j] = a.targets[j] = resolved.positions[k];
    a.velocities[j] = 0.0;
  }
  a.model->applyMimics(a.positions);
  return jointsState(id);
}

void World::moveToward(ArticulationState& a, const JointTargets& targets) {
  const JointCommand resolved = resolveTargets(targets, *a.model, a.driven, a.id, true);
  for (std::size_t k = 0; k < resolved.joints.size(); ++k)
    a.targets[resolved.joints[k]] = resolved.positions[k];
}

Started World::moveJointPositions(const std::string& id, const MoveJoints& command) {
  ArticulationState& a = articulation(id);
  moveToward(a, command.targets);
  double duration = 0.0;
  for (std::size_t j = 0; j < a.dof(); ++j)
    duration = std::max(duration, std::fabs(a.targets[j] - a.positions[j]) / a.speed(j, settings_));
  if (!command.asynchronous) {
    json state = jointsState(id);
    state["status"] = "reached";
    return {state, !a.settled()};
  }
  return {json{{"articulation_id", id},
               {"status", a.settled() ? "reached" : "moving"},
               {"expected_duration", duration},
               {"sim_time", simTime_}},
          false};
}

json World::setDrivenJoints(const std::string& id, const DrivenJoints& command) {
  ArticulationState& a = articulation(id);
  std::vector<bool> driven(a.dof(), false);
  for (const std::string& name : command.joint_names) {
    const auto j = a.model->jointIndex(name);
    if (!j)
      throw unprocessable("unknown joint '" + name + "'; the joints are " +
                          joinNames(a.jointNames()));
    const JointModel& joint = a.model->joints[*j];
    if (joint.mimicked)
      throw unprocessable("joint '" + name + "' mimics '" + a.model->joints[*joint.mimicked].name +
                          "' and cannot be driven");
    if (driven[*j]) throw unprocessable("joint_names repeats '" + name + "'");
    driven[*j] = true;
  }
  for (std::size_t j = 0; j < a.dof(); ++j)
    if (!driven[j] && !a.model->joints[j].mimicked) a.targets[j] = a.positions[j];
  a.driven = driven;
  return json{{"articulation_id", id}, {"driven_joints", a.drivenNames()}};
}

void World::whenArticulationSettled(const std::string& id, Completion done) {
  ArticulationState& a = articulation(id);
  if (a.settled()) {
    json state = jointsState(id);
    state["status"] = "reached";
    done(200, state);
    return;
  }
  a.waiters.push_back(std::move(done));
}

}  // namespace strandel::mock_bridge
