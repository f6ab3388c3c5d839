#include "world.hpp"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace strandel::mock_bridge {
namespace {

/// Runs `call` and returns the ApiError it throws; fails the test when it does not throw one.
template <typename Call>
ApiError refusal(Call&& call) {
  try {
    call();
  } catch (const ApiError& e) {
    return e;
  }
  ADD_FAILURE() << "expected an ApiError";
  return ApiError(0, "");
}

#define EXPECT_REFUSED(call_, status_, message_)        \
  do {                                                  \
    const ApiError e_ = refusal([&] { (void)(call_); }); \
    EXPECT_EQ(e_.status(), status_);                    \
    EXPECT_STREQ(e_.what(), message_);                  \
  } while (0)

json armBody(const char* prim = "/World/arm") { return json{{"prim_path", prim}, {"urdf_path", nullptr}}; }

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
    return world.createArticulation(armBody(prim)).body["articulation_id"];
  }
};

TEST_F(WorldTest, CreateIsIdempotentPerPrimPathAndIdentifiersStayUnique) {
  const Answer first = world.createArticulation(armBody());
  EXPECT_EQ(first.status, 201);
  EXPECT_EQ(first.body["articulation_id"], "arm");
  EXPECT_EQ(first.body["num_dof"], 6);

  const Answer again = world.createArticulation(armBody());
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.body["articulation_id"], "arm");

  EXPECT_EQ(world.createArticulation(armBody("/Other/arm")).body["articulation_id"], "arm_2");
  EXPECT_EQ(world.createArticulation(armBody("/World/my robot!")).body["articulation_id"], "my_robot_");

  EXPECT_REFUSED(world.createArticulation(json{{"prim_path", "/World/arm"}, {"urdf_path", "/x.urdf"}}), 409,
                 "prim path '/World/arm' already holds articulation 'arm' made from the default arm");
  EXPECT_REFUSED(world.createArticulation(json{{"prim_path", "World"}}), 422,
                 "prim_path must be an absolute prim path such as /World/robot, not 'World'");
  EXPECT_REFUSED(world.createArticulation(json{{"urdf_path", nullptr}}), 422, "prim_path is required");
  EXPECT_REFUSED(world.createArticulation(json::array()), 422, "the request body must be a JSON object");
  EXPECT_REFUSED(world.createArticulation(json{{"prim_path", "/W/b"}, {"urdf_path", "/missing.urdf"}}), 422,
                 "cannot read URDF file '/missing.urdf'");
  EXPECT_EQ(world.overview()["articulations"], json({"arm", "arm_2", "my_robot_"}));
}

TEST_F(WorldTest, UnknownIdentifiersAre404) {
  EXPECT_REFUSED(world.jointsState("ghost"), 404, "articulation 'ghost' not found");
  EXPECT_REFUSED(world.gripperStatus("ghost"), 404, "surface gripper 'ghost' not found");
  EXPECT_REFUSED(world.capture("ghost", json::object()), 404, "camera 'ghost' not found");
  EXPECT_REFUSED(world.removeArticulation("ghost"), 404, "articulation 'ghost' not found");
}

TEST_F(WorldTest, SetJointPositionsValidatesShapesIndicesAndLimits) {
  const std::string id = createArm();
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", {1.0, 2.0}}, {"indices", nullptr}}), 422,
                 "joint_positions has 2 values but articulation 'arm' has 6 joints");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", {1.0, 2.0}}, {"indices", {0}}}), 422,
                 "joint_positions has 2 values but indices has 1");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", {1.0}}, {"indices", {6}}}), 422,
                 "indices[0] = 6 is out of range for 6 joints");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", {1.0}}, {"indices", {-1}}}), 422,
                 "indices[0] = -1 is out of range for 6 joints");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", {0.1, 0.2}}, {"indices", {2, 2}}}), 422,
                 "indices[1] repeats joint 2");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", {0.1}}, {"indices", {1.5}}}), 422,
                 "indices[0] must be an integer");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", {nullptr}}, {"indices", {0}}}), 422,
                 "joint_positions[0] must be a finite number");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", "fast"}}), 422,
                 "joint_positions must be an array of numbers");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"indices", nullptr}}), 422, "joint_positions is required");
  EXPECT_REFUSED(world.setJointPositions(id, json{{"joint_positions", {2.5}}, {"indices", {1}}}), 422,
                 "joint_positions value 2.5 is outside the limits of joint 'shoulder_lift' [-2.0, 2.0]");
  // A refused command changes nothing.
  EXPECT_EQ(world.jointsState(id)["joint_positions"], json(std::vector<double>(6, 0.0)));

  const json state = world.setJointPositions(id, json{{"joint_positions", {0.5, -1.0}}, {"indices", {3, 0}}});
  EXPECT_EQ(state["joint_positions"], json({-1.0, 0.0, 0.0, 0.5, 0.0, 0.0}));
  EXPECT_EQ(state["moving"], false);
}

