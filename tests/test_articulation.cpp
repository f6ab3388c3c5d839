#include <chrono>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <strandel/isaacsim_client.hpp>

#include "support/scripted_peer.hpp"
#include "support/test_helpers.hpp"
#include "support/websocket_peer.hpp"

namespace strandel {
namespace {

using testing_util::RecordedRequest;
using testing_util::ScriptedAnswer;
using testing_util::ScriptedPeer;
using testing_util::WebSocketPeer;
using testing_util::Wire;
using testing_util::wire;

constexpr auto& kJson = testing_util::kJsonContentType;

class ArticulationWire : public ::testing::Test {
 protected:
  ScriptedPeer peer;
  IsaacSimClient client{"test", peer.baseUrl(), peer.wsBaseUrl(), std::chrono::seconds(10), 0};
  Articulation& articulations = client.articulations;

  /// The only request the peer received.
  Wire onlyRequest() const {
    const auto requests = peer.requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? Wire{} : wire(requests.back());
  }
};

TEST_F(ArticulationWire, CreateAlwaysSendsBothKeys) {
  articulations.create("/World/arm");
  articulations.create("/World/arm", "");
  articulations.create("/World/\xC3\xA4rm", "/robots/arm.urdf");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(wire(requests[0]),
            Wire("PUT", "/articulations", kJson, R"({"prim_path":"/World/arm","urdf_path":null})"));
  EXPECT_EQ(requests[1].body, R"({"prim_path":"/World/arm","urdf_path":""})");
  EXPECT_EQ(requests[2].body,
            "{\"prim_path\":\"/World/\xC3\xA4rm\",\"urdf_path\":\"/robots/arm.urdf\"}");
}

TEST_F(ArticulationWire, AssembleRobotSendsAllFiveKeysSorted) {
  articulations.assembleRobot("arm", "grip", "tool0");
  articulations.assembleRobot("arm", "grip", "tool0", "base", json::array({0.0, 0.5, 1.0}), false);
  articulations.assembleRobot("arm", "grip", "tool0", std::nullopt, json(nullptr), true);
  articulations.assembleRobot("arm", "grip", "tool0", std::nullopt,
                              json::object({{"rot", json::array({1, 0})}, {"pos", "up"}}), true);
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 4u);
  const std::string absent =
      R"({"arm_mount_link":"tool0","gripper_id":"grip","gripper_mount_link":null,)"
      R"("mask_collisions":true,"offset":null})";
  EXPECT_EQ(wire(requests[0]), Wire("POST", "/articulations/arm/assemble_robot", kJson, absent));
  EXPECT_EQ(requests[1].body,
            R"({"arm_mount_link":"tool0","gripper_id":"grip","gripper_mount_link":"base",)"
            R"("mask_collisions":false,"offset":[0.0,0.5,1.0]})");
  EXPECT_EQ(requests[2].body, absent) << "an offset holding null reads as an absent one";
  EXPECT_EQ(requests[3].body,
            R"({"arm_mount_link":"tool0","gripper_id":"grip","gripper_mount_link":null,)"
            R"("mask_collisions":true,"offset":{"pos":"up","rot":[1,0]}})");
}

TEST_F(ArticulationWire, QueriesAndRemoveSendNoBody) {
  peer.enqueue(ScriptedAnswer::json(200, R"({"lower":[-1.5],"upper":[1.5]})"));
  EXPECT_EQ(articulations.getDofLimits("arm"), json::parse(R"({"lower":[-1.5],"upper":[1.5]})"));
  EXPECT_EQ(articulations.getDriverJoint("arm"), json::object());
  EXPECT_EQ(articulations.getJointsState("arm"), json::object());
  articulations.remove("arm");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(wire(requests[0]), Wire("GET", "/articulations/arm/dof_limits", "", ""));
  EXPECT_EQ(wire(requests[1]), Wire("GET", "/articulations/arm/driver_joint", "", ""));
  EXPECT_EQ(wire(requests[2]), Wire("GET", "/articulations/arm/joints_state", "", ""));
  EXPECT_EQ(wire(requests[3]), Wire("DELETE", "/articulations/arm", "", ""));
}

TEST_F(ArticulationWire, SetJointPositionsWritesIndicesBeforePositions) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  articulations.setJointPositions("arm", {0.5, 1.0});
  articulations.setJointPositions("arm", {0.5}, std::vector<int>{});
  articulations.setJointPositions("arm", {nan, -inf, 2.25}, std::vector<int>{3, -1, 3});
  articulations.setJointPositions("arm", {});
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(wire(requests[0]), Wire("POST", "/articulations/arm/set_j", kJson,
                                    R"({"indices":null,"joint_positions":[0.5,1.0]})"));
  EXPECT_EQ(requests[1].body, R"({"indices":[],"joint_positions":[0.5]})");
  EXPECT_EQ(requests[2].body, R"({"indices":[3,-1,3],"joint_positions":[null,null,2.25]})");
  EXPECT_EQ(requests[3].body, R"({"indices":null,"joint_positions":[]})");
}

