#include "router.hpp"

#include <gtest/gtest.h>

namespace strandel::mock_bridge {
namespace {

class RouterTest : public ::testing::Test {
 protected:
  World world;
  Router router{world};

  /// The replies given so far, in order.
  std::vector<Reply> replies;

  void send(const std::string& method, const std::string& target, const std::string& body = "") {
    router.handle(Request{method, target, body}, [this](Reply reply) { replies.push_back(std::move(reply)); });
  }

  /// The one reply of a request answered at once.
  Reply call(const std::string& method, const std::string& target, const std::string& body = "") {
    const std::size_t before = replies.size();
    send(method, target, body);
    EXPECT_EQ(replies.size(), before + 1) << method << " " << target;
    return replies.empty() ? Reply{} : replies.back();
  }
};

TEST_F(RouterTest, ErrorsCarryTheirStatusInAJsonBody) {
  Reply r = call("GET", "/nothing/here?x=1");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.content_type, "application/json");
  EXPECT_EQ(json::parse(r.body), errorBody(404, "no endpoint at /nothing/here"));

  r = call("GET", "/articulations/ghost/joints_state");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(json::parse(r.body), errorBody(404, "articulation 'ghost' not found"));

  r = call("PUT", "/articulations", "{\"prim_path\":");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(json::parse(r.body)["error"].get<std::string>().rfind("malformed JSON: ", 0), 0u);

  r = call("PUT", "/articulations", "[]");
  EXPECT_EQ(r.status, 422);

  r = call("POST", "/articulations");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(json::parse(r.body), errorBody(405, "method POST is not allowed here; use PUT"));
  ASSERT_EQ(r.headers.size(), 1u);
  EXPECT_EQ(r.headers[0], std::make_pair(std::string("Allow"), std::string("PUT")));

  r = call("BREW", "/surface_grippers/g/properties");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.headers[0].second, "GET, PATCH");
}

TEST_F(RouterTest, EveryEndpointAnswers) {
  EXPECT_EQ(call("GET", "/").status, 200);
  EXPECT_EQ(call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})").status, 201);
  EXPECT_EQ(call("PUT", "/surface_grippers", R"({"prim_path":"/World/g"})").status, 201);
  EXPECT_EQ(call("PUT", "/cameras", R"({"prim_path":"/World/cam","resolution":[8,6]})").status, 201);
  const std::vector<std::tuple<std::string, std::string, std::string>> calls = {
      {"GET", "/articulations/arm", ""},
      {"POST", "/articulations/arm/assemble_robot",
       R"({"arm_mount_link":"tool0","gripper_id":"g","gripper_mount_link":null,"mask_collisions":true,"offset":null})"},
      {"GET", "/articulations/arm/dof_limits", ""},
      {"GET", "/articulations/arm/driver_joint", ""},
      {"GET", "/articulations/arm/joints_state", ""},
      {"POST", "/articulations/arm/set_j", R"({"indices":null,"joint_positions":[0.1,0.2,0.3,0.4,0.5,0.6]})"},
      {"POST", "/articulations/arm/move_j", R"({"asynchronous":true,"indices":[0],"joint_positions":[1.0]})"},
      {"PUT", "/articulations/arm/driven_joints", R"({"joint_names":["elbow"]})"},
      {"GET", "/surface_grippers/g", ""},
      {"GET", "/surface_grippers/g/status", ""},
      {"GET", "/surface_grippers/g/properties", ""},
      {"GET", "/surface_grippers/g/attachment_points", ""},
      {"PATCH", "/surface_grippers/g/properties", R"({"max_grip_distance":0.05})"},
      {"PATCH", "/surface_grippers/g/attachment_points", R"({"clearance_offset":0.0})"},
      {"POST", "/surface_grippers/g/close", R"({"asynchronous":true})"},
      {"POST", "/surface_grippers/g/open", R"({"asynchronous":true})"},
      {"GET", "/cameras/cam", ""},
      {"DELETE", "/cameras/cam", ""},
      {"DELETE", "/surface_grippers/g", ""},
      {"DELETE", "/articulations/arm", ""},
  };
  for (const auto& [method, target, body] : calls) {
    const Reply r = call(method, target, body);
    EXPECT_EQ(r.status, 200) << method << " " << target << ": " << r.body;
  }
  EXPECT_EQ(json::parse(replies.back().body), json({{"articulation_id", "arm"}, {"removed", true}}));
  EXPECT_EQ(call("GET", "/articulations/arm").status, 404);
}

TEST_F(RouterTest, CaptureAnswersABinaryFrameAndAnEmptyBodyCountsAsAnEmptyObject) {
  call("PUT", "/cameras", R"({"prim_path":"/World/cam","resolution":[4,3]})");
  const Reply r = call("POST", "/cameras/cam/capture");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "application/octet-stream");
  EXPECT_EQ(r.body.substr(0, 4), "QXB1");
  EXPECT_EQ(r.body.size(), 8u + (static_cast<unsigned char>(r.body[4]) | (static_cast<unsigned char>(r.body[5]) << 8)) +
                               4u * 3u * 7u);
}

TEST_F(RouterTest, ASynchronousMoveIsAnsweredWhenTheMotionEnds) {
  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  send("POST", "/articulations/arm/move_j", R"({"asynchronous":false,"indices":[0],"joint_positions":[0.2]})");
  send("POST", "/surface_grippers/none/close", R"({"asynchronous":false})");
  ASSERT_EQ(replies.size(), 2u);  // the create and the 404 for the unknown gripper
  EXPECT_EQ(replies[1].status, 404);
  world.step(0.05);
  EXPECT_EQ(replies.size(), 2u);
  world.step(0.05);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[2].status, 200);
  const json state = json::parse(replies[2].body);
  EXPECT_EQ(state["status"], "reached");
  EXPECT_DOUBLE_EQ(state["joint_positions"][0].get<double>(), 0.2);
}

TEST_F(RouterTest, StreamPathsAreRecognisedAndPlainRequestsToThemAskForAnUpgrade) {
  const auto route = matchStreamRoute("/articulations/arm/stream_articulation_state");
  ASSERT_TRUE(route);
  EXPECT_EQ(route->articulation_id, "arm");
  EXPECT_EQ(route->kind, StreamKind::ArticulationState);
  EXPECT_EQ(matchStreamRoute("/articulations/arm/stream_joint_positions")->kind, StreamKind::JointPositions);
  EXPECT_FALSE(matchStreamRoute("/articulations/arm/joints_state"));
  EXPECT_FALSE(matchStreamRoute("/articulations//arm/stream_joint_positions"));

  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  const Reply r = call("GET", "/articulations/arm/stream_joint_positions");
  EXPECT_EQ(r.status, 426);
  EXPECT_EQ(json::parse(r.body), errorBody(426, "this endpoint is a WebSocket stream; send an upgrade request"));
}

}  // namespace
}  // namespace strandel::mock_bridge
