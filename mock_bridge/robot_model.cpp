// Reading URDF descriptions into RobotModel, and the model's kinematics.

#include "robot_model.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>

#include <console_bridge/console.h>
#include <urdf_parser/urdf_parser.h>

namespace strandel::mock_bridge {
namespace {

// The default arm, described in URDF so that it takes the same road as a user's file.
constexpr const char* kDefaultArmUrdf = R"(<?xml version="1.0"?>
<robot name="strandel_default_arm">
  <link name="base_link"/>
  <link name="shoulder_link"/>
  <link name="upper_arm_link"/>
  <link name="forearm_link"/>
  <link name="wrist_1_link"/>
  <link name="wrist_2_link"/>
  <link name="wrist_3_link"/>
  <link name="tool0"/>
  <joint name="shoulder_pan" type="revolute">
    <parent link="base_link"/><child link="shoulder_link"/>
    <origin xyz="0 0 0.15" rpy="0 0 0"/><axis xyz="0 0 1"/>
    <limit lower="-3.1416" upper="3.1416" effort="150" velocity="2.0"/>
  </joint>
  <joint name="shoulder_lift" type="revolute">
    <parent link="shoulder_link"/><child link="upper_arm_link"/>
    <origin xyz="0 0 0.12" rpy="0 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-2.0" upper="2.0" effort="150" velocity="2.0"/>
  </joint>
  <joint name="elbow" type="revolute">
    <parent link="upper_arm_link"/><child link="forearm_link"/>
    <origin xyz="0 0 0.42" rpy="0 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-2.6" upper="2.6" effort="100" velocity="2.5"/>
  </joint>
  <joint name="wrist_1" type="revolute">
    <parent link="forearm_link"/><child link="wrist_1_link"/>
    <origin xyz="0 0 0.38" rpy="0 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-3.1416" upper="3.1416" effort="30" velocity="3.0"/>
  </joint>
  <joint name="wrist_2" type="revolute">
    <parent link="wrist_1_link"/><child link="wrist_2_link"/>
    <origin xyz="0 0 0.10" rpy="0 0 0"/><axis xyz="0 0 1"/>
    <limit lower="-3.1416" upper="3.1416" effort="30" velocity="3.0"/>
  </joint>
  <joint name="wrist_3" type="revolute">
    <parent link="wrist_2_link"/><child link="wrist_3_link"/>
    <origin xyz="0 0 0.09" rpy="0 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-3.1416" upper="3.1416" effort="30" velocity="3.0"/>
  </joint>
  <joint name="tool_flange" type="fixed">
    <parent link="wrist_3_link"/><child link="tool0"/>
    <origin xyz="0 0 0.08" rpy="0 0 0"/>
  </joint>
</robot>
)";

/// Collects urdfdom's error messages while it is installed; restores the previous handler when
/// it goes out of scope.
class CapturedConsole : public console_bridge::OutputHandler {
 public:
  CapturedConsole() { console_bridge::useOutputHandler(this); }
  ~CapturedConsole() override { console_bridge::restorePreviousOutputHandler(); }
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;

  void log(const std::string& text, console_bridge::LogLevel level, const char*, int) override {
    if (level >= console_bridge::CONSOLE_BRIDGE_LOG_ERROR && firstError_.empty())
      firstError_ = text;
  }
  const std::string& firstError() const { return firstError_; }

 private:
  std::string firstError_;
};

Transform toTransform(const urdf::Pose& pose) {
  return {Quat{pose.rotation.w, pose.rotation.x, pose.rotation.y, pose.rotation.z},
          Vec3{pose.position.x, pose.position.y, pose.position.z}};
}

JointModel toJointModel(const urdf::Joint& joint) {
  JointModel model;
  model.name = joint.name;
  switch (joint.type) {
    case urdf::Joint::CONTINUOUS:
      model.type = JointType::Continuous;
      break;
    case urdf::Joint::PRISMATIC:
      model.type = JointType::Prismatic;
      break;
    default:
      model.type = JointType::Revolute;
      break;
  }
  if (joint.limits) {
    if (model.type != JointType::Continuous) {
      model.lower = joint.limits->lower;
      model.upper = joint.limits->upper;
    }
    model.max_velocity = joint.limits->velocity;
    model.max_effort = joint.limits->effort;
  } else if (model.type != JointType::Continuous) {
    model.lower = 0.0;
    model.upper = 0.0;
  }
  const Vec3 axis{joint.axis.x, joint.axis.y, joint.axis.z};
  model.axis = norm(axis) > 0.0 ? normalized(axis) : Vec3{1.0, 0.0, 0.0};
  return model;
}

bool isMovable(const urdf::Joint& joint) {
  return joint.type == urdf::Joint::REVOLUTE || joint.type == urdf::Joint::CONTINUOUS ||
         joint.type == urdf::Joint::PRISMATIC;
}

/// Adds `link` and its subtree to `model`, parents first, children in the order urdfdom lists
/// them (by joint name).
void addSubtree(const urdf::Link& link, std::optional<std::size_t> parent, Transform origin,
                std::optional<std::size_t> joint, RobotModel& model) {
  const std::size_t index = model.links.size();
  model.links.push_back(LinkModel{link.name, parent, origin, joint});
  for (const auto& childJoint : link.child_joints) {
    const auto child =
        std::find_if(link.child_links.begin(), link.child_links.end(),
                     [&](const auto& l) { return l->name == childJoint->child_link_name; });
    if (child == link.child_links.end()) continue;
    std::optional<std::size_t> jointIndex;
    if (isMovable(*childJoint)) {
      jointIndex = model.joints.size();
      model.joints.push_back(toJointModel(*childJoint));
    }
    addSubtree(**child, index, toTransform(childJoint->parent_to_joint_origin_transform),
               jointIndex, model);
  }
}

/// Resolves each mimic relation to the joint at the end of its chain; relations naming an unknown
/// or non-movable joint, and cyclic ones, are dropped.
void resolveMimics(const urdf::ModelInterface& urdf, RobotModel& model) {
  struct Relation {
    std::size_t driver;
    double multiplier;
    double offset;
  };
  std::map<std::size_t, Relation> direct;
  for (std::size_t i = 0; i < model.joints.size(); ++i) {
    const auto joint = urdf.getJoint(model.joints[i].name);
    if (!joint || !joint->mimic) continue;
    const auto driver = model.jointIndex(joint->mimic->joint_name);
    if (!driver || *driver == i) continue;
    direct[i] = Relation{*driver, joint->mimic->multiplier, joint->mimic->offset};
  }
  for (const auto& [follower, relation] : direct) {
    Relation resolved = relation;
    std::size_t steps = 0;
    bool cyclic = false;
    for (auto next = direct.find(resolved.driver); next != direct.end();
         next = direct.find(resolved.driver)) {
      if (++steps > direct.size()) {
        cyclic = true;
        break;
      }
      resolved = Relation{next->second.driver, resolved.multiplier * next->second.multiplier,
                          resolved.multiplier * next->second.offset + resolved.offset};
    }
    if (cyclic) continue;
    JointModel& joint = model.joints[follower];
    joint.mimicked = resolved.driver;
    joint.mimic_multiplier = resolved.multiplier;
    joint.mimic_offset = resolved.offset;
  }
}

}  // namespace

