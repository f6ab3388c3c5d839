#include "router.hpp"

#include <gtest/gtest.h>

#include "refusal.hpp"

namespace strandel::mock_bridge {
namespace {

class RouterTest : public ::testing::Test {
 protected:
  World world;
  Router router{world};

  /// The replies given so far, in order.
  std::vector<Reply> replies;

  void send(const std::string& method, const std::string& target, const std::string& body = "") {
    router.handle(Request{method, target, body},
                  [this](Reply reply) { replies.push_back(std::move(reply)); });
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
  EXPECT_EQ(call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})").status,
            201);
  EXPECT_EQ(call("PUT", "/surface_grippers", R"({"prim_path":"/World/g"})").status, 201);
  EXPECT_EQ(call("PUT", "/cameras", R"({"prim_path":"/World/cam","resolution":[8,6]})").status,
            201);
  const std::vector<std::tuple<std::string, std::string, std::string>> calls = {
      {"GET", "/articulations/arm", ""},
      {"POST", "/articulations/arm/assemble_robot",
       R"({"arm_mount_link":"tool0","gripper_id":"g","gripper_mount_link":null,"mask_collisions":true,"offset":null})"},
      {"GET", "/articulations/arm/dof_limits", ""},
      {"GET", "/articulations/arm/driver_joint", ""},
      {"GET", "/articulations/arm/joints_state", ""},
      {"POST", "/articulations/arm/set_j",
       R"({"indices":null,"joint_positions":[0.1,0.2,0.3,0.4,0.5,0.6]})"},
      {"POST", "/articulations/arm/move_j",
       R"({"asynchronous":true,"indices":[0],"joint_positions":[1.0]})"},
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
  EXPECT_EQ(json::parse(replies.back().body),
            json({{"articulation_id", "arm"}, {"removed", true}}));
  EXPECT_EQ(call("GET", "/articulations/arm").status, 404);
}

TEST_F(RouterTest, CaptureAnswersABinaryFrameAndAnEmptyBodyCountsAsAnEmptyObject) {
  call("PUT", "/cameras", R"({"prim_path":"/World/cam","resolution":[4,3]})");
  const Reply r = call("POST", "/cameras/cam/capture");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "application/octet-stream");
  EXPECT_EQ(r.body.substr(0, 4), "QXB1");
  EXPECT_EQ(
      r.body.size(),
      8u + (static_cast<unsigned char>(r.body[4]) | (static_cast<unsigned char>(r.body[5]) << 8)) +
          4u * 3u * 7u);
}

TEST_F(RouterTest, ASynchronousMoveIsAnsweredWhenTheMotionEnds) {
  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  send("POST", "/articulations/arm/move_j",
       R"({"asynchronous":false,"indices":[0],"joint_positions":[0.2]})");
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
  EXPECT_EQ(matchStreamRoute("/articulations/arm/stream_joint_positions")->kind,
            StreamKind::JointPositions);
  EXPECT_FALSE(matchStreamRoute("/articulations/arm/joints_state"));
  EXPECT_FALSE(matchStreamRoute("/articulations//arm/stream_joint_positions"));

  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  const Reply r = call("GET", "/articulations/arm/stream_joint_positions");
  EXPECT_EQ(r.status, 426);
  EXPECT_EQ(json::parse(r.body),
            errorBody(426, "this endpoint is a WebSocket stream; send an upgrade request"));
}

TEST(RouteTable, PatternsMatchSegmentForSegmentAndMethodsDecideBetween404And405) {
  RouteTable table;
  std::vector<std::string> ran;
  table.add("GET", "/things/{id}", [&](const Call& c) { ran.push_back("get " + c.param("id")); });
  table.add("DELETE", "/things/{id}",
            [&](const Call& c) { ran.push_back("delete " + c.param("id")); });
  table.add("GET", "/", [&](const Call&) { ran.push_back("root"); });
  std::vector<Reply> replies;
  const Respond respond = [&](Reply r) { replies.push_back(std::move(r)); };

  for (const char* target : {"/things/a%2Fb?x=1", "/things/", "/", "#top"})
    table.dispatch(Request{"GET", target, ""}, respond);
  table.dispatch(Request{"DELETE", "/things/x#y", ""}, respond);
  EXPECT_EQ(ran, std::vector<std::string>({"get a%2Fb", "get ", "root", "root", "delete x"}));

  table.dispatch(Request{"PUT", "/things/x", ""}, respond);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].status, 405);
  EXPECT_EQ(json::parse(replies[0].body),
            errorBody(405, "method PUT is not allowed here; use GET, DELETE"));
  EXPECT_EQ(replies[0].headers,
            (std::vector<std::pair<std::string, std::string>>{{"Allow", "GET, DELETE"}}));
  EXPECT_REFUSED(table.dispatch(Request{"GET", "/things//x?q", ""}, respond), 404,
                 "no endpoint at /things//x");
  EXPECT_REFUSED(table.dispatch(Request{"GET", "/things/x/", ""}, respond), 404,
                 "no endpoint at /things/x/");
}

