#include "world.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <utility>

#include "body_reader.hpp"
#include "camera_frame_encoder.hpp"

namespace strandel::mock_bridge {
namespace {

constexpr double kLimitTolerance = 1e-9;
constexpr int kMaxResolution = 4096;
constexpr double kMaxFrequency = 1000.0;
/// Slack in comparing elapsed simulated time with a camera period, so that time summed from
/// steps of 1 / physics rate reaches a period it equals mathematically.
constexpr double kPeriodSlack = 1e-9;

ApiError unprocessable(const std::string& message) { return ApiError(422, message); }

/// A prim path is absolute: "/" followed by at least one character.
void requirePrimPath(const std::string& prim_path) {
  if (prim_path.size() < 2 || prim_path.front() != '/')
    throw unprocessable("prim_path must be an absolute prim path such as /World/robot, not '" +
                        prim_path + "'");
}

/// An identifier made from the last segment of `prim_path` (characters other than letters,
/// digits, '_' and '-' replaced by '_'), made unique among `taken` with a "_2", "_3", ... suffix.
template <typename Map>
std::string makeIdentifier(const std::string& prim_path, const std::string& fallback, const Map& taken) {
  std::string base = prim_path.substr(prim_path.find_last_of('/') + 1);
  for (char& c : base)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  if (base.empty()) base = fallback;
  std::string id = base;
  for (int n = 2; taken.count(id) != 0; ++n) id = base + "_" + std::to_string(n);
  return id;
}

json noAxisLimits() { return json{{"x", nullptr}, {"y", nullptr}, {"z", nullptr}}; }

/// Per-axis limits: an object whose keys are among x, y, z, each null or {"minimum", "maximum"}
/// with minimum <= maximum. Returns the object with all three axes.
json readAxisLimits(const json& value, const std::string& key) {
  if (!value.is_object()) throw unprocessable(key + " must be an object with the axes x, y and z");
  json result = noAxisLimits();
  for (const auto& [axis, limit] : value.items()) {
    if (axis != "x" && axis != "y" && axis != "z")
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
    result[axis] = json{{"maximum", maximum}, {"minimum", minimum}};
  }
  return result;
}

double readNonNegative(const json& value, const std::string& key) {
  const double number = requireFinite(value, key);
  if (number < 0.0) throw unprocessable(key + " must not be negative");
  return number;
}

std::string readForwardAxis(const json& value) {
  static const std::set<std::string> kAxes = {"X", "Y", "Z", "-X", "-Y", "-Z"};
  if (!value.is_string()) throw unprocessable("forward_axis must be a string");
  std::string axis = value.get<std::string>();
  for (char& c : axis) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (kAxes.count(axis) == 0)
    throw unprocessable("forward_axis must be one of X, Y, Z, -X, -Y, -Z, not '" + value.get<std::string>() + "'");
  return axis;
}

json readPose(const json& value, const std::string& key) {
  if (!value.is_object() && !value.is_array())
    throw unprocessable(key + " must be a JSON object or array describing a pose");
  return value;
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
  return json{{"coaxial_force_limit", 100.0}, {"shear_force_limit", 100.0},
              {"max_grip_distance", 0.02},     {"retry_interval", 0.1},
              {"rotation_limits", noAxisLimits()}, {"translation_limits", noAxisLimits()},
              {"forward_axis", "X"}};
}

std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

/// The y offset of the articulation base in placement slot `slot`: 0, -0.9, 0.9, -1.8, ...
double slotOffset(int slot) { return 0.9 * (slot % 2 == 0 ? slot / 2 : -(slot + 1) / 2); }

/// Pending completions, run after the world's state is consistent again.
class CompletionBatch {
 public:
  void add(std::vector<Completion>& waiters, int status, const json& body) {
    for (Completion& done : waiters) items_.push_back({std::move(done), status, body});
    waiters.clear();
  }
  void run() {
    auto items = std::move(items_);
    items_.clear();
    for (auto& item : items) item.done(item.status, item.body);
  }

