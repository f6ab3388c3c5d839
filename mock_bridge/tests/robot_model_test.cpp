#include "robot_model.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace strandel::mock_bridge {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A small gripper-like robot: a revolute base, a continuous wrist, a prismatic finger and a second
// finger that mimics the first (through a chain of two mimic relations), plus a fixed tool link.
constexpr const char* kMixedUrdf = R"(<?xml version="1.0"?>
<robot name="mixed">
  <link name="base"/><link name="turret"/><link name="wrist"/><link name="finger_a"/>
  <link name="finger_b"/><link name="finger_c"/><link name="tool"/>
  <joint name="turn" type="revolute"><parent link="base"/><child link="turret"/>
    <origin xyz="0 0 1"/><axis xyz="0 1 0"/><limit lower="-1" upper="1" effort="5" velocity="0.5"/></joint>
  <joint name="spin" type="continuous"><parent link="turret"/><child link="wrist"/>
    <origin xyz="0 0 1"/><axis xyz="0 0 1"/></joint>
  <joint name="slide" type="prismatic"><parent link="wrist"/><child link="finger_a"/>
    <axis xyz="1 0 0"/><limit lower="0" upper="0.04" effort="10" velocity="0.1"/></joint>
  <joint name="slide_mirror" type="prismatic"><parent link="wrist"/><child link="finger_b"/>
    <axis xyz="1 0 0"/><limit lower="-0.04" upper="0" effort="10" velocity="0.1"/>
    <mimic joint="slide" multiplier="-1" offset="0"/></joint>
  <joint name="slide_twice" type="prismatic"><parent link="wrist"/><child link="finger_c"/>
    <axis xyz="1 0 0"/><limit lower="-1" upper="1" effort="10" velocity="0.1"/>
    <mimic joint="slide_mirror" multiplier="2" offset="0.5"/></joint>
  <joint name="mount" type="fixed"><parent link="wrist"/><child link="tool"/><origin xyz="0 0 0.2"/></joint>
</robot>
)";

