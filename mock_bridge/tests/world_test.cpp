#include "world.hpp"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "refusal.hpp"

namespace strandel::mock_bridge {
namespace {

CreateArticulation arm(const std::string& prim = "/World/arm",
                       std::optional<std::string> urdf = std::nullopt) {
  return CreateArticulation{prim, std::move(urdf)};
}

JointTargets targets(std::vector<double> positions,
                     std::optional<std::vector<std::int64_t>> indices = std::nullopt) {
  return JointTargets{std::move(positions), std::move(indices)};
}

MoveJoints move(std::vector<double> positions, std::vector<std::int64_t> indices,
                bool asynchronous = false) {
  return MoveJoints{targets(std::move(positions), std::move(indices)), asynchronous};
}

CreateCamera camera(const std::string& prim, std::optional<Resolution> resolution = std::nullopt,
                    double frequency = 30.0) {
  return CreateCamera{prim, resolution, frequency};
}

Capture only(bool rgb, bool depth, bool world_frame = false) {
  return Capture{rgb, depth, world_frame};
}

/// The decoded parts of a binary frame.
struct Decoded {
  json manifest;
  std::string data;
};

Decoded decode(const std::string& frame) {
  EXPECT_EQ(frame.substr(0, 4), "QXB1");
  const auto* b = reinterpret_cast<const unsigned char*>(frame.data());
  const std::size_t m = b[4] | (b[5] << 8) | (b[6] << 16) | (static_cast<std::size_t>(b[7]) << 24);
  return {json::parse(frame.substr(8, m)), frame.substr(8 + m)};
}

class WorldTest : public ::testing::Test {
 protected:
  World world;

  std::string createArm(const char* prim = "/World/arm") {
    return world.articulations.create(arm(prim)).body["articulation_id"];
  }
};

TEST_F(WorldTest, CreateIsIdempotentPerPrimPathAndIdentifiersStayUnique) {
  const Answer first = world.articulations.create(arm());
  EXPECT_EQ(first.status, 201);
  EXPECT_EQ(first.body["articulation_id"], "arm");
  EXPECT_EQ(first.body["num_dof"], 6);

  const Answer again = world.articulations.create(arm());
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.body["articulation_id"], "arm");

  EXPECT_EQ(world.articulations.create(arm("/Other/arm")).body["articulation_id"], "arm_2");
  EXPECT_EQ(world.articulations.create(arm("/World/my robot!")).body["articulation_id"],
            "my_robot_");