TEST_F(ArticulationWire, MoveJointPositionsWritesAsynchronousFirst) {
  articulations.moveJointPositions("arm", {0.1, 0.2, 3.0}, std::vector<int>{0, 1});
  articulations.moveJointPositions("arm", {1.0}, std::nullopt, true);
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(wire(requests[0]),
            Wire("POST", "/articulations/arm/move_j", kJson,
                 R"({"asynchronous":false,"indices":[0,1],"joint_positions":[0.1,0.2,3.0]})"));
  EXPECT_EQ(requests[1].body, R"({"asynchronous":true,"indices":null,"joint_positions":[1.0]})");
}

TEST_F(ArticulationWire, SetDrivenJointsPutsTheNamesInOrder) {
  articulations.setDrivenJoints("arm", {"wrist", "elbow", "j\xC3\xB6int"});
  articulations.setDrivenJoints("arm", {});
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(wire(requests[0]), Wire("PUT", "/articulations/arm/driven_joints", kJson,
                                    "{\"joint_names\":[\"wrist\",\"elbow\",\"j\xC3\xB6int\"]}"));
  EXPECT_EQ(requests[1].body, R"({"joint_names":[]})");
}

TEST_F(ArticulationWire, IdentifiersAreInsertedVerbatim) {
  articulations.setJointPositions("a/b", {1.0});
  articulations.assembleRobot("/lead", "g", "l");
  articulations.assembleRobot("", "g", "l");
  articulations.remove("");
  articulations.moveJointPositions("50%", {});
  articulations.setDrivenJoints("/", {});
  articulations.getJointsState("../../cameras/cam1");
  articulations.remove("%2e%2e/x");
  articulations.setJointPositions("./a", {});
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 9u);
  EXPECT_EQ(requests[0].target, "/articulations/a/b/set_j");
  EXPECT_EQ(requests[1].target, "/articulations//lead/assemble_robot");
  EXPECT_EQ(requests[2].target, "/articulations//assemble_robot");
  EXPECT_EQ(requests[3].target, "/articulations/");
  EXPECT_EQ(requests[4].target, "/articulations/50%/move_j");
  EXPECT_EQ(requests[5].target, "/articulations///driven_joints");
  // Dot segments are not resolved, so they never reach another resource.
  EXPECT_EQ(requests[6].target, "/articulations/../../cameras/cam1/joints_state");
  EXPECT_EQ(wire(requests[7]), Wire("DELETE", "/articulations/%2e%2e/x", "", ""));
  EXPECT_EQ(requests[8].target, "/articulations/./a/set_j");
}

TEST_F(ArticulationWire, IdentifiersThatCannotTravelVerbatimFailBeforeAnythingIsSent) {
  IsaacSimClient retrying("retry", peer.baseUrl(), peer.wsBaseUrl(), std::chrono::seconds(10), 2);
  Articulation& a = retrying.articulations;
  const std::string nul("a\0b", 3);
  using testing_util::thrownText;
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { a.getJointsState(nul); }),
            "path contains a NUL byte");
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { a.remove(nul); }), "path contains a NUL byte");
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { a.setJointPositions("a#b", {1.0}); }),
            "path contains '#'");
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { a.remove("#"); }), "path contains '#'");
  // A query would address another resource: remove("victim?x") must not delete "victim".
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { a.getDofLimits("x?y"); }), "path contains '?'");
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { a.remove("victim?x"); }), "path contains '?'");
  EXPECT_EQ(peer.requestCount(), 0u);
}

TEST_F(ArticulationWire, EveryMemberTurnsA404IntoHttpErrorWithThePeersBody) {
  const std::vector<std::function<void()>> calls = {
      [&] { articulations.create("/World/arm"); },
      [&] { articulations.assembleRobot("arm", "g", "l"); },
      [&] { articulations.remove("arm"); },
      [&] { articulations.getDofLimits("arm"); },
      [&] { articulations.getDriverJoint("arm"); },
      [&] { articulations.getJointsState("arm"); },
      [&] { articulations.setJointPositions("arm", {1.0}); },
      [&] { articulations.moveJointPositions("arm", {1.0}); },
      [&] { articulations.setDrivenJoints("arm", {"j"}); },
  };
  peer.setDefault(ScriptedAnswer::status_only(404, "no articulation {arm}"));
  for (std::size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    try {
      calls[i]();
      ADD_FAILURE() << "no HTTPError";
    } catch (const HTTPError& e) {
      EXPECT_STREQ(e.what(), "Bridge returned status 404");
      EXPECT_EQ(e.statusCode(), 404);
      EXPECT_EQ(e.body(), "no articulation {arm}");
      // The facades' HTTPError names its request.
      const auto* request = dynamic_cast<const HTTPRequestError*>(&e);
      ASSERT_NE(request, nullptr);
      const auto sent = peer.requests().back();
      EXPECT_EQ(request->method(), sent.method);
      EXPECT_EQ(request->url(), peer.baseUrl() + sent.target.substr(1));
    }
  }
  EXPECT_EQ(peer.requestCount(), calls.size());
}