 private:
  struct Item {
    Completion done;
    int status;
    json body;
  };
  std::vector<Item> items_;
};

}  // namespace

struct World::ArticulationState {
  std::string id;
  std::string prim_path;
  std::optional<std::string> urdf_path;
  std::shared_ptr<const RobotModel> model;
  std::uint64_t serial = 0;
  int slot = 0;
  std::vector<double> positions;
  std::vector<double> velocities;
  std::vector<double> targets;
  std::vector<bool> driven;
  struct Mount {
    std::string gripper_id;
    std::string arm_mount_link;
    std::optional<std::string> gripper_mount_link;
    json offset;
    bool mask_collisions = true;
  };
  std::optional<Mount> mount;
  std::vector<Completion> waiters;

  std::size_t dof() const { return model->joints.size(); }

  bool settled() const {
    for (std::size_t j = 0; j < dof(); ++j)
      if (!model->joints[j].mimicked && positions[j] != targets[j]) return false;
    return true;
  }

  std::vector<std::string> jointNames() const {
    std::vector<std::string> names;
    for (const JointModel& joint : model->joints) names.push_back(joint.name);
    return names;
  }

  std::vector<std::string> drivenNames() const {
    std::vector<std::string> names;
    for (std::size_t j = 0; j < dof(); ++j)
      if (driven[j]) names.push_back(model->joints[j].name);
    return names;
  }

  double speed(std::size_t j, const WorldSettings& settings) const {
    const double bound = model->joints[j].max_velocity;
    return bound > 0.0 ? bound : settings.default_joint_speed;
  }
};

struct World::GripperState {
  std::string id;
  std::string prim_path;
  std::string status = "open";
  double remaining = 0.0;
  json properties = defaultGripperProperties();
  std::vector<json> points;
  std::optional<std::string> mounted_on;
  std::vector<Completion> waiters;
};

struct World::CameraState {
  std::string id;
  std::string prim_path;
  double frequency = 30.0;
  CameraView view;
  /// The last rendered frame and the simulated time it shows.
  struct Frame {
    double sim_time = 0.0;
    Images images;
  };
  std::optional<Frame> last;
};

namespace {

/// The joints a position command addresses and the values it gives them.
struct JointCommand {
  std::vector<std::size_t> joints;
  std::vector<double> positions;
};

}  // namespace

World::World(WorldSettings settings) : settings_(settings) {}
World::~World() = default;

// ---------------------------------------------------------------------------------------------
// Lookups

World::ArticulationState& World::articulation(const std::string& id) {
  return const_cast<ArticulationState&>(std::as_const(*this).articulation(id));
}

const World::ArticulationState& World::articulation(const std::string& id) const {
  const auto it = articulations_.find(id);
  if (it == articulations_.end()) throw ApiError(404, "articulation '" + id + "' not found");
  return *it->second;
}

World::GripperState& World::gripperState(const std::string& id) {
  return const_cast<GripperState&>(std::as_const(*this).gripperState(id));
}

const World::GripperState& World::gripperState(const std::string& id) const {
  const auto it = grippers_.find(id);
  if (it == grippers_.end()) throw ApiError(404, "surface gripper '" + id + "' not found");
  return *it->second;
}

const World::CameraState& World::camera(const std::string& id) const {
  const auto it = cameras_.find(id);
  if (it == cameras_.end()) throw ApiError(404, "camera '" + id + "' not found");
  return *it->second;
}

World::CameraState& World::camera(const std::string& id) {
  return const_cast<CameraState&>(std::as_const(*this).camera(id));
}

// ---------------------------------------------------------------------------------------------
// Simulation

void World::step(double dt) {
  if (!(dt > 0.0)) return;
  simTime_ += dt;
  CompletionBatch batch;
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
      if (joint.mimicked) a->velocities[j] = joint.mimic_multiplier * a->velocities[*joint.mimicked];
    }
    if (a->settled() && !a->waiters.empty()) {
      json state = jointsState(id);
      state["status"] = "reached";
      batch.add(a->waiters, 200, state);
    }
  }
  for (auto& [id, g] : grippers_) {
    if (g->remaining <= 0.0) continue;
    g->remaining -= dt;
    if (g->remaining <= 0.0) {
      g->remaining = 0.0;
      g->status = g->status == "closing" ? "closed" : "open";
      batch.add(g->waiters, 200, gripperStatus(id));
    }
  }
  batch.run();
}