  EXPECT_REFUSED(
      world.articulations.create(arm("/World/arm", "/x.urdf")), 409,
      "prim path '/World/arm' already holds articulation 'arm' made from the default arm");
  EXPECT_REFUSED(world.articulations.create(arm("/W/b", "/missing.urdf")), 422,
                 "cannot read URDF file '/missing.urdf'");
  EXPECT_EQ(world.overview()["articulations"], json({"arm", "arm_2", "my_robot_"}));
}

TEST_F(WorldTest, UnknownIdentifiersAre404) {
  EXPECT_REFUSED(world.articulations.jointsState("ghost"), 404, "articulation 'ghost' not found");
  EXPECT_REFUSED(world.grippers.status("ghost"), 404, "surface gripper 'ghost' not found");
  EXPECT_REFUSED(world.cameras.capture("ghost", Capture{}), 404, "camera 'ghost' not found");
  EXPECT_REFUSED(world.articulations.remove("ghost"), 404, "articulation 'ghost' not found");
  EXPECT_REFUSED(world.articulations.require("ghost"), 404, "articulation 'ghost' not found");
  EXPECT_REFUSED(world.grippers.require("ghost"), 404, "surface gripper 'ghost' not found");
  EXPECT_REFUSED(world.cameras.require("ghost"), 404, "camera 'ghost' not found");
}

TEST_F(WorldTest, SetJointPositionsChecksTargetsAgainstTheJoints) {
  const std::string id = createArm();
  EXPECT_REFUSED(world.articulations.setJointPositions(id, targets({1.0, 2.0})), 422,
                 "joint_positions has 2 values but articulation 'arm' has 6 joints");
  EXPECT_REFUSED(world.articulations.setJointPositions(id, targets({1.0}, {{6}})), 422,
                 "indices[0] = 6 is out of range for 6 joints");
  EXPECT_REFUSED(world.articulations.setJointPositions(id, targets({1.0}, {{-1}})), 422,
                 "indices[0] = -1 is out of range for 6 joints");
  EXPECT_REFUSED(world.articulations.setJointPositions(id, targets({0.1, 0.2}, {{2, 2}})), 422,
                 "indices[1] repeats joint 2");
  EXPECT_REFUSED(world.articulations.setJointPositions(id, targets({0.1, 0.2}, {{7, 7}})), 422,
                 "indices[0] = 7 is out of range for 6 joints");
  EXPECT_REFUSED(
      world.articulations.setJointPositions(id, targets({2.5}, {{1}})), 422,
      "joint_positions value 2.5 is outside the limits of joint 'shoulder_lift' [-2.0, 2.0]");
  // A refused command changes nothing.
  EXPECT_EQ(world.articulations.jointsState(id)["joint_positions"],
            json(std::vector<double>(6, 0.0)));

  const json state = world.articulations.setJointPositions(id, targets({0.5, -1.0}, {{3, 0}}));
  EXPECT_EQ(state["joint_positions"], json({-1.0, 0.0, 0.0, 0.5, 0.0, 0.0}));
  EXPECT_EQ(state["moving"], false);
}

TEST_F(WorldTest, MoveAdvancesAtTheJointSpeedInSimulatedTimeAndCompletesWaiters) {
  const std::string id = createArm();
  // shoulder_pan is bounded at 2 rad/s, elbow at 2.5 rad/s.
  const Started started = world.articulations.moveJointPositions(id, move({1.0, 1.0}, {0, 2}));
  EXPECT_TRUE(started.wait);
  std::vector<json> answers;
  world.articulations.whenSettled(id, [&](int status, const json& body) {
    EXPECT_EQ(status, 200);
    answers.push_back(body);
  });

  world.step(0.25);
  json state = world.articulations.jointsState(id);
  EXPECT_DOUBLE_EQ(state["joint_positions"][0].get<double>(), 0.5);
  EXPECT_DOUBLE_EQ(state["joint_positions"][2].get<double>(), 0.625);
  EXPECT_DOUBLE_EQ(state["joint_velocities"][0].get<double>(), 2.0);
  EXPECT_EQ(state["moving"], true);
  EXPECT_TRUE(answers.empty());

  world.step(0.25);  // elbow has arrived, shoulder_pan arrives exactly now
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0]["status"], "reached");
  EXPECT_EQ(answers[0]["joint_positions"], json({1.0, 0.0, 1.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(answers[0]["joint_velocities"], json(std::vector<double>(6, 0.0)));

  world.step(0.25);
  EXPECT_EQ(answers.size(), 1u);  // a completion runs once

  const Started async = world.articulations.moveJointPositions(id, move({0.0}, {0}, true));
  EXPECT_FALSE(async.wait);
  EXPECT_EQ(async.answer["status"], "moving");
  EXPECT_DOUBLE_EQ(async.answer["expected_duration"].get<double>(), 0.5);
}

TEST_F(WorldTest, RemovingAnArticulationEndsItsWaitersWith410) {
  const std::string id = createArm();
  world.articulations.moveJointPositions(id, move({1.0}, {0}));
  int status = 0;
  json body;
  world.articulations.whenSettled(id, [&](int s, const json& b) {
    status = s;
    body = b;
  });
  world.articulations.remove(id);
  EXPECT_EQ(status, 410);
  EXPECT_EQ(body, errorBody(410, "articulation 'arm' was removed before its motion ended"));
  EXPECT_FALSE(world.articulations.serial(id));
}

TEST_F(WorldTest, DrivenJointsLimitWhatMovesAndStopUndrivenOnes) {
  const std::string id = createArm();
  world.articulations.moveJointPositions(id, move({1.0, 1.0}, {0, 1}));
  world.step(0.1);
  EXPECT_EQ(
      world.articulations.setDrivenJoints(id, DrivenJoints{{"shoulder_lift"}})["driven_joints"],
      json({"shoulder_lift"}));
  world.step(1.0);
  const json state = world.articulations.jointsState(id);
  EXPECT_DOUBLE_EQ(state["joint_positions"][0].get<double>(), 0.2);  // stopped where it was
  EXPECT_DOUBLE_EQ(state["joint_positions"][1].get<double>(), 1.0);

  EXPECT_REFUSED(world.articulations.moveJointPositions(id, move({0.0}, {0})), 422,
                 "joint 'shoulder_pan' is not driven; choose it with driven_joints first");
  EXPECT_REFUSED(
      world.articulations.setDrivenJoints(id, DrivenJoints{{"elbow", "knee"}}), 422,
      "unknown joint 'knee'; the joints are shoulder_pan, shoulder_lift, elbow, wrist_1, "
      "wrist_2, wrist_3");
  EXPECT_REFUSED(world.articulations.setDrivenJoints(id, DrivenJoints{{"elbow", "elbow"}}), 422,
                 "joint_names repeats 'elbow'");
}

TEST_F(WorldTest, AssemblyMountsAGripperOnALink) {
  const std::string arm = createArm();
  EXPECT_EQ(world.grippers.create(CreateGripper{"/World/arm/tool0/gripper"}).status, 201);
  const AssembleRobot mount{"gripper", "tool0", std::nullopt, std::vector<double>{0.0, 0.0, 0.02},
                            true};
  const json answer = world.articulations.assemble(arm, mount);
  EXPECT_EQ(answer["assembled"], true);
  EXPECT_EQ(answer["offset"], json({0.0, 0.0, 0.02}));
  EXPECT_EQ(answer["gripper_mount_link"], nullptr);
  EXPECT_EQ(world.grippers.describe("gripper")["mounted_on"], "arm");
  EXPECT_EQ(world.articulations.streamMessage(arm, StreamKind::ArticulationState, 0)["gripper"],
            json({{"status", "open"}, {"surface_gripper_id", "gripper"}}));

  AssembleRobot badLink = mount;
  badLink.arm_mount_link = "hand";
  const char* const kNotALink =
      "arm_mount_link 'hand' is not a link of articulation 'arm'; its links are base_link, "
      "shoulder_link, upper_arm_link, forearm_link, wrist_1_link, wrist_2_link, wrist_3_link, "
      "tool0";
  EXPECT_REFUSED(world.articulations.assemble(arm, badLink), 422, kNotALink);
  EXPECT_REFUSED(world.articulations.requireLink(arm, "hand"), 422, kNotALink);
  AssembleRobot unknown = mount;
  unknown.gripper_id = "nope";
  EXPECT_REFUSED(world.articulations.assemble(arm, unknown), 404,
                 "surface gripper 'nope' not found");

  const std::string other = createArm("/World/other");
  EXPECT_REFUSED(world.articulations.assemble(other, mount), 409,
                 "surface gripper 'gripper' is already mounted on articulation 'arm'");
  world.articulations.remove(arm);
  EXPECT_EQ(world.grippers.describe("gripper")["mounted_on"], nullptr);
  EXPECT_EQ(world.articulations.assemble(other, mount)["articulation_id"], "other");
  EXPECT_EQ(world.articulations.describe(other)["gripper"],
            json({{"arm_mount_link", "tool0"}, {"surface_gripper_id", "gripper"}}));

  // Another gripper replaces the first; a removed gripper leaves its arm bare, and one created
  // again under the same identifier is not mounted.
  world.grippers.create(CreateGripper{"/World/spare"});
  AssembleRobot spare = mount;
  spare.gripper_id = "spare";
  world.articulations.assemble(other, spare);
  EXPECT_EQ(world.grippers.describe("gripper")["mounted_on"], nullptr);
  EXPECT_EQ(world.grippers.describe("spare")["mounted_on"], "other");
  world.grippers.remove("spare");
  EXPECT_EQ(world.articulations.describe(other)["gripper"], nullptr);
  EXPECT_EQ(world.articulations.streamMessage(other, StreamKind::ArticulationState, 0)["gripper"],
            nullptr);
  world.grippers.create(CreateGripper{"/World/spare"});
  EXPECT_EQ(world.articulations.describe(other)["gripper"], nullptr);
}

TEST_F(WorldTest, GripperClosesOverSimulatedTime) {
  world.grippers.create(CreateGripper{"/World/g"});
  const Started close = world.grippers.operate("g", GripperMotion{false}, true);
  EXPECT_TRUE(close.wait);
  EXPECT_EQ(close.answer["status"], "closing");
  json finalStatus;
  world.grippers.whenSettled("g", [&](int status, const json& body) {
    EXPECT_EQ(status, 200);
    finalStatus = body;
  });
  world.step(0.2);
  EXPECT_TRUE(finalStatus.is_null());
  world.step(0.1);
  EXPECT_EQ(finalStatus["status"], "closed");
  EXPECT_FALSE(world.grippers.operate("g", GripperMotion{false}, true).wait);  // already closed
  EXPECT_EQ(world.grippers.operate("g", GripperMotion{true}, false).answer["status"], "opening");
}

TEST_F(WorldTest, GripperPropertyPatchesChangeOnlyTheKeysTheyHold) {
  world.grippers.create(CreateGripper{"/World/g"});
  const json before = world.grippers.properties("g")["properties"];
  GripperPropertiesPatch patch;
  patch.max_grip_distance = 0.05;
  patch.rotation_limits = AxisRanges{std::nullopt, std::nullopt, AxisRange{-0.5, 0.5}};
  patch.forward_axis = "Z";
  patch.updated = {"forward_axis", "max_grip_distance", "rotation_limits"};
  const json answer = world.grippers.patchProperties("g", patch);
  json expected = before;
  expected["max_grip_distance"] = 0.05;
  expected["rotation_limits"]["z"] = {{"maximum", 0.5}, {"minimum", -0.5}};
  expected["forward_axis"] = "Z";
  EXPECT_EQ(answer["properties"], expected);
  EXPECT_EQ(answer["updated"], json({"forward_axis", "max_grip_distance", "rotation_limits"}));
  EXPECT_EQ(world.grippers.properties("g")["properties"], expected);
  EXPECT_EQ(world.grippers.patchProperties("g", GripperPropertiesPatch{})["properties"], expected);
}

TEST_F(WorldTest, AttachmentPointPatchesReplaceThePathListAndApplySettingsToEveryPoint) {
  world.grippers.create(CreateGripper{"/World/g"});
  AttachmentPointsPatch offset;
  offset.clearance_offset = 0.01;
  world.grippers.patchAttachmentPoints("g", offset);
  AttachmentPointsPatch patch;
  patch.joint_paths = std::vector<std::string>{"/World/g/attachment_point_1", "/World/g/new"};
  patch.local_pose_1 = json{1, 2, 3};
  patch.z_axis_translation_drive_damping = 5.0;
  const json answer = world.grippers.patchAttachmentPoints("g", patch);
  const json& points = answer["attachment_points"];
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[0]["joint_path"], "/World/g/attachment_point_1");
  EXPECT_EQ(points[0]["clearance_offset"], 0.01);  // kept from the earlier patch
  EXPECT_EQ(points[1]["joint_path"], "/World/g/new");
  EXPECT_EQ(points[1]["clearance_offset"], 0.0);  // a new point starts from the defaults
  for (const json& point : points) {
    EXPECT_EQ(point["local_pose_1"], json({1, 2, 3}));
    EXPECT_EQ(point["z_axis_translation_drive_damping"], 5.0);
  }
  EXPECT_EQ(world.grippers.attachmentPoints("g")["attachment_points"], points);
}

TEST_F(WorldTest, CaptureHonoursDataTypesAndShowsTheArmsPose) {
  const std::string arm = createArm();
  EXPECT_EQ(world.cameras.create(camera("/World/cam", Resolution{64, 48}, 10.0)).status, 201);
  const Decoded both = decode(world.cameras.capture("cam", Capture{}));
  const json& arrays = both.manifest["arrays"];
  ASSERT_EQ(arrays.size(), 2u);
  EXPECT_EQ(both.manifest["structure"]["rgb"], json({{"__ndarray__", 0}}));
  EXPECT_EQ(both.manifest["structure"]["depth"], json({{"__ndarray__", 1}}));
  EXPECT_EQ(
      arrays[0],
      json({{"dtype", "uint8"}, {"nbytes", 64 * 48 * 3}, {"offset", 0}, {"shape", {48, 64, 3}}}));
  EXPECT_EQ(arrays[1], json({{"dtype", "float32"},
                             {"nbytes", 64 * 48 * 4},
                             {"offset", 64 * 48 * 3},
                             {"shape", {48, 64}}}));
  EXPECT_EQ(both.data.size(), 64u * 48u * 7u);

  const Decoded depthOnly = decode(world.cameras.capture("cam", only(false, true, true)));
  ASSERT_EQ(depthOnly.manifest["arrays"].size(), 1u);
  EXPECT_EQ(depthOnly.manifest["structure"]["depth"], json({{"__ndarray__", 0}}));
  EXPECT_FALSE(depthOnly.manifest["structure"].contains("rgb"));
  EXPECT_TRUE(depthOnly.manifest["structure"].contains("camera_pose"));
  // The ground lies within a few metres; the sky (top-left pixel) is at infinity.
  float nearest = 1e9f;
  for (std::size_t i = 0; i < 64 * 48; ++i) {
    float d;
    std::memcpy(&d, depthOnly.data.data() + i * 4, 4);
    nearest = std::min(nearest, d);
  }
  EXPECT_GT(nearest, 0.5f);
  EXPECT_LT(nearest, 5.0f);
  float corner;
  std::memcpy(&corner, depthOnly.data.data(), 4);
  EXPECT_TRUE(std::isinf(corner));

  EXPECT_EQ(decode(world.cameras.capture("cam", only(false, false))).manifest["arrays"],
            json::array());

  const std::string before = both.data;
  world.articulations.setJointPositions(arm, targets({1.2, 0.9}, {{1, 2}}));
  world.step(0.1);  // one period of the 10 Hz camera
  EXPECT_TRUE(decode(world.cameras.capture("cam", Capture{})).data != before);
}

TEST_F(WorldTest, ACameraRendersAtItsFrequencyAndAnswersEarlierCapturesWithItsLastFrame) {
  const std::string arm = createArm();
  world.cameras.create(camera("/World/cam", Resolution{32, 24}, 10.0));
  world.step(0.5);
  const Decoded first = decode(world.cameras.capture("cam", Capture{}));
  EXPECT_EQ(first.manifest["structure"]["sim_time"], 0.5);

  // Within one period the camera answers its last frame, although the arm has moved since.
  world.articulations.setJointPositions(arm, targets({1.2, 0.9}, {{1, 2}}));
  for (int i = 0; i < 11; ++i) world.step(1.0 / 120);
  const Decoded early = decode(world.cameras.capture("cam", only(false, true)));
  EXPECT_EQ(early.manifest["structure"]["sim_time"], 0.5);
  EXPECT_TRUE(early.data == first.data.substr(32 * 24 * 3));

  // Twelve steps at the default physics rate make one period, although their sum falls short of
  // 0.1 by rounding.
  world.step(1.0 / 120);
  const Decoded next = decode(world.cameras.capture("cam", Capture{}));
  EXPECT_EQ(next.manifest["structure"]["sim_time"], world.simTime());
  EXPECT_GT(world.simTime(), 0.5);
  EXPECT_TRUE(next.data != first.data);
}

TEST_F(WorldTest, UrdfFilesAboveTheWorldsLimitAreRefused) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("strandel_world_limit_" + std::to_string(::getpid()) + ".urdf");
  std::ofstream(path).close();
  std::filesystem::resize_file(path, 4096);  // zero bytes: not a robot description, were it parsed
  World strict(WorldSettings{1.5, 0.25, 4095});
  const std::string message =
      "URDF file '" + path.string() + "' is larger than the limit of 4095 bytes";
  EXPECT_REFUSED(strict.articulations.create(arm("/World/big", path.string())), 422,
                 message.c_str());
  EXPECT_EQ(strict.overview()["articulations"], json::array());
  std::filesystem::remove(path);
}