TEST_F(WorldTest, MoveAdvancesAtTheJointSpeedInSimulatedTimeAndCompletesWaiters) {
  const std::string id = createArm();
  // shoulder_pan is bounded at 2 rad/s, elbow at 2.5 rad/s.
  const Started started =
      world.moveJointPositions(id, json{{"joint_positions", {1.0, 1.0}}, {"indices", {0, 2}}, {"asynchronous", false}});
  EXPECT_TRUE(started.wait);
  std::vector<json> answers;
  world.whenArticulationSettled(id, [&](int status, const json& body) {
    EXPECT_EQ(status, 200);
    answers.push_back(body);
  });

  world.step(0.25);
  json state = world.jointsState(id);
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

  const Started async =
      world.moveJointPositions(id, json{{"joint_positions", {0.0}}, {"indices", {0}}, {"asynchronous", true}});
  EXPECT_FALSE(async.wait);
  EXPECT_EQ(async.answer["status"], "moving");
  EXPECT_DOUBLE_EQ(async.answer["expected_duration"].get<double>(), 0.5);
}

TEST_F(WorldTest, RemovingAnArticulationEndsItsWaitersWith410) {
  const std::string id = createArm();
  world.moveJointPositions(id, json{{"joint_positions", {1.0}}, {"indices", {0}}});
  int status = 0;
  json body;
  world.whenArticulationSettled(id, [&](int s, const json& b) {
    status = s;
    body = b;
  });
  world.removeArticulation(id);
  EXPECT_EQ(status, 410);
  EXPECT_EQ(body, errorBody(410, "articulation 'arm' was removed before its motion ended"));
  EXPECT_FALSE(world.serial(id));
}

TEST_F(WorldTest, DrivenJointsLimitWhatMovesAndStopUndrivenOnes) {
  const std::string id = createArm();
  world.moveJointPositions(id, json{{"joint_positions", {1.0, 1.0}}, {"indices", {0, 1}}});
  world.step(0.1);
  EXPECT_EQ(world.setDrivenJoints(id, json{{"joint_names", {"shoulder_lift"}}})["driven_joints"],
            json({"shoulder_lift"}));
  world.step(1.0);
  const json state = world.jointsState(id);
  EXPECT_DOUBLE_EQ(state["joint_positions"][0].get<double>(), 0.2);  // stopped where it was
  EXPECT_DOUBLE_EQ(state["joint_positions"][1].get<double>(), 1.0);

  EXPECT_REFUSED(world.moveJointPositions(id, json{{"joint_positions", {0.0}}, {"indices", {0}}}), 422,
                 "joint 'shoulder_pan' is not driven; choose it with driven_joints first");
  EXPECT_REFUSED(world.setDrivenJoints(id, json{{"joint_names", {"elbow", "knee"}}}), 422,
                 "unknown joint 'knee'; the joints are shoulder_pan, shoulder_lift, elbow, wrist_1, wrist_2, wrist_3");
  EXPECT_REFUSED(world.setDrivenJoints(id, json{{"joint_names", {"elbow", "elbow"}}}), 422,
                 "joint_names repeats 'elbow'");
  EXPECT_REFUSED(world.setDrivenJoints(id, json::object()), 422, "joint_names is required");
}

