#include "command_reader.hpp"

#include <gtest/gtest.h>

#include "body_reader.hpp"
#include "refusal.hpp"

namespace strandel::mock_bridge {
namespace {

TEST(BodyText, AnEmptyRequestBodyIsAnEmptyObjectAndOtherTextMustBeJson) {
  EXPECT_EQ(parseRequestBody(""), json::object());
  EXPECT_EQ(parseRequestBody(" \r\n\t"), json::object());
  EXPECT_EQ(parseRequestBody("[1]"), json({1}));
  for (const std::string text : {"{oops", ""}) {
    const ApiError malformed = refusal([&] { parseMessage(text); });
    EXPECT_EQ(malformed.status(), 400);
    EXPECT_EQ(std::string(malformed.what()).rfind("malformed JSON: ", 0), 0u);
  }
}

TEST(BodyText, NestingIsBoundedBeforeParsingAndNumbersOutOfRangeAreMalformed) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  const char* tooDeep = "malformed JSON: nested deeper than 64 levels";
  EXPECT_TRUE(parseMessage(nested(64)).is_array());
  EXPECT_REFUSED(parseMessage(nested(65)), 400, tooDeep);
  EXPECT_REFUSED(parseRequestBody("{\"local_pose_0\":" + nested(200000) + "}"), 400, tooDeep);
  // Brackets inside strings do not count; a backslash escapes the one character after it.
  EXPECT_EQ(parseMessage("[\"\\\"" + std::string(100, '[') + "\"]"),
            json::array({"\"" + std::string(100, '[')}));
  EXPECT_REFUSED(parseMessage("[\"\\\\\"," + nested(64) + "]"), 400, tooDeep);
  for (const std::string text : {"[1e400]", "{\"a\":-1e400}"}) {
    const ApiError range = refusal([&] { parseMessage(text); });
    EXPECT_EQ(range.status(), 400) << text;
    EXPECT_EQ(std::string(range.what()).rfind("malformed JSON: ", 0), 0u) << range.what();
  }
}

TEST(ReadCommands, CreatesNeedAnAbsolutePrimPathInAnObject) {
  const CreateArticulation arm =
      readCreateArticulation(json{{"prim_path", "/W/a"}, {"urdf_path", nullptr}});
  EXPECT_EQ(arm.prim_path, "/W/a");
  EXPECT_FALSE(arm.urdf_path);
  EXPECT_EQ(readCreateArticulation(json{{"prim_path", "/W/a"}, {"urdf_path", "/a.urdf"}}).urdf_path,
            "/a.urdf");
  EXPECT_REFUSED(readCreateArticulation(json{{"prim_path", "World"}}), 422,
                 "prim_path must be an absolute prim path such as /World/robot, not 'World'");
  EXPECT_REFUSED(readCreateArticulation(json{{"urdf_path", nullptr}}), 422,
                 "prim_path is required");
  EXPECT_REFUSED(readCreateArticulation(json::array()), 422,
                 "the request body must be a JSON object");
  EXPECT_REFUSED(readCreateArticulation(json{{"prim_path", "/W/a"}, {"urdf_path", 3}}), 422,
                 "urdf_path must be a string");
  EXPECT_REFUSED(readCreateGripper(json{{"prim_path", "/"}}), 422,
                 "prim_path must be an absolute prim path such as /World/robot, not '/'");
}

TEST(ReadCommands, JointTargetsHaveFiniteValuesAndOneIntegerIndexPerValue) {
  const JointTargets all =
      readJointTargets(json{{"joint_positions", {1.0, 2.0}}, {"indices", nullptr}});
  EXPECT_EQ(all.joint_positions, std::vector<double>({1.0, 2.0}));
  EXPECT_FALSE(all.indices);
  EXPECT_EQ(readJointTargets(json{{"joint_positions", {1.0}}, {"indices", {9}}}).indices,
            std::vector<std::int64_t>({9}));  // checked against the joints by the world
  EXPECT_REFUSED(readJointTargets(json{{"joint_positions", {1.0, 2.0}}, {"indices", {0}}}), 422,
                 "joint_positions has 2 values but indices has 1");
  EXPECT_REFUSED(readJointTargets(json{{"joint_positions", {0.1}}, {"indices", {1.5}}}), 422,
                 "indices[0] must be an integer");
  EXPECT_REFUSED(readJointTargets(json{{"joint_positions", {nullptr}}, {"indices", {0}}}), 422,
                 "joint_positions[0] must be a finite number");
  EXPECT_REFUSED(readJointTargets(json{{"joint_positions", "fast"}}), 422,
                 "joint_positions must be an array of numbers");
  EXPECT_REFUSED(readJointTargets(json{{"indices", nullptr}}), 422, "joint_positions is required");
  EXPECT_REFUSED(readJointTargets(json{1, 2}), 422, "the request body must be a JSON object");

  const MoveJoints move = readMoveJoints(json{{"joint_positions", {0.0}}, {"asynchronous", true}});
  EXPECT_TRUE(move.asynchronous);
  EXPECT_FALSE(readMoveJoints(json{{"joint_positions", {0.0}}}).asynchronous);
  EXPECT_REFUSED(readMoveJoints(json{{"asynchronous", 1}}), 422,
                 "asynchronous must be true or false");

  EXPECT_EQ(readDrivenJoints(json{{"joint_names", {"a", "b"}}}).joint_names,
            std::vector<std::string>({"a", "b"}));
  EXPECT_REFUSED(readDrivenJoints(json::object()), 422, "joint_names is required");
  EXPECT_REFUSED(readDrivenJoints(json{{"joint_names", {1}}}), 422,
                 "joint_names[0] must be a string");
}

TEST(ReadCommands, AssemblyRunsTheWorldsChecksAsSoonAsTheirKeyIsRead) {
  std::vector<std::string> checked;
  const MountChecks record{[&](const std::string& g) { checked.push_back("gripper " + g); },
                           [&](const std::string& l) { checked.push_back("link " + l); }};
  const json mount{{"gripper_id", "g"},
                   {"arm_mount_link", "tool0"},
                   {"gripper_mount_link", nullptr},
                   {"offset", {0.0, 0.0, 0.02}},
                   {"mask_collisions", false}};
  const AssembleRobot command = readAssembleRobot(mount, record);
  EXPECT_EQ(checked, std::vector<std::string>({"gripper g", "link tool0"}));
  EXPECT_EQ(command.offset, std::vector<double>({0.0, 0.0, 0.02}));
  EXPECT_FALSE(command.gripper_mount_link);
  EXPECT_FALSE(command.mask_collisions);

  json badOffset = mount;
  badOffset["offset"] = {1.0, 2.0};
  EXPECT_REFUSED(readAssembleRobot(badOffset, record), 422,
                 "offset must be null, [x, y, z] or [x, y, z, qw, qx, qy, qz]");
  EXPECT_REFUSED(readAssembleRobot(json{{"gripper_id", "g"}}, record), 422,
                 "arm_mount_link is required");

  // An unknown gripper is reported before a fault in any later key.
  const MountChecks noGripper{[](const std::string& g) { throw ApiError(404, "no " + g); },
                              [](const std::string&) {}};
  EXPECT_REFUSED(readAssembleRobot(json{{"gripper_id", "g"}}, noGripper), 404, "no g");
  const MountChecks noLink{[](const std::string&) {},
                           [](const std::string& l) { throw ApiError(422, "no " + l); }};
  EXPECT_REFUSED(readAssembleRobot(json{{"gripper_id", "g"}, {"arm_mount_link", "hand"}}, noLink),
                 422, "no hand");
}

TEST(ReadCommands, GripperPropertyPatchesHoldValidKeysOnly) {
  const GripperPropertiesPatch patch = readGripperPropertiesPatch(
      json{{"max_grip_distance", 0.05},
           {"rotation_limits", {{"x", nullptr}, {"z", {{"maximum", 0.5}, {"minimum", -0.5}}}}},
           {"forward_axis", "-z"}});
  EXPECT_EQ(patch.max_grip_distance, 0.05);
  ASSERT_TRUE(patch.rotation_limits);
  EXPECT_FALSE((*patch.rotation_limits)[0]);
  EXPECT_FALSE((*patch.rotation_limits)[1]);
  ASSERT_TRUE((*patch.rotation_limits)[2]);
  EXPECT_EQ((*patch.rotation_limits)[2]->minimum, -0.5);
  EXPECT_EQ((*patch.rotation_limits)[2]->maximum, 0.5);
  EXPECT_EQ(patch.forward_axis, "-Z");
  EXPECT_EQ(patch.updated,
            std::vector<std::string>({"forward_axis", "max_grip_distance", "rotation_limits"}));
  EXPECT_FALSE(patch.coaxial_force_limit);

  EXPECT_REFUSED(
      readGripperPropertiesPatch(json{{"coaxial_force_limit", 1.0}, {"shear_force_limit", -1.0}}),
      422, "shear_force_limit must not be negative");
  EXPECT_REFUSED(readGripperPropertiesPatch(json{{"retry_interval", nullptr}}), 422,
                 "retry_interval must be a finite number");
  EXPECT_REFUSED(readGripperPropertiesPatch(
                     json{{"translation_limits", {{"x", {{"maximum", 0.0}, {"minimum", 1.0}}}}}}),
                 422, "translation_limits.x.minimum 1.0 is above its maximum 0.0");
  EXPECT_REFUSED(readGripperPropertiesPatch(json{{"rotation_limits", {{"w", nullptr}}}}), 422,
                 "rotation_limits has no axis 'w'; the axes are x, y and z");
  EXPECT_REFUSED(readGripperPropertiesPatch(json{{"forward_axis", "up"}}), 422,
                 "forward_axis must be one of X, Y, Z, -X, -Y, -Z, not 'up'");
  EXPECT_REFUSED(
      readGripperPropertiesPatch(json{{"grip", 1}}), 422,
      "unknown property 'grip'; the properties are coaxial_force_limit, forward_axis, "
      "max_grip_distance, retry_interval, rotation_limits, shear_force_limit, translation_limits");
}

TEST(ReadCommands, AttachmentPointPatchesReadJointPathsFirst) {
  const AttachmentPointsPatch patch = readAttachmentPointsPatch(
      json{{"joint_paths", {"/a", "/b"}}, {"local_pose_1", {1, 2, 3}}, {"clearance_offset", -0.5}});
  EXPECT_EQ(patch.joint_paths, std::vector<std::string>({"/a", "/b"}));
  EXPECT_EQ(patch.local_pose_1, json({1, 2, 3}));
  EXPECT_EQ(patch.clearance_offset, -0.5);
  EXPECT_EQ(patch.updated,
            std::vector<std::string>({"clearance_offset", "joint_paths", "local_pose_1"}));

  EXPECT_REFUSED(readAttachmentPointsPatch(json{{"joint_paths", {"/a", "/a"}}}), 422,
                 "joint_paths repeats '/a'");
  EXPECT_REFUSED(readAttachmentPointsPatch(json{{"joint_paths", {""}}}), 422,
                 "joint_paths must not hold an empty path");
  EXPECT_REFUSED(readAttachmentPointsPatch(json{{"joint_paths", nullptr}}), 422,
                 "joint_paths must be an array of strings");
  EXPECT_REFUSED(
      readAttachmentPointsPatch(json{{"clearance_offset", "x"}, {"joint_paths", {"/a", "/a"}}}),
      422, "joint_paths repeats '/a'");
  EXPECT_REFUSED(readAttachmentPointsPatch(json{{"local_pose_0", 3}}), 422,
                 "local_pose_0 must be a JSON object or array describing a pose");
}

TEST(ReadCommands, CameraSettingsAndCapturesAreChecked) {
  const CreateCamera defaults = readCreateCamera(json{{"prim_path", "/c"}});
  EXPECT_FALSE(defaults.resolution);
  EXPECT_EQ(defaults.frequency, 30.0);
  const CreateCamera small =
      readCreateCamera(json{{"prim_path", "/c"}, {"resolution", {8, 6}}, {"frequency", 5}});
  ASSERT_TRUE(small.resolution);
  EXPECT_EQ(small.resolution->width, 8);
  EXPECT_EQ(small.resolution->height, 6);
  EXPECT_EQ(small.frequency, 5.0);
  EXPECT_REFUSED(readCreateCamera(json{{"prim_path", "/c"}, {"resolution", {640, 480, 3}}}), 422,
                 "resolution must be [width, height] with each an integer from 1 to 4096");
  EXPECT_REFUSED(readCreateCamera(json{{"prim_path", "/c"}, {"resolution", {0, 480}}}), 422,
                 "resolution must be [width, height] with each an integer from 1 to 4096");
  EXPECT_EQ(readCreateCamera(json{{"prim_path", "/c"}, {"frequency", 0.01}}).frequency, 0.01);
  EXPECT_EQ(readCreateCamera(json{{"prim_path", "/c"}, {"frequency", 1000}}).frequency, 1000.0);
  for (const double absurd : {0.0, 1e-10, 0.0099, -30.0, 1000.5, 1e300})
    EXPECT_REFUSED(readCreateCamera(json{{"prim_path", "/c"}, {"frequency", absurd}}), 422,
                   "frequency must be between 0.01 and 1000.0 frames per second");

  const Capture both = readCapture(json::object());
  EXPECT_TRUE(both.rgb && both.depth && !both.world_frame);
  const Capture none = readCapture(json{{"data_types", json::array()}, {"world_frame", true}});
  EXPECT_TRUE(!none.rgb && !none.depth && none.world_frame);
  const Capture depth = readCapture(json{{"data_types", {"depth"}}});
  EXPECT_TRUE(!depth.rgb && depth.depth);
  EXPECT_REFUSED(readCapture(json{{"data_types", {"rgb", "normals"}}}), 422,
                 "data_types[1] 'normals' is not offered; the stand-in offers rgb and depth");
}

}  // namespace
}  // namespace strandel::mock_bridge
