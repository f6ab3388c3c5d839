#include <chrono>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <strandel/isaacsim_client.hpp>

#include "support/scripted_peer.hpp"
#include "support/test_helpers.hpp"

namespace strandel {
namespace {

using testing_util::RecordedRequest;
using testing_util::ScriptedAnswer;
using testing_util::ScriptedPeer;
using testing_util::Wire;
using testing_util::wire;

constexpr auto& kJson = testing_util::kJsonContentType;
constexpr auto kNone = std::nullopt;

class SurfaceGripperWire : public ::testing::Test {
 protected:
  ScriptedPeer peer;
  IsaacSimClient client{"test", peer.baseUrl(), peer.wsBaseUrl(), std::chrono::seconds(10), 0};
  SurfaceGripper& grippers = client.surfaceGrippers;
};

TEST_F(SurfaceGripperWire, LifecycleAndQueriesUseTheGripperPath) {
  peer.enqueue(ScriptedAnswer::json(200, R"({"id":"g1"})"));
  EXPECT_EQ(grippers.create("/World/g\xC3\xBC"), json::parse(R"({"id":"g1"})"));
  grippers.create("");
  grippers.get("g1");
  grippers.getStatus("g1");
  grippers.getProperties("g1");
  grippers.getAttachmentPoints("g1");
  grippers.remove("g1");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 7u);
  EXPECT_EQ(wire(requests[0]),
            Wire("PUT", "/surface_grippers", kJson, "{\"prim_path\":\"/World/g\xC3\xBC\"}"));
  EXPECT_EQ(wire(requests[1]), Wire("PUT", "/surface_grippers", kJson, R"({"prim_path":""})"));
  EXPECT_EQ(wire(requests[2]), Wire("GET", "/surface_grippers/g1", "", ""));
  EXPECT_EQ(wire(requests[3]), Wire("GET", "/surface_grippers/g1/status", "", ""));
  EXPECT_EQ(wire(requests[4]), Wire("GET", "/surface_grippers/g1/properties", "", ""));
  EXPECT_EQ(wire(requests[5]), Wire("GET", "/surface_grippers/g1/attachment_points", "", ""));
  EXPECT_EQ(wire(requests[6]), Wire("DELETE", "/surface_grippers/g1", "", ""));
}

TEST_F(SurfaceGripperWire, OpenAndCloseAlwaysSendTheAsynchronousFlag) {
  grippers.open("g1", false);
  grippers.close("g1", true);
  grippers.open("g1");
  grippers.close("g1");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(wire(requests[0]),
            Wire("POST", "/surface_grippers/g1/open", kJson, R"({"asynchronous":false})"));
  EXPECT_EQ(wire(requests[1]),
            Wire("POST", "/surface_grippers/g1/close", kJson, R"({"asynchronous":true})"));
  EXPECT_EQ(requests[2].body, R"({"asynchronous":false})");
  EXPECT_EQ(requests[3].body, R"({"asynchronous":false})");
}

TEST_F(SurfaceGripperWire, SetPropertiesSendsOnlyTheSettingsGiven) {
  AxisLimits only_z;
  only_z.z = AxisLimit{-0.5, 0.5};
  AxisLimits default_x;
  default_x.x = AxisLimit{};
  grippers.setProperties("g1");
  grippers.setProperties("g1", kNone, kNone, 0.05);
  grippers.setProperties("g1", 10.0, 2.5, 0.05, std::numeric_limits<double>::quiet_NaN(), only_z,
                         default_x, "+x");
  grippers.setProperties("g1", kNone, kNone, kNone, kNone, AxisLimits{}, kNone, "");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(wire(requests[0]), Wire("PATCH", "/surface_grippers/g1/properties", kJson, "{}"));
  EXPECT_EQ(requests[1].body, R"({"max_grip_distance":0.05})");
  EXPECT_EQ(requests[2].body,
            R"({"coaxial_force_limit":10.0,"forward_axis":"+x","max_grip_distance":0.05,)"
            R"("retry_interval":null,)"
            R"("rotation_limits":{"x":null,"y":null,"z":{"maximum":0.5,"minimum":-0.5}},)"
            R"("shear_force_limit":2.5,)"
            R"("translation_limits":{"x":{"maximum":0.0,"minimum":0.0},"y":null,"z":null}})");
  EXPECT_EQ(requests[3].body,
            R"({"forward_axis":"","rotation_limits":{"x":null,"y":null,"z":null}})");
}

TEST_F(SurfaceGripperWire, SetAttachmentPointPropertiesSendsOnlyTheSettingsGiven) {
  AxisLimits limits;
  limits.x = AxisLimit{-1.0, 1.0};
  limits.y = AxisLimit{std::numeric_limits<double>::infinity(), 2.0};
  const json pose_0 = json::object({{"position", {0.0, 0.1, 0.2}}, {"orientation", {1, 0, 0, 0}}});
  const json pose_1 = json::array({1.5, "free form", nullptr});
  grippers.setAttachmentPointProperties("g1");
  grippers.setAttachmentPointProperties("g1", std::vector<std::string>{});
  grippers.setAttachmentPointProperties(
      "g1", std::vector<std::string>{"/World/g/j0", "/World/g/j1"}, pose_0, pose_1, 1000.0, 50.0,
      limits, AxisLimits{}, 0.002, "-z");
  grippers.setAttachmentPointProperties("g1", kNone, json(nullptr));
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(wire(requests[0]),
            Wire("PATCH", "/surface_grippers/g1/attachment_points", kJson, "{}"));
  EXPECT_EQ(requests[1].body, R"({"joint_paths":[]})");
  EXPECT_EQ(
      requests[2].body,
      R"({"clearance_offset":0.002,"forward_axis":"-z",)"
      R"("joint_paths":["/World/g/j0","/World/g/j1"],)"
      R"("local_pose_0":{"orientation":[1,0,0,0],"position":[0.0,0.1,0.2]},)"
      R"("local_pose_1":[1.5,"free form",null],)"
      R"("rotation_limits":{"x":{"maximum":1.0,"minimum":-1.0},)"
      R"("y":{"maximum":2.0,"minimum":null},"z":null},)"
      R"("translation_limits":{"x":null,"y":null,"z":null},)"
      R"("z_axis_translation_drive_damping":50.0,"z_axis_translation_drive_stiffness":1000.0})");
  EXPECT_EQ(requests[3].body, R"({"local_pose_0":null})");
}

TEST_F(SurfaceGripperWire, IdentifiersAreInsertedVerbatim) {
  grippers.get("");
  grippers.remove("");
  grippers.open("a/b", true);
  grippers.getStatus("/lead");
  grippers.setAttachmentPointProperties("50%");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].target, "/surface_grippers/");
  EXPECT_EQ(requests[1].target, "/surface_grippers/");
  EXPECT_EQ(requests[2].target, "/surface_grippers/a/b/open");
  EXPECT_EQ(requests[3].target, "/surface_grippers//lead/status");
  EXPECT_EQ(requests[4].target, "/surface_grippers/50%/attachment_points");
}