std::string_view jointTypeName(JointType type) {
  switch (type) {
    case JointType::Revolute:
      return "revolute";
    case JointType::Continuous:
      return "continuous";
    case JointType::Prismatic:
      return "prismatic";
  }
  return "revolute";
}

std::optional<std::size_t> RobotModel::jointIndex(std::string_view name) const {
  for (std::size_t i = 0; i < joints.size(); ++i)
    if (joints[i].name == name) return i;
  return std::nullopt;
}

std::optional<std::size_t> RobotModel::linkIndex(std::string_view name) const {
  for (std::size_t i = 0; i < links.size(); ++i)
    if (links[i].name == name) return i;
  return std::nullopt;
}

std::optional<std::size_t> RobotModel::driverJoint() const {
  for (const JointModel& joint : joints)
    if (joint.mimicked) return joint.mimicked;
  if (joints.empty()) return std::nullopt;
  return 0;
}

void RobotModel::applyMimics(std::vector<double>& positions) const {
  for (std::size_t i = 0; i < joints.size() && i < positions.size(); ++i) {
    const JointModel& joint = joints[i];
    if (joint.mimicked && *joint.mimicked < positions.size())
      positions[i] = joint.mimic_multiplier * positions[*joint.mimicked] + joint.mimic_offset;
  }
}

std::vector<Transform> RobotModel::linkPoses(const std::vector<double>& positions,
                                             const Transform& base) const {
  std::vector<Transform> poses(links.size());
  for (std::size_t i = 0; i < links.size(); ++i) {
    const LinkModel& link = links[i];
    Transform pose = link.parent ? compose(poses[*link.parent], link.origin) : base;
    if (link.joint && *link.joint < positions.size()) {
      const JointModel& joint = joints[*link.joint];
      const double q = positions[*link.joint];
      const Transform motion = joint.type == JointType::Prismatic
                                   ? Transform{Quat{}, joint.axis * q}
                                   : Transform{axisAngle(joint.axis, q), Vec3{}};
      pose = compose(pose, motion);
    }
    poses[i] = pose;
  }
  return poses;
}

RobotModel parseUrdfText(const std::string& xml, const std::string& source) {
  urdf::ModelInterfaceSharedPtr urdf;
  std::string reason;
  {
    CapturedConsole console;
    try {
      urdf = urdf::parseURDF(xml);
    } catch (const std::exception& e) {
      reason = e.what();
    }
    if (reason.empty()) reason = console.firstError();
  }
  if (!urdf || !urdf->getRoot()) {
    if (reason.empty()) reason = "urdfdom rejected it";
    throw ModelError("URDF file '" + source + "' is not a valid robot description: " + reason);
  }
  RobotModel model;
  model.name = urdf->getName();
  model.source = source;
  addSubtree(*urdf->getRoot(), std::nullopt, Transform{}, std::nullopt, model);
  resolveMimics(*urdf, model);
  return model;
}

RobotModel loadUrdfFile(const std::string& path, std::uint64_t max_bytes) {
  const auto unreadable = [&] { return ModelError("cannot read URDF file '" + path + "'"); };
  const auto tooLarge = [&] {
    return ModelError("URDF file '" + path + "' is larger than the limit of " +
                      std::to_string(max_bytes) + " bytes");
  };
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) throw unreadable();
  if (static_cast<std::uint64_t>(info.st_size) > max_bytes) throw tooLarge();
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) throw unreadable();
  std::string text;
  char chunk[65536];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(file.gcount()));
    if (text.size() > max_bytes) throw tooLarge();
  }
  if (file.bad()) throw unreadable();
  return parseUrdfText(text, path);
}

const RobotModel& defaultArm() {
  static const RobotModel model = [] {
    RobotModel m = parseUrdfText(kDefaultArmUrdf, "built-in");
    return m;
  }();
  return model;
}

}  // namespace strandel::mock_bridge