TEST_F(WorldTest, AssemblyMountsAGripperOnALink) {
  const std::string arm = createArm();
  EXPECT_EQ(world.createGripper(json{{"prim_path", "/World/arm/tool0/gripper"}}).status, 201);
  const json mount{{"gripper_id", "gripper"}, {"arm_mount_link", "tool0"}, {"gripper_mount_link", nullptr},
                   {"offset", {0.0, 0.0, 0.02}}, {"mask_collisions", true}};
  const json answer = world.assembleRobot(arm, mount);
  EXPECT_EQ(answer["assembled"], true);
  EXPECT_EQ(answer["offset"], json({0.0, 0.0, 0.02}));
  EXPECT_EQ(world.gripper("gripper")["mounted_on"], "arm");
  EXPECT_EQ(world.streamMessage(arm, StreamKind::ArticulationState, 0)["gripper"],
            json({{"status", "open"}, {"surface_gripper_id", "gripper"}}));

  json badLink = mount;
  badLink["arm_mount_link"] = "hand";
  EXPECT_REFUSED(world.assembleRobot(arm, badLink), 422,
                 "arm_mount_link 'hand' is not a link of articulation 'arm'; its links are base_link, shoulder_link, "
                 "upper_arm_link, forearm_link, wrist_1_link, wrist_2_link, wrist_3_link, tool0");
  json badOffset = mount;
  badOffset["offset"] = {1.0, 2.0};
  EXPECT_REFUSED(world.assembleRobot(arm, badOffset), 422, "offset must be null, [x, y, z] or [x, y, z, qw, qx, qy, qz]");
  json unknown = mount;
  unknown["gripper_id"] = "nope";
  EXPECT_REFUSED(world.assembleRobot(arm, unknown), 404, "surface gripper 'nope' not found");

  const std::string other = createArm("/World/other");
  EXPECT_REFUSED(world.assembleRobot(other, mount), 409,
                 "surface gripper 'gripper' is already mounted on articulation 'arm'");
  world.removeArticulation(arm);
  EXPECT_EQ(world.gripper("gripper")["mounted_on"], nullptr);
  EXPECT_EQ(world.assembleRobot(other, mount)["articulation_id"], "other");
}

TEST_F(WorldTest, GripperClosesOverSimulatedTime) {
  world.createGripper(json{{"prim_path", "/World/g"}});
  const Started close = world.closeGripper("g", json{{"asynchronous", false}});
  EXPECT_TRUE(close.wait);
  EXPECT_EQ(close.answer["status"], "closing");
  json finalStatus;
  world.whenGripperSettled("g", [&](int status, const json& body) {
    EXPECT_EQ(status, 200);
    finalStatus = body;
  });
  world.step(0.2);
  EXPECT_TRUE(finalStatus.is_null());
  world.step(0.1);
  EXPECT_EQ(finalStatus["status"], "closed");
  EXPECT_FALSE(world.closeGripper("g", json{{"asynchronous", false}}).wait);  // already closed
  EXPECT_EQ(world.openGripper("g", json{{"asynchronous", true}}).answer["status"], "opening");
}

TEST_F(WorldTest, GripperPropertyPatchesArePartialAndAllOrNothing) {
  world.createGripper(json{{"prim_path", "/World/g"}});
  const json before = world.gripperProperties("g")["properties"];
  const json answer = world.patchGripperProperties(
      "g", json{{"max_grip_distance", 0.05},
                {"rotation_limits", {{"x", nullptr}, {"y", nullptr}, {"z", {{"maximum", 0.5}, {"minimum", -0.5}}}}},
                {"forward_axis", "z"}});
  json expected = before;
  expected["max_grip_distance"] = 0.05;
  expected["rotation_limits"]["z"] = {{"maximum", 0.5}, {"minimum", -0.5}};
  expected["forward_axis"] = "Z";
  EXPECT_EQ(answer["properties"], expected);
  EXPECT_EQ(answer["updated"], json({"forward_axis", "max_grip_distance", "rotation_limits"}));

  EXPECT_REFUSED(world.patchGripperProperties("g", json{{"coaxial_force_limit", 1.0}, {"shear_force_limit", -1.0}}),
                 422, "shear_force_limit must not be negative");
  EXPECT_REFUSED(world.patchGripperProperties("g", json{{"retry_interval", nullptr}}), 422,
                 "retry_interval must be a finite number");
  EXPECT_REFUSED(world.patchGripperProperties(
                     "g", json{{"translation_limits", {{"x", {{"maximum", 0.0}, {"minimum", 1.0}}}}}}),
                 422, "translation_limits.x.minimum 1.0 is above its maximum 0.0");
  EXPECT_REFUSED(world.patchGripperProperties("g", json{{"grip", 1}}), 422,
                 "unknown property 'grip'; the properties are coaxial_force_limit, forward_axis, "
                 "max_grip_distance, retry_interval, rotation_limits, shear_force_limit, translation_limits");
  EXPECT_EQ(world.gripperProperties("g")["properties"], expected);  // refused patches changed nothing
  EXPECT_EQ(world.patchGripperProperties("g", json::object())["properties"], expected);
}

