#include "articulations.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

namespace strandel::mock_bridge {
namespace {

constexpr double kLimitTolerance = 1e-9;

ApiError unprocessable(const std::string& message) { return ApiError(422, message); }

/// "a, b, c".
std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

/// The y offset of the articulation base in placement slot `slot`: 0, -0.9, 0.9, -1.8, ...
double slotOffset(int slot) { return 0.9 * (slot % 2 == 0 ? slot / 2 : -(slot + 1) / 2); }

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

Figure armFigure(const RobotModel& model, const std::vector<Transform>& poses) {
  Figure figure;
  for (const Transform& pose : poses) figure.points.push_back(pose.translation);
  for (std::size_t i = 0; i < model.links.size(); ++i)
    if (model.links[i].parent &&
        norm(poses[i].translation - poses[*model.links[i].parent].translation) > 1e-6)
      figure.bones.emplace_back(*model.links[i].parent, i);
  return figure;
}

void Articulations::requireLink(const std::string& id, const std::string& link) const {
  const Articulation& a = at(id);
  if (a.model->linkIndex(link)) return;
  std::vector<std::string> names;
  for (const LinkModel& l : a.model->links) names.push_back(l.name);
  throw unprocessable("arm_mount_link '" + link + "' is not a link of articulation '" + id +
                      "'; its links are " + joinNames(names));
}

void Articulations::step(double dt, CompletionBatch& batch) {
  for (auto& [id, a] : records_) {
    const RobotModel& model = *a.model;
    for (std::size_t j = 0; j < a.dof(); ++j) {
      if (model.joints[j].mimicked) continue;
      const double diff = a.targets[j] - a.positions[j];
      const double reach = a.speed(j, settings_) * dt;
      if (std::fabs(diff) <= reach) {
        a.velocities[j] = 0.0;
        a.positions[j] = a.targets[j];
      } else {
        a.positions[j] += std::copysign(reach, diff);
        a.velocities[j] = std::copysign(a.speed(j, settings_), diff);
      }
    }
    model.applyMimics(a.positions);
    for (std::size_t j = 0; j < a.dof(); ++j) {
      const JointModel& joint = model.joints[j];
      if (joint.mimicked) a.velocities[j] = joint.mimic_multiplier * a.velocities[*joint.mimicked];
    }
    if (a.settled() && !a.waiters.empty()) batch.add(a.waiters, 200, reached(id));
  }
}

Answer Articulations::create(const CreateArticulation& command) {
  const std::string& prim_path = command.prim_path;
  const std::optional<std::string>& urdf_path = command.urdf_path;
  for (const auto& [id, a] : records_) {
    if (a.prim_path != prim_path) continue;
    if (a.urdf_path == urdf_path) return {200, describe(id)};
    throw ApiError(409, "prim path '" + prim_path + "' already holds articulation '" + id +
                            "' made from " +
                            (a.urdf_path ? "'" + *a.urdf_path + "'" : "the default arm"));
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
  Articulation a;
  a.id = makeIdentifier(prim_path, "articulation", records_);
  a.prim_path = prim_path;
  a.urdf_path = urdf_path;
  a.model = model;
  a.serial = nextSerial_++;
  std::set<int> usedSlots;
  for (const auto& entry : records_) usedSlots.insert(entry.second.slot);
  while (usedSlots.count(a.slot) != 0) ++a.slot;
  a.positions.assign(model->joints.size(), 0.0);
  for (std::size_t j = 0; j < model->joints.size(); ++j) {
    const JointModel& joint = model->joints[j];
    if (joint.lower && joint.upper) a.positions[j] = std::clamp(0.0, *joint.lower, *joint.upper);
    a.driven.push_back(!joint.mimicked);
  }
  model->applyMimics(a.positions);
  a.targets = a.positions;
  a.velocities.assign(model->joints.size(), 0.0);
  const std::string id = a.id;
  records_.emplace(id, std::move(a));
  return {201, describe(id)};
}

json Articulations::describe(const std::string& id) const {
  const Articulation& a = at(id);
  json links = json::array();
  for (const LinkModel& link : a.model->links) links.push_back(link.name);
  json mount = nullptr;
  if (const Grippers::Gripper* g = grippers_.mountedOn(id))
    mount = json{{"surface_gripper_id", g->id}, {"arm_mount_link", g->mount.arm_mount_link}};
  return json{{"articulation_id", a.id},
              {"prim_path", a.prim_path},
              {"urdf_path", a.urdf_path ? json(*a.urdf_path) : json(nullptr)},
              {"robot_name", a.model->name},
              {"num_dof", a.dof()},
              {"joint_names", a.jointNames()},
              {"link_names", links},
              {"gripper", mount}};
}

void Articulations::remove(const std::string& id) {
  CompletionBatch batch;
  batch.add(at(id).waiters, 410,
            errorBody(410, "articulation '" + id + "' was removed before its motion ended"));
  grippers_.unmount(id);
  records_.erase(id);
  batch.run();
}

json Articulations::assemble(const std::string& id, const AssembleRobot& command) {
  require(id);
  grippers_.require(command.gripper_id);
  requireLink(id, command.arm_mount_link);
  grippers_.mount(id, command);
  const auto orNull = [](const auto& value) { return value ? json(*value) : json(nullptr); };
  return json{{"articulation_id", id},
              {"gripper_id", command.gripper_id},
              {"arm_mount_link", command.arm_mount_link},
              {"gripper_mount_link", orNull(command.gripper_mount_link)},
              {"offset", orNull(command.offset)},
              {"mask_collisions", command.mask_collisions},
              {"assembled", true}};
}

json Articulations::dofLimits(const std::string& id) const {
  const Articulation& a = at(id);
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

json Articulations::driverJoint(const std::string& id) const {
  const Articulation& a = at(id);
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

json Articulations::jointsState(const std::string& id) const {
  const Articulation& a = at(id);
  return json{{"articulation_id", id},
              {"sim_time", simTime_},
              {"joint_names", a.jointNames()},
              {"joint_positions", a.positions},
              {"joint_velocities", a.velocities},
              {"driven_joints", a.jointNames(true)},
              {"moving", !a.settled()}};
}

json Articulations::reached(const std::string& id) const {
  json state = jointsState(id);
  state["status"] = "reached";
  return state;
}

json Articulations::setJointPositions(const std::string& id, const JointTargets& command) {
  Articulation& a = at(id);
  const JointCommand resolved = resolveTargets(command, *a.model, a.driven, id, false);
  for (std::size_t k = 0; k < resolved.joints.size(); ++k) {
    const std::size_t j = resolved.joints[k];
    a.positions[j] = a.targets[j] = resolved.positions[k];
    a.velocities[j] = 0.0;
  }
  a.model->applyMimics(a.positions);
  return jointsState(id);
}

void Articulations::moveToward(Articulation& a, const JointTargets& targets) {
  const JointCommand resolved = resolveTargets(targets, *a.model, a.driven, a.id, true);
  for (std::size_t k = 0; k < resolved.joints.size(); ++k)
    a.targets[resolved.joints[k]] = resolved.positions[k];
}

Started Articulations::moveJointPositions(const std::string& id, const MoveJoints& command) {
  Articulation& a = at(id);
  moveToward(a, command.targets);
  double duration = 0.0;
  for (std::size_t j = 0; j < a.dof(); ++j)
    duration = std::max(duration, std::fabs(a.targets[j] - a.positions[j]) / a.speed(j, settings_));
  if (!command.asynchronous) return {reached(id), !a.settled()};
  return {json{{"articulation_id", id},
               {"status", a.settled() ? "reached" : "moving"},
               {"expected_duration", duration},
               {"sim_time", simTime_}},
          false};
}

json Articulations::setDrivenJoints(const std::string& id, const DrivenJoints& command) {
  Articulation& a = at(id);
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
  return json{{"articulation_id", id}, {"driven_joints", a.jointNames(true)}};
}

void Articulations::whenSettled(const std::string& id, Completion done) {
  Articulation& a = at(id);
  if (a.settled()) return done(200, reached(id));
  a.waiters.push_back(std::move(done));
}

std::optional<std::uint64_t> Articulations::serial(const std::string& id) const {
  const auto it = records_.find(id);
  if (it == records_.end()) return std::nullopt;
  return it->second.serial;
}

json Articulations::streamMessage(const std::string& id, StreamKind kind,
                                  std::uint64_t sequence) const {
  const Articulation& a = at(id);
  json message{{"articulation_id", id},
               {"sequence", sequence},
               {"sim_time", simTime_},
               {"joint_positions", a.positions}};
  if (kind == StreamKind::ArticulationState) {
    message["joint_names"] = a.jointNames();
    message["joint_velocities"] = a.velocities;
    message["moving"] = !a.settled();
    const Grippers::Gripper* g = grippers_.mountedOn(id);
    message["gripper"] = g ? json{{"surface_gripper_id", g->id}, {"status", g->status}} : json();
  }
  return message;
}

void Articulations::applyStreamTargets(const std::string& id, const JointTargets& targets) {
  moveToward(at(id), targets);
}

Scene Articulations::scene() const {
  Scene scene;
  for (const auto& [id, a] : records_) {
    const RobotModel& model = *a.model;
    const Transform base{Quat{}, Vec3{0.0, slotOffset(a.slot), 0.0}};
    const std::vector<Transform> poses = model.linkPoses(a.positions, base);
    Figure figure = armFigure(model, poses);
    if (const Grippers::Gripper* g = grippers_.mountedOn(id)) {
      Transform offset;
      if (g->mount.offset) {
        const std::vector<double>& o = *g->mount.offset;
        offset.translation = Vec3{o[0], o[1], o[2]};
        if (o.size() == 7) offset.rotation = Quat{o[3], o[4], o[5], o[6]};
      }
      figure.gripper = compose(poses[*model.linkIndex(g->mount.arm_mount_link)], offset);
      figure.gripper_closed = g->status == "closed" || g->status == "closing";
    }
    scene.figures.push_back(std::move(figure));
  }
  return scene;
}

}  // namespace strandel::mock_bridge