void World::dropCompletions() {
  for (auto& [id, a] : articulations_) a->waiters.clear();
  for (auto& [id, g] : grippers_) g->waiters.clear();
}

json World::overview() const {
  json result{{"service", "strandel-mock-bridge"}, {"sim_time", simTime_}};
  const auto keys = [](const auto& map) {
    json ids = json::array();
    for (const auto& entry : map) ids.push_back(entry.first);
    return ids;
  };
  result["articulations"] = keys(articulations_);
  result["surface_grippers"] = keys(grippers_);
  result["cameras"] = keys(cameras_);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Articulations

Answer World::createArticulation(const json& body) {
  requireObject(body);
  const std::string prim_path = requireString(body, "prim_path");
  requirePrimPath(prim_path);
  const std::optional<std::string> urdf_path = optionalString(body, "urdf_path");
  for (const auto& [id, a] : articulations_) {
    if (a->prim_path != prim_path) continue;
    if (a->urdf_path == urdf_path) return {200, describeArticulation(id)};
    throw ApiError(409, "prim path '" + prim_path + "' already holds articulation '" + id +
                            "' made from " + (a->urdf_path ? "'" + *a->urdf_path + "'" : "the default arm"));
  }
  std::shared_ptr<const RobotModel> model;
  if (urdf_path) {
    try {
      model = std::make_shared<const RobotModel>(loadUrdfFile(*urdf_path, settings_.max_urdf_bytes));
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
  if (a.mount) mount = json{{"surface_gripper_id", a.mount->gripper_id}, {"arm_mount_link", a.mount->arm_mount_link}};
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
  batch.add(a.waiters, 410, errorBody(410, "articulation '" + id + "' was removed before its motion ended"));
  articulations_.erase(id);
  batch.run();
}

json World::assembleRobot(const std::string& id, const json& body) {
  ArticulationState& a = articulation(id);
  requireObject(body);
  const std::string gripper_id = requireString(body, "gripper_id");
  GripperState& g = gripperState(gripper_id);
  const std::string link = requireString(body, "arm_mount_link");
  if (!a.model->linkIndex(link)) {
    std::vector<std::string> names;
    for (const LinkModel& l : a.model->links) names.push_back(l.name);
    throw unprocessable("arm_mount_link '" + link + "' is not a link of articulation '" + id +
                        "'; its links are " + joinNames(names));
  }
  const std::optional<std::string> gripper_mount_link = optionalString(body, "gripper_mount_link");
  json offset = nullptr;
  if (const json* value = member(body, "offset")) {
    if (!value->is_array() || (value->size() != 3 && value->size() != 7))
      throw unprocessable("offset must be null, [x, y, z] or [x, y, z, qw, qx, qy, qz]");
    offset = requireNumberArray(*value, "offset");
  }
  const bool mask_collisions = requireBool(body, "mask_collisions");
  if (g.mounted_on && *g.mounted_on != id)
    throw ApiError(409, "surface gripper '" + gripper_id + "' is already mounted on articulation '" +
                            *g.mounted_on + "'");
  if (a.mount && a.mount->gripper_id != gripper_id) {
    const auto old = grippers_.find(a.mount->gripper_id);
    if (old != grippers_.end()) old->second->mounted_on.reset();
  }
  a.mount = ArticulationState::Mount{gripper_id, link, gripper_mount_link, offset, mask_collisions};
  g.mounted_on = id;
  return json{{"articulation_id", id},
              {"gripper_id", gripper_id},
              {"arm_mount_link", link},
              {"gripper_mount_link", gripper_mount_link ? json(*gripper_mount_link) : json(nullptr)},
              {"offset", offset},
              {"mask_collisions", mask_collisions},
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

namespace {

/// Reads {"joint_positions": [...], "indices": [...] or null} against the articulation's model.
/// Without indices every joint is addressed, but mimic joints (and, for a motion, joints that are
/// not driven) keep following their own rule and their entries are ignored.
JointCommand readJointCommand(const json& body, const RobotModel& model, const std::vector<bool>& driven,
                              const std::string& id, bool motion) {
  requireObject(body);
  const json* positionsValue = member(body, "joint_positions");
  if (!positionsValue) throw unprocessable("joint_positions is required");
  const std::vector<double> positions = requireNumberArray(*positionsValue, "joint_positions");
  const std::size_t dof = model.joints.size();
  JointCommand command;
  const json* indicesValue = member(body, "indices");
  if (!indicesValue) {
    if (positions.size() != dof)
      throw unprocessable("joint_positions has " + std::to_string(positions.size()) +
                          " values but articulation '" + id + "' has " + std::to_string(dof) + " joints");
    for (std::size_t j = 0; j < dof; ++j) {
      if (model.joints[j].mimicked || (motion && !driven[j])) continue;
      command.joints.push_back(j);
      command.positions.push_back(positions[j]);
    }
  } else {
    const std::vector<std::int64_t> indices = requireIntegerArray(*indicesValue, "indices");
    if (indices.size() != positions.size())
      throw unprocessable("joint_positions has " + std::to_string(positions.size()) +
                          " values but indices has " + std::to_string(indices.size()));
    std::set<std::int64_t> seen;
    for (std::size_t k = 0; k < indices.size(); ++k) {
      const std::int64_t index = indices[k];
      const std::string where = "indices[" + std::to_string(k) + "]";
      if (index < 0 || static_cast<std::uint64_t>(index) >= dof)
        throw unprocessable(where + " = " + std::to_string(index) + " is out of range for " +
                            std::to_string(dof) + " joints");
      if (!seen.insert(index).second) throw unprocessable(where + " repeats joint " + std::to_string(index));
      const JointModel& joint = model.joints[static_cast<std::size_t>(index)];
      if (joint.mimicked)
        throw unprocessable("joint '" + joint.name + "' mimics '" + model.joints[*joint.mimicked].name +
                            "' and cannot be commanded");
      if (motion && !driven[static_cast<std::size_t>(index)])
        throw unprocessable("joint '" + joint.name + "' is not driven; choose it with driven_joints first");
      command.joints.push_back(static_cast<std::size_t>(index));
      command.positions.push_back(positions[k]);
    }
  }
  for (std::size_t k = 0; k < command.joints.size(); ++k) {
    const JointModel& joint = model.joints[command.joints[k]];
    const double value = command.positions[k];
    if ((joint.lower && value < *joint.lower - kLimitTolerance) ||
        (joint.upper && value > *joint.upper + kLimitTolerance)) {
      throw unprocessable("joint_positions value " + numberText(value) + " is outside the limits of joint '" +
                          joint.name + "' [" + numberText(*joint.lower) + ", " + numberText(*joint.upper) + "]");
    }
  }
  return command;
}

}  // namespace

json World::setJointPositions(const std::string& id, const json& body) {
  ArticulationState& a = articulation(id);
  const JointCommand command = readJointCommand(body, *a.model, a.driven, id, false);
  for (std::size_t k = 0; k < command.joints.size(); ++k) {
    const std::size_t j = command.joints[k];
    a.positions[j] = a.targets[j] = command.positions[k];
    a.velocities[j] = 0.0;
  }
  a.model->applyMimics(a.positions);
  return jointsState(id);
}

void World::moveToward(ArticulationState& a, const json& command) {
  const JointCommand parsed = readJointCommand(command, *a.model, a.driven, a.id, true);
  for (std::size_t k = 0; k < parsed.joints.size(); ++k) a.targets[parsed.joints[k]] = parsed.positions[k];
}

Started World::moveJointPositions(const std::string& id, const json& body) {
  ArticulationState& a = articulation(id);
  requireObject(body);
  const bool asynchronous = optionalBool(body, "asynchronous").value_or(false);
  moveToward(a, body);
  double duration = 0.0;
  for (std::size_t j = 0; j < a.dof(); ++j)
    duration = std::max(duration, std::fabs(a.targets[j] - a.positions[j]) / a.speed(j, settings_));
  if (!asynchronous) {
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

json World::setDrivenJoints(const std::string& id, const json& body) {
  ArticulationState& a = articulation(id);
  requireObject(body);
  const json* namesValue = member(body, "joint_names");
  if (!namesValue) throw unprocessable("joint_names is required");
  const std::vector<std::string> names = requireStringArray(*namesValue, "joint_names");
  std::vector<bool> driven(a.dof(), false);
  for (const std::string& name : names) {
    const auto j = a.model->jointIndex(name);
    if (!j) throw unprocessable("unknown joint '" + name + "'; the joints are " + joinNames(a.jointNames()));
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

// ---------------------------------------------------------------------------------------------
// Streams

std::optional<std::uint64_t> World::serial(const std::string& id) const {
  const auto it = articulations_.find(id);
  if (it == articulations_.end()) return std::nullopt;
  return it->second->serial;
}

json World::streamMessage(const std::string& id, StreamKind kind, std::uint64_t sequence) const {
  const ArticulationState& a = articulation(id);
  json message{{"articulation_id", id}, {"sequence", sequence}, {"sim_time", simTime_},
               {"joint_positions", a.positions}};
  if (kind == StreamKind::ArticulationState) {
    message["joint_names"] = a.jointNames();
    message["joint_velocities"] = a.velocities;
    message["moving"] = !a.settled();
    json gripper = nullptr;
    if (a.mount) {
      const auto g = grippers_.find(a.mount->gripper_id);
      if (g != grippers_.end()) gripper = json{{"surface_gripper_id", g->first}, {"status", g->second->status}};
    }
    message["gripper"] = gripper;
  }
  return message;
}

void World::applyStreamCommand(const std::string& id, const std::string& text) {
  ArticulationState& a = articulation(id);
  json command;
  try {
    command = json::parse(text);
  } catch (const json::parse_error& e) {
    throw ApiError(400, std::string("malformed JSON: ") + e.what());
  }
  moveToward(a, command);
}

// ---------------------------------------------------------------------------------------------
// Surface grippers

Answer World::createGripper(const json& body) {
  requireObject(body);
  const std::string prim_path = requireString(body, "prim_path");
  requirePrimPath(prim_path);
  for (const auto& [id, g] : grippers_)
    if (g->prim_path == prim_path) return {200, gripper(id)};
  auto g = std::make_unique<GripperState>();
  g->id = makeIdentifier(prim_path, "surface_gripper", grippers_);
  g->prim_path = prim_path;
  for (int i = 0; i < 2; ++i)
    g->points.push_back(defaultAttachmentPoint(prim_path + "/attachment_point_" + std::to_string(i)));
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

Started World::commandGripper(const std::string& id, const json& body, bool close) {
  GripperState& g = gripperState(id);
  requireObject(body);
  const bool asynchronous = optionalBool(body, "asynchronous").value_or(false);
  const std::string goal = close ? "closed" : "open";
  const std::string moving = close ? "closing" : "opening";
  if (g.status != goal && g.status != moving) {
    g.status = moving;
    g.remaining = settings_.gripper_transition;
  }
  return {gripperStatus(id), !asynchronous && g.remaining > 0.0};
}

Started World::openGripper(const std::string& id, const json& body) { return commandGripper(id, body, false); }
Started World::closeGripper(const std::string& id, const json& body) { return commandGripper(id, body, true); }

json World::patchGripperProperties(const std::string& id, const json& body) {
  GripperState& g = gripperState(id);
  requireObject(body);
  json updated = g.properties;
  json keys = json::array();
  for (const auto& [key, value] : body.items()) {
    if (key == "coaxial_force_limit" || key == "shear_force_limit" || key == "max_grip_distance" ||
        key == "retry_interval") {
      updated[key] = readNonNegative(value, key);
    } else if (key == "rotation_limits" || key == "translation_limits") {
      updated[key] = readAxisLimits(value, key);
    } else if (key == "forward_axis") {
      updated[key] = readForwardAxis(value);
    } else {
      throw unprocessable("unknown property '" + key +
                          "'; the properties are coaxial_force_limit, forward_axis, max_grip_distance, "
                          "retry_interval, rotation_limits, shear_force_limit, translation_limits");
    }
    keys.push_back(key);
  }
  g.properties = std::move(updated);
  return json{{"surface_gripper_id", id}, {"properties", g.properties}, {"updated", keys}};
}

json World::patchAttachmentPoints(const std::string& id, const json& body) {
  GripperState& g = gripperState(id);
  requireObject(body);
  std::vector<json> points = g.points;
  if (const auto it = body.find("joint_paths"); it != body.end()) {
    const std::vector<std::string> paths = requireStringArray(*it, "joint_paths");
    std::vector<json> replaced;
    for (const std::string& path : paths) {
      if (path.empty()) throw unprocessable("joint_paths must not hold an empty path");
      for (const json& point : replaced)
        if (point["joint_path"] == path) throw unprocessable("joint_paths repeats '" + path + "'");
      const auto existing = std::find_if(points.begin(), points.end(),
                                         [&](const json& point) { return point["joint_path"] == path; });
      replaced.push_back(existing != points.end() ? *existing : defaultAttachmentPoint(path));
    }
    points = std::move(replaced);
  }
  json settings = json::object();
  json keys = json::array();
  for (const auto& [key, value] : body.items()) {
    if (key == "joint_paths") {
      // handled above
    } else if (key == "local_pose_0" || key == "local_pose_1") {
      settings[key] = readPose(value, key);
    } else if (key == "z_axis_translation_drive_stiffness" || key == "z_axis_translation_drive_damping") {
      settings[key] = readNonNegative(value, key);
    } else if (key == "rotation_limits" || key == "translation_limits") {
      settings[key] = readAxisLimits(value, key);
    } else if (key == "clearance_offset") {
      settings[key] = requireFinite(value, key);
    } else if (key == "forward_axis") {
      settings[key] = readForwardAxis(value);
    } else {
      throw unprocessable("unknown attachment point setting '" + key +
                          "'; the settings are clearance_offset, forward_axis, joint_paths, local_pose_0, "
                          "local_pose_1, rotation_limits, translation_limits, "
                          "z_axis_translation_drive_damping, z_axis_translation_drive_stiffness");
    }
    keys.push_back(key);
  }
  for (json& point : points) point.update(settings);
  g.points = std::move(points);
  return json{{"surface_gripper_id", id}, {"attachment_points", g.points}, {"updated", keys}};
}

void World::removeGripper(const std::string& id) {
  GripperState& g = gripperState(id);
  if (g.mounted_on) {
    const auto a = articulations_.find(*g.mounted_on);
    if (a != articulations_.end()) a->second->mount.reset();
  }
  CompletionBatch batch;
  batch.add(g.waiters, 410, errorBody(410, "surface gripper '" + id + "' was removed before it finished moving"));
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

// ---------------------------------------------------------------------------------------------
// Cameras

Answer World::createCamera(const json& body) {
  requireObject(body);
  const std::string prim_path = requireString(body, "prim_path");
  requirePrimPath(prim_path);
  CameraView view;
  if (const json* value = member(body, "resolution")) {
    const auto valid = [](const json& v) {
      return v.is_number_integer() && v.get<std::int64_t>() >= 1 && v.get<std::int64_t>() <= kMaxResolution;
    };
    if (!value->is_array() || value->size() != 2 || !valid((*value)[0]) || !valid((*value)[1]))
      throw unprocessable("resolution must be [width, height] with each an integer from 1 to " +
                          std::to_string(kMaxResolution));
    view.width = (*value)[0].get<int>();
    view.height = (*value)[1].get<int>();
  }
  double frequency = 30.0;
  if (const json* value = member(body, "frequency")) {
    frequency = requireFinite(*value, "frequency");
    if (frequency <= 0.0 || frequency > kMaxFrequency)
      throw unprocessable("frequency must be above 0 and at most " + numberText(kMaxFrequency) +
                          " frames per second");
  }
  for (const auto& [id, c] : cameras_) {
    if (c->prim_path != prim_path) continue;
    if (c->view.width == view.width && c->view.height == view.height && c->frequency == frequency)
      return {200, describeCamera(id)};
    throw ApiError(409, "prim path '" + prim_path + "' already holds camera '" + id + "' with other settings");
  }
  auto c = std::make_unique<CameraState>();
  c->id = makeIdentifier(prim_path, "camera", cameras_);
  c->prim_path = prim_path;
  c->frequency = frequency;
  c->view = view;
  const std::string id = c->id;
  cameras_.emplace(id, std::move(c));
  return {201, describeCamera(id)};
}

json World::describeCamera(const std::string& id) const {
  const CameraState& c = camera(id);
  return json{{"camera_id", id},
              {"prim_path", c.prim_path},
              {"resolution", {c.view.width, c.view.height}},
              {"frequency", c.frequency},
              {"position", {c.view.eye.x, c.view.eye.y, c.view.eye.z}},
              {"look_at", {c.view.target.x, c.view.target.y, c.view.target.z}}};
}

Scene World::scene() const {
  Scene scene;
  for (const auto& [id, a] : articulations_) {
    const RobotModel& model = *a->model;
    const Transform base{Quat{}, Vec3{0.0, slotOffset(a->slot), 0.0}};
    const std::vector<Transform> poses = model.linkPoses(a->positions, base);
    Figure figure;
    for (const Transform& pose : poses) figure.points.push_back(pose.translation);
    for (std::size_t i = 0; i < model.links.size(); ++i)
      if (model.links[i].parent && norm(poses[i].translation - poses[*model.links[i].parent].translation) > 1e-6)
        figure.bones.emplace_back(*model.links[i].parent, i);
    if (a->mount) {
      Transform offset;
      if (a->mount->offset.is_array()) {
        const std::vector<double> o = a->mount->offset.get<std::vector<double>>();
        offset.translation = Vec3{o[0], o[1], o[2]};
        if (o.size() == 7) offset.rotation = Quat{o[3], o[4], o[5], o[6]};
      }
      figure.gripper = compose(poses[*model.linkIndex(a->mount->arm_mount_link)], offset);
      const auto g = grippers_.find(a->mount->gripper_id);
      figure.gripper_closed =
          g != grippers_.end() && (g->second->status == "closed" || g->second->status == "closing");
    }
    scene.figures.push_back(std::move(figure));
  }
  return scene;
}

std::string World::capture(const std::string& id, const json& body) {
  CameraState& c = camera(id);
  requireObject(body);
  bool wantRgb = true;
  bool wantDepth = true;
  if (const json* value = member(body, "data_types")) {
    const std::vector<std::string> types = requireStringArray(*value, "data_types");
    wantRgb = wantDepth = false;
    for (std::size_t i = 0; i < types.size(); ++i) {
      if (types[i] == "rgb") {
        wantRgb = true;
      } else if (types[i] == "depth") {
        wantDepth = true;
      } else {
        throw unprocessable("data_types[" + std::to_string(i) + "] '" + types[i] +
                            "' is not offered; the stand-in offers rgb and depth");
      }
    }
  }
  const bool worldFrame = optionalBool(body, "world_frame").value_or(false);
  if (!c.last || simTime_ - c.last->sim_time + kPeriodSlack >= 1.0 / c.frequency)
    c.last = CameraState::Frame{simTime_, render(scene(), c.view)};
  const CameraState::Frame& frame = *c.last;
  json structure{{"camera_id", id},
                 {"sim_time", frame.sim_time},
                 {"resolution", {c.view.width, c.view.height}},
                 {"world_frame", worldFrame}};
  if (worldFrame)
    structure["camera_pose"] = {{"position", {c.view.eye.x, c.view.eye.y, c.view.eye.z}},
                                {"look_at", {c.view.target.x, c.view.target.y, c.view.target.z}},
                                {"up", {0.0, 0.0, 1.0}}};
  std::vector<FrameArray> arrays;
  const auto h = static_cast<std::uint64_t>(c.view.height);
  const auto w = static_cast<std::uint64_t>(c.view.width);
  const Images& images = frame.images;
  if (wantRgb) arrays.push_back({"rgb", {h, w, 3}, "uint8", std::string(images.rgb.begin(), images.rgb.end())});
  if (wantDepth) arrays.push_back({"depth", {h, w}, "float32", float32Bytes(images.depth)});
  return encodeCameraFrame(structure, arrays);
}

void World::removeCamera(const std::string& id) {
  camera(id);
  cameras_.erase(id);
}

}  // namespace strandel::mock_bridge