TEST_F(WorldTest, AttachmentPointPatchesReplaceThePathListAndApplySettingsToEveryPoint) {
  world.createGripper(json{{"prim_path", "/World/g"}});
  world.patchAttachmentPoints("g", json{{"clearance_offset", 0.01}});
  const json answer = world.patchAttachmentPoints(
      "g", json{{"joint_paths", {"/World/g/attachment_point_1", "/World/g/new"}},
                {"local_pose_1", {1, 2, 3}},
                {"z_axis_translation_drive_damping", 5.0}});
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
  EXPECT_REFUSED(world.patchAttachmentPoints("g", json{{"joint_paths", {"/a", "/a"}}}), 422, "joint_paths repeats '/a'");
  EXPECT_REFUSED(world.patchAttachmentPoints("g", json{{"local_pose_0", 3}}), 422,
                 "local_pose_0 must be a JSON object or array describing a pose");
  EXPECT_EQ(world.attachmentPoints("g")["attachment_points"], points);
}

TEST_F(WorldTest, CaptureHonoursDataTypesAndShowsTheArmsPose) {
  const std::string arm = createArm();
  EXPECT_EQ(world.createCamera(json{{"prim_path", "/World/cam"}, {"resolution", {64, 48}}, {"frequency", 10.0}}).status,
            201);
  const Decoded both = decode(world.capture("cam", json::object()));
  const json& arrays = both.manifest["arrays"];
  ASSERT_EQ(arrays.size(), 2u);
  EXPECT_EQ(both.manifest["structure"]["rgb"], json({{"__ndarray__", 0}}));
  EXPECT_EQ(both.manifest["structure"]["depth"], json({{"__ndarray__", 1}}));
  EXPECT_EQ(arrays[0], json({{"dtype", "uint8"}, {"nbytes", 64 * 48 * 3}, {"offset", 0}, {"shape", {48, 64, 3}}}));
  EXPECT_EQ(arrays[1], json({{"dtype", "float32"}, {"nbytes", 64 * 48 * 4}, {"offset", 64 * 48 * 3}, {"shape", {48, 64}}}));
  EXPECT_EQ(both.data.size(), 64u * 48u * 7u);

  const Decoded depthOnly = decode(world.capture("cam", json{{"data_types", {"depth"}}, {"world_frame", true}}));
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

  EXPECT_EQ(decode(world.capture("cam", json{{"data_types", json::array()}})).manifest["arrays"], json::array());
  EXPECT_REFUSED(world.capture("cam", json{{"data_types", {"rgb", "normals"}}}), 422,
                 "data_types[1] 'normals' is not offered; the stand-in offers rgb and depth");

  const std::string before = both.data;
  world.setJointPositions(arm, json{{"joint_positions", {1.2, 0.9}}, {"indices", {1, 2}}});
  world.step(0.1);  // one period of the 10 Hz camera
  EXPECT_TRUE(decode(world.capture("cam", json::object())).data != before);
}