TEST_F(ArticulationWire, PlainTextAnswerToRemoveIsAParseError) {
  peer.enqueue(ScriptedAnswer::status_only(200, "deleted"));
  EXPECT_THROW(articulations.remove("arm"), json::parse_error);
  peer.enqueue(ScriptedAnswer::status_only(204));
  EXPECT_NO_THROW(articulations.remove("arm"));
}

TEST_F(ArticulationWire, InvalidUtf8FailsBeforeAnythingIsSent) {
  const auto typeErrorId = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const json::type_error& e) {
      return e.id;
    }
    return 0;
  };
  EXPECT_EQ(typeErrorId([&] { articulations.setDrivenJoints("arm", {"ok", "bad\xFF"}); }), 316);
  EXPECT_EQ(typeErrorId([&] { articulations.create("/World/\xC3"); }), 316);
  EXPECT_EQ(typeErrorId([&] { articulations.assembleRobot("arm", "g", "l", "\xFE"); }), 316);
  EXPECT_EQ(typeErrorId([&] {
              articulations.assembleRobot("arm", "g", "l", std::nullopt, json::array({"\x80"}));
            }),
            316);
  // The identifier goes into the path only and is never serialised, so it cannot fail that way
  // (libcurl percent-encodes bytes above 0x7F in the URL). The peer saw this request alone.
  EXPECT_NO_THROW(articulations.getJointsState("\xFF"));
  EXPECT_EQ(std::get<0>(onlyRequest()), "GET");
}

TEST_F(ArticulationWire, RetryableStatusRepeatsTheSameCommandBody) {
  IsaacSimClient retrying("retry", peer.baseUrl(), peer.wsBaseUrl(), std::chrono::seconds(10), 1);
  peer.enqueue(std::vector<ScriptedAnswer>{ScriptedAnswer::status_only(503, "busy"),
                                           ScriptedAnswer::json(200, R"({"ok":true})")});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(retrying.articulations.setJointPositions("robot1", {0.5, 1.0}),
            json::parse(R"({"ok":true})"));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  const Wire expected("POST", "/articulations/robot1/set_j", kJson,
                      R"({"indices":null,"joint_positions":[0.5,1.0]})");
  EXPECT_EQ(wire(requests[0]), expected);
  EXPECT_EQ(wire(requests[1]), expected);
  EXPECT_GE(elapsed,
            std::chrono::milliseconds(375));  // the client's real back-off before the retry
}

TEST(ArticulationStreams, OpenTheClientsStreamPathsAndHandOverAWorkingStream) {
  constexpr auto kWait = std::chrono::seconds(5);
  WebSocketPeer peer;
  peer.sendWithUpgrade(
      testing_util::serverFrame(testing_util::Opcode::Text, R"({"positions":[0.5]})"));
  IsaacSimClient client("test", "http://127.0.0.1:1/", peer.wsBaseUrl(), kWait, 0);

  WebSocketStream joints = client.articulations.streamJointPositions("/lead");
  WebSocketStream state = client.articulations.streamArticulationState("a/b");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/articulations//lead/stream_joint_positions");
  EXPECT_EQ(requests[1].target, "/articulations/a/b/stream_articulation_state");

  joints.send("subscribe");
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  EXPECT_EQ(peer.frames(0).at(0).payload, "subscribe");

  std::optional<std::string> message;
  const auto until = std::chrono::steady_clock::now() + kWait;
  while (!(message = state.receive()) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(message, std::optional<std::string>(R"({"positions":[0.5]})"));
}

TEST(ArticulationStreams, StreamPathsTravelVerbatimOrFailBeforeConnecting) {
  WebSocketPeer peer;
  IsaacSimClient client("test", "http://127.0.0.1:1/", peer.wsBaseUrl(), std::chrono::seconds(5),
                        0);
  WebSocketStream up = client.articulations.streamJointPositions("../../cameras/cam1");
  EXPECT_EQ(testing_util::thrownText<std::invalid_argument>(
                [&] { client.articulations.streamArticulationState("arm#frag"); }),
            "path contains '#'");
  EXPECT_EQ(testing_util::thrownText<std::invalid_argument>(
                [&] { client.openJointPositionStream(std::string("a\0b", 3)); }),
            "path contains a NUL byte");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/articulations/../../cameras/cam1/stream_joint_positions");
}

}  // namespace
}  // namespace strandel