class TempFile {
 public:
  explicit TempFile(const std::string& text) {
    path_ = std::filesystem::temp_directory_path() /
            ("strandel_model_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".urdf");
    std::ofstream(path_) << text;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

TEST(RobotModel, DefaultArmHasSixRevoluteJointsInChainOrderAndAToolLink) {
  const RobotModel& arm = defaultArm();
  ASSERT_EQ(arm.joints.size(), 6u);
  const char* names[] = {"shoulder_pan", "shoulder_lift", "elbow", "wrist_1", "wrist_2", "wrist_3"};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(arm.joints[i].name, names[i]);
    EXPECT_EQ(arm.joints[i].type, JointType::Revolute);
    ASSERT_TRUE(arm.joints[i].lower && arm.joints[i].upper);
    EXPECT_LT(*arm.joints[i].lower, *arm.joints[i].upper);
  }
  EXPECT_EQ(arm.links.front().name, "base_link");
  EXPECT_TRUE(arm.linkIndex("tool0"));
  EXPECT_EQ(arm.source, "built-in");
  EXPECT_EQ(arm.driverJoint(), std::optional<std::size_t>(0));
}

TEST(RobotModel, ReadsTypesLimitsAndMimicChainsFromAFile) {
  TempFile file(kMixedUrdf);
  const RobotModel model = loadUrdfFile(file.path());
  EXPECT_EQ(model.name, "mixed");
  EXPECT_EQ(model.source, file.path());
  ASSERT_EQ(model.joints.size(), 5u);  // the fixed joint is not a degree of freedom

  const JointModel& turn = model.joints[*model.jointIndex("turn")];
  EXPECT_EQ(jointTypeName(turn.type), "revolute");
  EXPECT_EQ(turn.lower, -1.0);
  EXPECT_EQ(turn.upper, 1.0);
  EXPECT_EQ(turn.max_velocity, 0.5);
  EXPECT_EQ(turn.max_effort, 5.0);

  const JointModel& spin = model.joints[*model.jointIndex("spin")];
  EXPECT_EQ(jointTypeName(spin.type), "continuous");
  EXPECT_FALSE(spin.lower);
  EXPECT_FALSE(spin.upper);

  const std::size_t slide = *model.jointIndex("slide");
  EXPECT_EQ(jointTypeName(model.joints[slide].type), "prismatic");
  // slide_twice follows slide_mirror, which follows slide: resolved to slide directly.
  const JointModel& twice = model.joints[*model.jointIndex("slide_twice")];
  EXPECT_EQ(twice.mimicked, slide);
  EXPECT_DOUBLE_EQ(twice.mimic_multiplier, -2.0);
  EXPECT_DOUBLE_EQ(twice.mimic_offset, 0.5);
  EXPECT_EQ(model.driverJoint(), slide);

  std::vector<double> positions(model.joints.size(), 0.0);
  positions[slide] = 0.03;
  model.applyMimics(positions);
  EXPECT_DOUBLE_EQ(positions[*model.jointIndex("slide_mirror")], -0.03);
  EXPECT_DOUBLE_EQ(positions[*model.jointIndex("slide_twice")], 0.44);
}

TEST(RobotModel, LinkPosesFollowJointMotion) {
  TempFile file(kMixedUrdf);
  const RobotModel model = loadUrdfFile(file.path());
  std::vector<double> positions(model.joints.size(), 0.0);
  const Transform base{Quat{}, Vec3{0.0, 2.0, 0.0}};

  auto tool = model.linkPoses(positions, base)[*model.linkIndex("tool")].translation;
  EXPECT_NEAR(tool.x, 0.0, 1e-12);
  EXPECT_NEAR(tool.y, 2.0, 1e-12);
  EXPECT_NEAR(tool.z, 2.2, 1e-12);

  // Turning the base joint by 90 degrees about y lays everything above it along +x.
  positions[*model.jointIndex("turn")] = kPi / 2;
  positions[*model.jointIndex("slide")] = 0.04;
  const auto poses = model.linkPoses(positions, base);
  tool = poses[*model.linkIndex("tool")].translation;
  EXPECT_NEAR(tool.x, 1.2, 1e-9);
  EXPECT_NEAR(tool.z, 1.0, 1e-9);
  const Vec3 finger = poses[*model.linkIndex("finger_a")].translation;
  EXPECT_NEAR(finger.x, 1.0, 1e-9);
  EXPECT_NEAR(finger.z, 1.0 - 0.04, 1e-9);  // the slide axis x now points down
}

TEST(RobotModel, FilesAboveTheSizeLimitAreRefusedByTheirSize) {
  // 1 GiB without data blocks: read in full it would take seconds and a gigabyte.
  TempFile huge("");
  std::filesystem::resize_file(huge.path(), std::uintmax_t{1} << 30);
  try {
    loadUrdfFile(huge.path());
    FAIL() << "expected ModelError";
  } catch (const ModelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "URDF file '" + huge.path() + "' is larger than the limit of 16777216 bytes");
  }
  TempFile file(kMixedUrdf);
  const std::uint64_t size = std::filesystem::file_size(file.path());
  EXPECT_EQ(loadUrdfFile(file.path(), size).name, "mixed");  // the limit itself is allowed
  try {
    loadUrdfFile(file.path(), size - 1);
    FAIL() << "expected ModelError";
  } catch (const ModelError& e) {
    EXPECT_EQ(std::string(e.what()), "URDF file '" + file.path() +
                                         "' is larger than the limit of " +
                                         std::to_string(size - 1) + " bytes");
  }
}

TEST(RobotModel, UnreadableAndInvalidFilesAreReportedWithTheirPath) {
  try {
    loadUrdfFile("/nonexistent/robot.urdf");
    FAIL() << "expected ModelError";
  } catch (const ModelError& e) {
    EXPECT_STREQ(e.what(), "cannot read URDF file '/nonexistent/robot.urdf'");
  }
  try {
    loadUrdfFile(std::filesystem::temp_directory_path().string());
    FAIL() << "expected ModelError";
  } catch (const ModelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot read URDF file '" + std::filesystem::temp_directory_path().string() + "'");
  }
  TempFile broken(
      "<robot name=\"x\"><link name=\"a\"/><joint name=\"j\" type=\"revolute\"></robot>");
  try {
    loadUrdfFile(broken.path());
    FAIL() << "expected ModelError";
  } catch (const ModelError& e) {
    const std::string prefix =
        "URDF file '" + broken.path() + "' is not a valid robot description: ";
    EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix);
    EXPECT_GT(std::string(e.what()).size(), prefix.size());
  }
}

}  // namespace
}  // namespace strandel::mock_bridge