TEST_F(RouterTest, IdentifiersAreSegmentsAsReceived) {
  Reply r = call("GET", "/articulations/");
  EXPECT_EQ(json::parse(r.body), errorBody(404, "articulation '' not found"));
  r = call("PUT", "/articulations/");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.headers[0].second, "GET, DELETE");
  r = call("GET", "/articulations//joints_state");
  EXPECT_EQ(json::parse(r.body), errorBody(404, "articulation '' not found"));
  r = call("GET", "/articulations/a%20b/dof_limits");
  EXPECT_EQ(json::parse(r.body), errorBody(404, "articulation 'a%20b' not found"));
  r = call("GET", "/articulations/arm/joints_state/extra");
  EXPECT_EQ(json::parse(r.body),
            errorBody(404, "no endpoint at /articulations/arm/joints_state/extra"));
}

TEST_F(RouterTest, ABodyIsRefusedForItsTextThenItsIdentifierThenItsShape) {
  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  call("PUT", "/surface_grippers", R"({"prim_path":"/World/g"})");
  EXPECT_EQ(call("POST", "/articulations/ghost/set_j", "{oops").status, 400);
  EXPECT_EQ(json::parse(call("POST", "/articulations/ghost/set_j", "[]").body),
            errorBody(404, "articulation 'ghost' not found"));
  EXPECT_EQ(json::parse(call("POST", "/articulations/arm/set_j", "[]").body),
            errorBody(422, "the request body must be a JSON object"));
  EXPECT_EQ(json::parse(call("PATCH", "/surface_grippers/ghost/properties", R"({"grip":1})").body),
            errorBody(404, "surface gripper 'ghost' not found"));
  EXPECT_EQ(json::parse(call("POST", "/cameras/ghost/capture", R"({"data_types":7})").body),
            errorBody(404, "camera 'ghost' not found"));
  // assemble_robot checks the gripper and the link as soon as it has read them.
  EXPECT_EQ(json::parse(
                call("POST", "/articulations/arm/assemble_robot", R"({"gripper_id":"nope"})").body),
            errorBody(404, "surface gripper 'nope' not found"));
  EXPECT_EQ(
      json::parse(call("POST", "/articulations/arm/assemble_robot", R"({"gripper_id":"g"})").body),
      errorBody(422, "arm_mount_link is required"));
  const Reply link = call("POST", "/articulations/arm/assemble_robot",
                          R"({"gripper_id":"g","arm_mount_link":"x"})");
  EXPECT_EQ(link.status, 422);
  EXPECT_EQ(json::parse(link.body)["error"].get<std::string>().rfind(
                "arm_mount_link 'x' is not a link", 0),
            0u);
}

TEST_F(RouterTest, StreamMessagesAreJointTargetsForAKnownArticulation) {
  EXPECT_REFUSED(router.applyStreamMessage("ghost", "{oops"), 404,
                 "articulation 'ghost' not found");
  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  const ApiError malformed = refusal([&] { router.applyStreamMessage("arm", "{oops"); });
  EXPECT_EQ(malformed.status(), 400);
  EXPECT_EQ(std::string(malformed.what()).rfind("malformed JSON: ", 0), 0u);
  EXPECT_REFUSED(router.applyStreamMessage("arm", "[1,2]"), 422,
                 "the request body must be a JSON object");
  EXPECT_EQ(refusal([&] { router.applyStreamMessage("arm", ""); }).status(), 400);  // no {} for ""

  router.applyStreamMessage("arm",
                            R"({"joint_positions":[0.1],"indices":[5],"asynchronous":"ignored"})");
  world.step(1.0);
  EXPECT_DOUBLE_EQ(world.jointsState("arm")["joint_positions"][5].get<double>(), 0.1);
}

TEST_F(RouterTest, RefusalsQuotingRawBytesAreValidJsonAndMalformedTextIsNeverA5xx) {
  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD stands for each byte that is not UTF-8
  const Reply bad = call("POST", "/articulations/arm/set_j", "{\"joint_positions\":[\"\xff\"]}");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(json::parse(bad.body)["error"].get<std::string>().find(replacement), std::string::npos);
  EXPECT_EQ(json::parse(call("GET", "/articulations/\xff").body),
            errorBody(404, "articulation '" + replacement + "' not found"));
  EXPECT_EQ(call("POST", "/articulations/arm/set_j", R"({"joint_positions":[1e400]})").status, 400);

  // A stream message is answered with the refusal's text, or nothing when its targets are taken.
  for (const std::string& text :
       {std::string("{\"joint_positions\":[\"\xff\"]}"), std::string("[1e400]"),
        std::string(100, '['), std::string("{")}) {
    const std::optional<std::string> refused = router.answerStreamMessage("arm", text);
    ASSERT_TRUE(refused) << text;
    EXPECT_EQ(json::parse(*refused)["status"], 400) << *refused;
  }
  EXPECT_EQ(json::parse(router.answerStreamMessage("arm", "[]").value_or("")),
            errorBody(422, "the request body must be a JSON object"));
  EXPECT_EQ(json::parse(router.answerStreamMessage("ghost", "{}").value_or("")),
            errorBody(404, "articulation 'ghost' not found"));
  EXPECT_FALSE(router.answerStreamMessage("arm", R"({"joint_positions":[0.1],"indices":[0]})"));
}

}  // namespace
}  // namespace strandel::mock_bridge