TEST_F(WorldTest, ACameraRendersAtItsFrequencyAndAnswersEarlierCapturesWithItsLastFrame) {
  const std::string arm = createArm();
  world.createCamera(json{{"prim_path", "/World/cam"}, {"resolution", {32, 24}}, {"frequency", 10.0}});
  world.step(0.5);
  const Decoded first = decode(world.capture("cam", json::object()));
  EXPECT_EQ(first.manifest["structure"]["sim_time"], 0.5);

  // Within one period the camera answers its last frame, although the arm has moved since.
  world.setJointPositions(arm, json{{"joint_positions", {1.2, 0.9}}, {"indices", {1, 2}}});
  for (int i = 0; i < 11; ++i) world.step(1.0 / 120);
  const Decoded early = decode(world.capture("cam", json{{"data_types", {"depth"}}}));
  EXPECT_EQ(early.manifest["structure"]["sim_time"], 0.5);
  EXPECT_TRUE(early.data == first.data.substr(32 * 24 * 3));

  // Twelve steps at the default physics rate make one period, although their sum falls short of
  // 0.1 by rounding.
  world.step(1.0 / 120);
  const Decoded next = decode(world.capture("cam", json::object()));
  EXPECT_EQ(next.manifest["structure"]["sim_time"], world.simTime());
  EXPECT_GT(world.simTime(), 0.5);
  EXPECT_TRUE(next.data != first.data);
}

TEST_F(WorldTest, UrdfFilesAboveTheWorldsLimitAreRefused) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("strandel_world_limit_" + std::to_string(::getpid()) + ".urdf");
  std::ofstream(path).close();
  std::filesystem::resize_file(path, 4096);  // zero bytes: not a robot description, were it parsed
  World strict(WorldSettings{1.5, 0.25, 4095});
  const std::string message = "URDF file '" + path.string() + "' is larger than the limit of 4095 bytes";
  EXPECT_REFUSED(strict.createArticulation(json{{"prim_path", "/World/big"}, {"urdf_path", path.string()}}), 422,
                 message.c_str());
  EXPECT_EQ(strict.overview()["articulations"], json::array());
  std::filesystem::remove(path);
}

TEST_F(WorldTest, CameraSettingsAreChecked) {
  EXPECT_REFUSED(world.createCamera(json{{"prim_path", "/c"}, {"resolution", {640, 480, 3}}}), 422,
                 "resolution must be [width, height] with each an integer from 1 to 4096");
  EXPECT_REFUSED(world.createCamera(json{{"prim_path", "/c"}, {"resolution", {0, 480}}}), 422,
                 "resolution must be [width, height] with each an integer from 1 to 4096");
  EXPECT_REFUSED(world.createCamera(json{{"prim_path", "/c"}, {"frequency", 0}}), 422,
                 "frequency must be above 0 and at most 1000.0 frames per second");
  EXPECT_EQ(world.createCamera(json{{"prim_path", "/c"}}).status, 201);
  EXPECT_EQ(world.createCamera(json{{"prim_path", "/c"}, {"resolution", {640, 480}}}).status, 200);
  EXPECT_REFUSED(world.createCamera(json{{"prim_path", "/c"}, {"resolution", {32, 32}}}), 409,
                 "prim path '/c' already holds camera 'c' with other settings");
  world.removeCamera("c");
  EXPECT_REFUSED(world.describeCamera("c"), 404, "camera 'c' not found");
}

TEST_F(WorldTest, StreamCommandsSetTargetsAndRejectBadText) {
  const std::string id = createArm();
  const auto serial = world.serial(id);
  ASSERT_TRUE(serial);
  world.applyStreamCommand(id, R"({"joint_positions":[0.1],"indices":[5]})");
  world.step(1.0);
  EXPECT_DOUBLE_EQ(world.streamMessage(id, StreamKind::JointPositions, 7)["joint_positions"][5].get<double>(), 0.1);
  EXPECT_EQ(world.streamMessage(id, StreamKind::JointPositions, 7)["sequence"], 7);
  const ApiError malformed = refusal([&] { world.applyStreamCommand(id, "{oops"); });
  EXPECT_EQ(malformed.status(), 400);
  EXPECT_EQ(std::string(malformed.what()).rfind("malformed JSON: ", 0), 0u);
  EXPECT_REFUSED(world.applyStreamCommand(id, "[1,2]"), 422, "the request body must be a JSON object");

  world.removeArticulation(id);
  createArm();
  EXPECT_NE(world.serial(id), serial);  // a new articulation under the same identifier
}

}  // namespace
}  // namespace strandel::mock_bridge