TEST_F(WorldTest, ACameraIsCreatedOncePerPrimPathAndSettings) {
  EXPECT_EQ(world.cameras.create(camera("/c")).status, 201);
  EXPECT_EQ(world.cameras.create(camera("/c", Resolution{640, 480})).status, 200);
  EXPECT_REFUSED(world.cameras.create(camera("/c", Resolution{32, 32})), 409,
                 "prim path '/c' already holds camera 'c' with other settings");
  EXPECT_REFUSED(world.cameras.create(camera("/c", std::nullopt, 10.0)), 409,
                 "prim path '/c' already holds camera 'c' with other settings");
  world.cameras.remove("c");
  EXPECT_REFUSED(world.cameras.describe("c"), 404, "camera 'c' not found");
}

TEST_F(WorldTest, StreamTargetsMoveTheJointsOfOneIncarnation) {
  const std::string id = createArm();
  const auto serial = world.articulations.serial(id);
  ASSERT_TRUE(serial);
  world.articulations.applyStreamTargets(id, targets({0.1}, {{5}}));
  world.step(1.0);
  EXPECT_DOUBLE_EQ(
      world.articulations.streamMessage(id, StreamKind::JointPositions, 7)["joint_positions"][5]
          .get<double>(),
      0.1);
  EXPECT_EQ(world.articulations.streamMessage(id, StreamKind::JointPositions, 7)["sequence"], 7);
  EXPECT_REFUSED(world.articulations.applyStreamTargets(id, targets({0.1})), 422,
                 "joint_positions has 1 values but articulation 'arm' has 6 joints");

  world.articulations.remove(id);
  EXPECT_REFUSED(world.articulations.applyStreamTargets(id, targets({0.1}, {{5}})), 404,
                 "articulation 'arm' not found");
  createArm();
  EXPECT_NE(world.articulations.serial(id),
            serial);  // a new articulation under the same identifier
}

}  // namespace
}  // namespace strandel::mock_bridge