TEST_F(SurfaceGripperWire, EveryMemberTurnsANon2xxAnswerIntoHttpError) {
  const std::vector<std::function<void()>> calls = {
      [&] { grippers.create("/World/g"); },
      [&] { grippers.get("g1"); },
      [&] { grippers.getStatus("g1"); },
      [&] { grippers.getProperties("g1"); },
      [&] { grippers.getAttachmentPoints("g1"); },
      [&] { grippers.open("g1"); },
      [&] { grippers.close("g1"); },
      [&] { grippers.remove("g1"); },
      [&] { grippers.setProperties("g1", 1.0); },
      [&] { grippers.setAttachmentPointProperties("g1", kNone, json::object()); },
  };
  peer.setDefault(ScriptedAnswer::json(404, R"({"detail":"unknown gripper"})"));
  for (std::size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    try {
      calls[i]();
      ADD_FAILURE() << "no HTTPError";
    } catch (const HTTPError& e) {
      EXPECT_STREQ(e.what(), "Bridge returned status 404");
      EXPECT_EQ(e.statusCode(), 404);
      EXPECT_EQ(e.body(), R"({"detail":"unknown gripper"})");
    }
  }
  EXPECT_EQ(peer.requestCount(), calls.size());
}

TEST_F(SurfaceGripperWire, EmptyAndNonJsonSuccessAnswers) {
  peer.enqueue(ScriptedAnswer::status_only(204));
  EXPECT_EQ(grippers.getStatus("g1"), json::object());
  peer.enqueue(ScriptedAnswer::status_only(200, "removed"));
  EXPECT_THROW(grippers.remove("g1"), json::parse_error);
  peer.enqueue(ScriptedAnswer::status_only(200, "{\"open\":"));
  EXPECT_THROW(grippers.getStatus("g1"), json::parse_error);
}

TEST_F(SurfaceGripperWire, InvalidUtf8FailsBeforeAnythingIsSent) {
  const auto typeErrorId = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const json::type_error& e) {
      return e.id;
    }
    return 0;
  };
  EXPECT_EQ(typeErrorId([&] { grippers.create("/World/\xFF"); }), 316);
  EXPECT_EQ(typeErrorId([&] {
              grippers.setAttachmentPointProperties("g1", std::vector<std::string>{"ok", "j\xC3"});
            }),
            316);
  EXPECT_EQ(typeErrorId([&] {
              grippers.setAttachmentPointProperties("g1", kNone, kNone, kNone, kNone, kNone, kNone,
                                                    kNone, kNone, "\x80z");
            }),
            316);
  EXPECT_EQ(typeErrorId([&] {
              grippers.setAttachmentPointProperties("g1", kNone, json::object({{"frame", "\xFE"}}));
            }),
            316);
  EXPECT_EQ(typeErrorId([&] {
              grippers.setProperties("g1", kNone, kNone, kNone, kNone, kNone, kNone, "x\xC0");
            }),
            316);
  EXPECT_EQ(peer.requestCount(), 0u);
  grippers.getStatus("g1");  // the peer is listening: this request, and only it, arrives
  EXPECT_EQ(peer.requestCount(), 1u);
}

TEST_F(SurfaceGripperWire, RetryableStatusRepeatsTheSamePatchBody) {
  IsaacSimClient retrying("retry", peer.baseUrl(), peer.wsBaseUrl(), std::chrono::seconds(10), 1);
  peer.enqueue(std::vector<ScriptedAnswer>{ScriptedAnswer::status_only(503, "busy"),
                                           ScriptedAnswer::json(200, R"({"applied":true})")});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(retrying.surfaceGrippers.setProperties("g1", kNone, 4.0),
            json::parse(R"({"applied":true})"));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  const Wire expected("PATCH", "/surface_grippers/g1/properties", kJson,
                      R"({"shear_force_limit":4.0})");
  EXPECT_EQ(wire(requests[0]), expected);
  EXPECT_EQ(wire(requests[1]), expected);
  EXPECT_GE(elapsed,
            std::chrono::milliseconds(375));  // the client's real back-off before the retry
}

}  // namespace
}  // namespace strandel
