// The library against the stand-in bridge started as a separate process: every facade end to
// end, fault injection and latency as the client sees them, streams that outlive a restart of the
// bridge, and the stand-in's robustness against clients that leave early, crowd it, or send
// garbage.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include <strandel/isaacsim_client.hpp>

#include "bridge_process.hpp"
#include "raw_connection.hpp"
#include "support/test_helpers.hpp"

namespace strandel::e2e {
namespace {

using namespace std::chrono_literals;
using testing_util::reconnecting;

const std::string kUpgradeHead =
    "Host: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

/// The next complete message of `stream`, polled for at most 10 seconds.
std::optional<json> receiveJson(WebSocketStream& stream) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto message = stream.receive()) return json::parse(*message);
    std::this_thread::sleep_for(2ms);
  }
  return std::nullopt;
}

/// Receives messages for at most 10 seconds until one satisfies `wanted`.
template <typename Predicate>
std::optional<json> receiveUntil(WebSocketStream& stream, Predicate wanted) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto message = receiveJson(stream);
    if (!message) return std::nullopt;
    if (wanted(*message)) return message;
  }
  return std::nullopt;
}

/// The HTTPError that `call` throws; fails the test when it throws none.
template <typename Call>
std::optional<HTTPError> httpErrorOf(Call&& call) {
  try {
    call();
  } catch (const HTTPError& e) {
    return e;
  }
  ADD_FAILURE() << "expected an HTTPError";
  return std::nullopt;
}

/// Every test ends by stopping its bridge, which must then exit cleanly: status 0, so also no
/// sanitizer report in a sanitizer build.
class StandIn : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(bridge.stop(), 0) << "the stand-in did not stop cleanly"; }

  BridgeProcess bridge;
  IsaacSimClient client{"e2e", bridge.httpUrl(), bridge.wsUrl(), std::chrono::milliseconds(10000),
                        3};
};

TEST_F(StandIn, ArticulationCallsChangeAndReportTheArm) {
  EXPECT_EQ(client.articulations.create("/World/arm")["articulation_id"], "arm");
  const json limits = client.articulations.getDofLimits("arm")["dof_limits"];
  ASSERT_EQ(limits.size(), 6u);
  EXPECT_EQ(limits[1], json({{"joint", "shoulder_lift"},
                             {"type", "revolute"},
                             {"lower", -2.0},
                             {"upper", 2.0},
                             {"max_velocity", 2.0},
                             {"max_effort", 150.0}}));
  EXPECT_EQ(client.articulations.getDriverJoint("arm")["driver_joint"], "shoulder_pan");

  client.articulations.setJointPositions("arm", {0.3}, std::vector<int>{2});
  const json moved =
      client.articulations.moveJointPositions("arm", {0.5, -0.5}, std::vector<int>{0, 1}, false);
  EXPECT_EQ(moved["status"], "reached");
  EXPECT_EQ(moved["joint_positions"], json({0.5, -0.5, 0.3, 0.0, 0.0, 0.0}));
  const json state = client.articulations.getJointsState("arm");
  EXPECT_EQ(state["joint_positions"], moved["joint_positions"]);
  EXPECT_EQ(state["joint_names"][2], "elbow");

  const json started =
      client.articulations.moveJointPositions("arm", {1.0}, std::vector<int>{0}, true);
  EXPECT_EQ(started["status"], "moving");
  EXPECT_EQ(client.articulations.setDrivenJoints("arm", {"elbow", "wrist_1"})["driven_joints"],
            json({"elbow", "wrist_1"}));

  client.articulations.remove("arm");
  const auto gone = httpErrorOf([&] { client.articulations.getJointsState("arm"); });
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->statusCode(), 404);
  EXPECT_EQ(json::parse(gone->body()),
            json({{"error", "articulation 'arm' not found"}, {"status", 404}}));
}

TEST_F(StandIn, RefusalsReachTheApplicationWithStatusAndJsonBody) {
  client.articulations.create("/World/arm");
  const auto shape = httpErrorOf([&] {
    client.articulations.setJointPositions("arm", {0.1, 0.2});
  });
  ASSERT_TRUE(shape);
  EXPECT_EQ(shape->statusCode(), 422);
  EXPECT_EQ(json::parse(shape->body())["error"],
            "joint_positions has 2 values but articulation 'arm' has 6 joints");

  const auto nan = httpErrorOf(
      [&] { client.articulations.setJointPositions("arm", {std::nan("")}, std::vector<int>{0}); });
  ASSERT_TRUE(nan);
  EXPECT_EQ(json::parse(nan->body())["error"], "joint_positions[0] must be a finite number");

  const auto urdf =
      httpErrorOf([&] { client.articulations.create("/World/other", "/no/such/file.urdf"); });
  ASSERT_TRUE(urdf);
  EXPECT_EQ(urdf->statusCode(), 422);
  EXPECT_EQ(json::parse(urdf->body())["error"], "cannot read URDF file '/no/such/file.urdf'");

  const auto mount =
      httpErrorOf([&] { client.articulations.assembleRobot("arm", "ghost", "tool0"); });
  ASSERT_TRUE(mount);
  EXPECT_EQ(mount->statusCode(), 404);
}

TEST_F(StandIn, GripperCallsMountOpenCloseAndPatch) {
  client.articulations.create("/World/arm");
  EXPECT_EQ(client.surfaceGrippers.create("/World/arm/tool0/gripper")["surface_gripper_id"],
            "gripper");
  EXPECT_EQ(client.articulations.assembleRobot("arm", "gripper", "tool0", std::nullopt,
                                               json::array({0.0, 0.0, 0.02}), true)["assembled"],
            true);
  EXPECT_EQ(client.surfaceGrippers.get("gripper")["mounted_on"], "arm");
  EXPECT_EQ(client.surfaceGrippers.close("gripper", false)["status"], "closed");
  EXPECT_EQ(client.surfaceGrippers.getStatus("gripper")["status"], "closed");
  EXPECT_EQ(client.surfaceGrippers.open("gripper", true)["status"], "opening");

  const json before = client.surfaceGrippers.getProperties("gripper")["properties"];
  AxisLimits limits;
  limits.z = AxisLimit{-0.5, 0.5};
  const json after = client.surfaceGrippers.setProperties("gripper", std::nullopt, std::nullopt,
                                                          0.05, std::nullopt, limits)["properties"];
  json expected = before;
  expected["max_grip_distance"] = 0.05;
  expected["rotation_limits"] = {
      {"x", nullptr}, {"y", nullptr}, {"z", {{"maximum", 0.5}, {"minimum", -0.5}}}};
  EXPECT_EQ(after, expected);

  const json points = client.surfaceGrippers.setAttachmentPointProperties(
      "gripper", std::vector<std::string>{"/World/arm/tool0/gripper/p"}, std::nullopt, std::nullopt,
      std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0.002)["attachment_points"];
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0]["clearance_offset"], 0.002);
  EXPECT_EQ(client.surfaceGrippers.getAttachmentPoints("gripper")["attachment_points"], points);

  client.surfaceGrippers.remove("gripper");
  EXPECT_EQ(httpErrorOf([&] { client.surfaceGrippers.getStatus("gripper"); })->statusCode(), 404);
}

TEST_F(StandIn, CapturedFramesDecodeIntoTheRequestedArrays) {
  client.articulations.create("/World/arm");
  const json camera = client.cameras.create("/World/cam", std::vector<int>{160, 120}, 30.0);
  EXPECT_EQ(camera["resolution"], json({160, 120}));

  const CameraFrame frame = client.cameras.capture("cam");
  const CameraOutput* rgb = frame.output("rgb");
  const CameraOutput* depth = frame.output("depth");
  ASSERT_TRUE(rgb && depth);
  EXPECT_EQ(rgb->shape, (std::vector<std::uint64_t>{120, 160, 3}));
  EXPECT_EQ(rgb->dtype, "uint8");
  EXPECT_EQ(rgb->data.size(), rgb->elementCount() * rgb->itemSize());
  EXPECT_EQ(depth->shape, (std::vector<std::uint64_t>{120, 160}));
  EXPECT_EQ(depth->itemSize(), 4u);
  EXPECT_EQ(depth->data.size(), 120u * 160u * 4u);
  EXPECT_EQ(frame.structure["camera_id"], "cam");

  const CameraFrame depthOnly =
      client.cameras.capture("cam", std::vector<std::string>{"depth"}, true);
  EXPECT_EQ(depthOnly.output("rgb"), nullptr);
  ASSERT_NE(depthOnly.output("depth"), nullptr);
  EXPECT_TRUE(depthOnly.structure.contains("camera_pose"));

  client.articulations.moveJointPositions("arm", {1.0, 1.2}, std::vector<int>{1, 2});
  EXPECT_NE(client.cameras.capture("cam", std::vector<std::string>{"rgb"}).output("rgb")->data,
            rgb->data);

  client.cameras.remove("cam");
  EXPECT_EQ(httpErrorOf([&] { client.cameras.capture("cam"); })->statusCode(), 404);
}

TEST_F(StandIn, StreamsPushStateAndTakeTargets) {
  client.articulations.create("/World/arm");
  WebSocketStream positions = client.articulations.streamJointPositions("arm");
  const auto first = receiveJson(positions);
  const auto second = receiveJson(positions);
  ASSERT_TRUE(first && second);
  EXPECT_EQ((*first)["joint_positions"].size(), 6u);
  EXPECT_GT((*second)["sequence"].get<std::uint64_t>(), (*first)["sequence"].get<std::uint64_t>());

  positions.send(R"({"joint_positions":[0.4],"indices":[0]})");
  EXPECT_TRUE(receiveUntil(positions, [](const json& m) {
    return m.contains("joint_positions") && m["joint_positions"][0].get<double>() == 0.4;
  }));
  positions.send("not json");
  const auto refusal = receiveUntil(positions, [](const json& m) { return m.contains("error"); });
  ASSERT_TRUE(refusal);
  EXPECT_EQ((*refusal)["status"], 400);

  WebSocketStream state = client.articulations.streamArticulationState("arm");
  const auto full = receiveJson(state);
  ASSERT_TRUE(full);
  EXPECT_EQ((*full)["joint_names"].size(), 6u);
  EXPECT_EQ((*full)["joint_velocities"].size(), 6u);
  EXPECT_EQ((*full)["gripper"], nullptr);
  positions.close();
  state.close();
  EXPECT_EQ(client.articulations.getJointsState("arm")["joint_positions"][0], 0.4);
}

/// Receives with no wait until nothing is pending (at most 1000 messages).
void drain(WebSocketStream& stream) {
  for (int i = 0; i < 1000 && stream.receive(0ms); ++i) {}
}

TEST(StandInRestart, AReconnectingStreamSurvivesARestartOfTheBridge) {
  std::optional<BridgeProcess> bridge;
  bridge.emplace();
  const std::uint16_t port = bridge->port();
  IsaacSimClient client("restart", bridge->httpUrl(), bridge->wsUrl(), 10000ms, 3);
  client.articulations.create("/World/arm");
  std::vector<ReconnectReport> reports;
  WebSocketStream stream = client.articulations.streamJointPositions("arm", reconnecting(reports));
  WebSocketStream plain = client.articulations.streamJointPositions("arm");
  ASSERT_TRUE(stream.receive(10s));
  ASSERT_TRUE(plain.receive(10s));

  ASSERT_EQ(bridge->stop(), 0);
  drain(stream);
  for (int i = 0; i < 3; ++i) {  // while the bridge is away, each wait ends on time
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stream.receive(200ms), std::nullopt);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 2000ms);
  }
  std::string failure;  // the stream without options ends as it always did
  try {
    for (int i = 0; i < 1000; ++i) static_cast<void>(plain.receive(1000ms));
  } catch (const TransportError& error) {
    failure = error.what();
  }
  EXPECT_EQ(failure.rfind("WebSocket receive failed: ", 0), 0u) << failure;

  BridgeLaunch same_port;
  same_port.port = port;
  bridge.emplace(std::vector<std::string>{}, same_port);
  client.articulations.create("/World/arm");  // the restarted world starts empty
  const auto message = stream.receive(10s);
  ASSERT_TRUE(message);
  EXPECT_EQ(json::parse(*message)["articulation_id"], "arm");
  EXPECT_EQ(stream.reconnects(), 1u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].reconnects, 1u);
  EXPECT_EQ(reports[0].reason.rfind("WebSocket receive failed: ", 0), 0u) << reports[0].reason;
  EXPECT_GE(reports[0].downtime, 600ms);  // the three waits while away
  EXPECT_EQ(plain.reconnects(), 0u);
  EXPECT_EQ(bridge->stop(), 0);
}

TEST(StandInFaults, EveryNthRequestFailsAndTheClientRetriesIt) {
  BridgeProcess bridge({"--fail-every", "2", "--fail-status", "503"});
  IsaacSimClient patient("retrying", bridge.httpUrl(), bridge.wsUrl(),
                         std::chrono::milliseconds(10000), 3);
  patient.articulations.create("/World/arm");  // request 1
  EXPECT_EQ(patient.articulations.getJointsState("arm")["articulation_id"],
            "arm");  // 2 fails, 3 answers
  EXPECT_EQ(patient.articulations.getDofLimits("arm")["articulation_id"],
            "arm");  // 4 fails, 5 answers

  IsaacSimClient hasty("no retries", bridge.httpUrl(), bridge.wsUrl(),
                       std::chrono::milliseconds(10000), 0);
  const auto injected = httpErrorOf([&] { hasty.articulations.getJointsState("arm"); });  // 6 fails
  ASSERT_TRUE(injected);
  EXPECT_EQ(injected->statusCode(), 503);
  EXPECT_EQ(
      json::parse(injected->body()),
      json({{"error", "injected fault: every 2th request is answered 503"}, {"status", 503}}));
  EXPECT_EQ(bridge.stop(), 0);
}

TEST(StandInFaults, AddedLatencyOutlastsAShortTimeout) {
  BridgeProcess bridge({"--latency-ms", "1500"});
  IsaacSimClient hasty("hasty", bridge.httpUrl(), bridge.wsUrl(), std::chrono::milliseconds(150),
                       0);
  try {
    hasty.get("/");
    ADD_FAILURE() << "expected the transfer to time out";
  } catch (const HTTPError&) {
    ADD_FAILURE() << "expected a transport failure, not an answer";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("HTTP request failed: ", 0), 0u) << e.what();
  }
  IsaacSimClient patient("patient", bridge.httpUrl(), bridge.wsUrl(),
                         std::chrono::milliseconds(20000), 0);
  EXPECT_EQ(patient.get("/").status, 200);
  EXPECT_EQ(bridge.stop(), 0);
}

TEST_F(StandIn, RemovingTheArticulationEndsReconnectingStreams) {
  client.articulations.create("/World/arm");
  std::vector<ReconnectReport> reports;
  StreamOptions options = reconnecting(reports);
  WebSocketStream ending = client.articulations.streamArticulationState("arm", options);
  options.reconnect_after_close = true;
  WebSocketStream reopening = client.articulations.streamJointPositions("arm", options);
  ASSERT_TRUE(ending.receive(10s));
  ASSERT_TRUE(reopening.receive(10s));
  client.articulations.remove("arm");

  // The close frame (1001) ends the stream: the messages ahead of it, then empty results.
  for (int i = 0; i < 100 && !ending.peerClosed(); ++i) static_cast<void>(ending.receive(1s));
  EXPECT_TRUE(ending.peerClosed());
  EXPECT_EQ(ending.closeCode(), std::optional<int>(1001));
  EXPECT_EQ(ending.closeReason(), "articulation removed");
  EXPECT_EQ(ending.receive(100ms), std::nullopt);
  EXPECT_EQ(ending.reconnects(), 0u);

  // Asked to reopen after a close, the stream meets the removed articulation's 404 and ends.
  std::optional<HandshakeError> refusal;
  try {
    for (int i = 0; i < 40; ++i) static_cast<void>(reopening.receive(500ms));
  } catch (const HandshakeError& error) {
    refusal = error;
  }
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->statusCode(), 404);
  EXPECT_EQ(reopening.reconnects(), 0u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(StandIn, SurvivesClientsThatLeaveMidStreamMidAnswerAndMidMotion) {
  client.articulations.create("/World/arm");
  for (int i = 0; i < 20; ++i) {
    RawConnection leaving(bridge.port());
    ASSERT_TRUE(
        leaving.send("GET /articulations/arm/stream_joint_positions HTTP/1.1\r\n" + kUpgradeHead));
    const auto upgraded = leaving.readResponse();
    ASSERT_TRUE(upgraded);
    EXPECT_EQ(upgraded->status, 101);
    if (i % 2 == 1) {
      EXPECT_FALSE(leaving.readSome(64).empty());  // a frame has started to arrive
    }
    leaving.reset();
  }
  client.cameras.create("/World/big", std::vector<int>{1024, 1024});
  for (int i = 0; i < 3; ++i) {
    RawConnection leaving(bridge.port());
    ASSERT_TRUE(leaving.send(httpRequest("POST", "/cameras/big/capture", "{}")));
    EXPECT_FALSE(leaving.readSome(100).empty());  // the 7 MB answer has started
    leaving.reset();
  }
  {
    RawConnection leaving(bridge.port());
    ASSERT_TRUE(leaving.send(
        httpRequest("POST", "/articulations/arm/move_j",
                    R"({"asynchronous":false,"indices":[0],"joint_positions":[0.6]})")));
    leaving.reset();
  }
  WebSocketStream stream = client.articulations.streamJointPositions("arm");
  EXPECT_TRUE(receiveUntil(
      stream, [](const json& m) { return m["joint_positions"][0].get<double>() == 0.6; }));
  EXPECT_EQ(client.get("/").status, 200);
  EXPECT_TRUE(bridge.running());
}

TEST_F(StandIn, Answers200ConcurrentRequests) {
  client.articulations.create("/World/arm");
  constexpr int kConnections = 200;
  std::vector<std::unique_ptr<RawConnection>> connections;
  for (int i = 0; i < kConnections; ++i)
    connections.push_back(std::make_unique<RawConnection>(bridge.port()));
  for (int i = 0; i < kConnections; ++i) {
    const std::string request = i % 3 == 0 ? httpRequest("GET", "/articulations/arm/joints_state")
                                : i % 3 == 1
                                    ? httpRequest("GET", "/articulations/arm/dof_limits")
                                    : httpRequest("POST", "/articulations/arm/set_j",
                                                  R"({"indices":[5],"joint_positions":[0.25]})");
    ASSERT_TRUE(connections[i]->send(request));
  }
  int answered = 0;
  for (auto& connection : connections) {
    const auto response = connection->readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200) << response->body;
    EXPECT_EQ(json::parse(response->body)["articulation_id"], "arm");
    ++answered;
  }
  EXPECT_EQ(answered, kConnections);

  // And through the library from several threads at once.
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      IsaacSimClient own("thread", bridge.httpUrl(), bridge.wsUrl(),
                         std::chrono::milliseconds(10000), 3);
      for (int i = 0; i < 25; ++i)
        if (own.articulations.getJointsState("arm")["joint_positions"][5] == 0.25) ++succeeded;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(succeeded.load(), 200);
}

TEST(StandInInput, SurvivesMalformedRequestsAndKeepsAnswering) {
  BridgeProcess bridge({"--max-body-bytes", "4096"});
  IsaacSimClient client("malformed", bridge.httpUrl(), bridge.wsUrl(),
                        std::chrono::milliseconds(10000), 0);
  client.articulations.create("/World/arm");

  const std::vector<std::pair<std::string, int>> cases = {
      {"garbage\r\n\r\n", 400},
      {std::string("\x00\x01\x02\xff\r\n\r\n", 8), 400},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nX-Long: " + std::string(20000, 'a') + "\r\n\r\n", 400},
      {"POST /articulations/arm/set_j HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
       "chunked\r\n\r\nzz\r\n\r\n",
       400},
      {httpRequest("PUT", "/articulations", std::string(5000, ' ')), 413},
      {httpRequest("PUT", "/articulations", "{\"prim_path\":"), 400},
      {httpRequest("POST", "/articulations/arm/set_j", "[1,2]"), 422},
      {httpRequest("POST", "/articulations/arm/set_j", R"({"joint_positions":["a","b"]})"), 422},
      {httpRequest("GET", "/articulations/arm/%00%ff"), 404},
      {"GET /articulations/ghost/stream_joint_positions HTTP/1.1\r\n" + kUpgradeHead, 404},
      {"GET /nowhere HTTP/1.1\r\n" + kUpgradeHead, 404},
      {"GET /articulations/arm/stream_joint_positions HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
       "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n\r\n",
       400},
  };
  for (const auto& [request, status] : cases) {
    RawConnection connection(bridge.port());
    ASSERT_TRUE(connection.send(request));
    const auto response = connection.readResponse();
    ASSERT_TRUE(response) << request.substr(0, 60);
    EXPECT_EQ(response->status, status) << request.substr(0, 60);
    if (status != 400 || (!response->body.empty() && response->body.front() == '{')) {
      const json body = json::parse(response->body);
      EXPECT_EQ(body["status"], status);
      EXPECT_TRUE(body["error"].is_string());
    }
  }
  for (const std::string& unfinished :
       {std::string("GET /artic"),
        std::string("POST /articulations/arm/set_j HTTP/1.1\r\nContent-Length: 100\r\n\r\n{")}) {
    RawConnection connection(bridge.port());
    ASSERT_TRUE(connection.send(unfinished));
    connection.reset();
  }
  EXPECT_EQ(client.articulations.getJointsState("arm")["joint_positions"],
            json(std::vector<double>(6, 0.0)));
  EXPECT_TRUE(bridge.running());
  EXPECT_EQ(bridge.stop(), 0);
}

/// Upgrades `connection` to a stream of `target`; false when the stand-in refuses.
bool openRawStream(RawConnection& connection, const std::string& target) {
  if (!connection.send("GET " + target + " HTTP/1.1\r\n" + kUpgradeHead)) return false;
  const auto upgraded = connection.readResponse();
  return upgraded && upgraded->status == 101;
}

/// The error messages among the next frames of a raw stream, until `count` of them have come
/// (reading at most 5000 frames).
std::vector<json> rawStreamErrors(RawConnection& connection, std::size_t count) {
  std::vector<json> errors;
  for (int frames = 0; frames < 5000 && errors.size() < count; ++frames) {
    const auto frame = connection.readFrame();
    if (!frame) break;
    const json message = json::parse(frame->payload);
    if (message.contains("error")) errors.push_back(message);
  }
  return errors;
}

/// Sends `request` on `connection` and expects its refusal with `status` in a JSON error body.
void expectRefusal(RawConnection& connection, const std::string& request, int status,
                   const std::string& what) {
  ASSERT_TRUE(connection.send(request)) << what;
  const auto response = connection.readResponse();
  ASSERT_TRUE(response) << what;
  EXPECT_EQ(response->status, status) << what << ": " << response->body.substr(0, 200);
  const json body = json::parse(response->body);  // valid UTF-8: raw bytes are replaced
  EXPECT_EQ(body["status"], status);
  EXPECT_TRUE(body["error"].is_string());
}

TEST_F(StandIn, MalformedBodiesAndStreamMessagesAreRefusedWith4xxAndServingGoesOn) {
  client.articulations.create("/World/arm");
  client.surfaceGrippers.create("/World/g");
  client.cameras.create("/World/cam", std::vector<int>{8, 6});
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  // Each refused before anything reads a key: 400 for text that is not acceptable JSON, 422 for
  // JSON that is not an object.
  const std::vector<std::pair<std::string, int>> bodies = {
      {"{\"prim_path\":\"\xff\"}", 400},
      {"{\"local_pose_0\":" + deep + "}", 400},
      {R"({"joint_positions":[1e400]})", 400},
      {R"({"joint_positions":[0.1,)", 400},
      {"[1,2]", 422},
  };
  const std::vector<std::pair<std::string, std::string>> routes = {
      {"PUT", "/articulations"},
      {"POST", "/articulations/arm/assemble_robot"},
      {"POST", "/articulations/arm/set_j"},
      {"POST", "/articulations/arm/move_j"},
      {"PUT", "/articulations/arm/driven_joints"},
      {"PUT", "/surface_grippers"},
      {"PATCH", "/surface_grippers/g/properties"},
      {"PATCH", "/surface_grippers/g/attachment_points"},
      {"POST", "/surface_grippers/g/open"},
      {"POST", "/surface_grippers/g/close"},
      {"PUT", "/cameras"},
      {"POST", "/cameras/cam/capture"},
  };
  std::vector<std::tuple<std::string, int, std::string>> requests;
  for (const auto& [method, target] : routes)
    for (const auto& [body, status] : bodies)
      requests.emplace_back(httpRequest(method, target, body), status, method + " " + target);
  // An identifier taken from the path is quoted in the refusal as received.
  requests.emplace_back(httpRequest("GET", "/articulations/\xff"), 404, "raw byte in a path");
  RawConnection connection(bridge.port());  // kept alive across every refusal
  for (const auto& [request, status, what] : requests)
    ASSERT_NO_FATAL_FAILURE(expectRefusal(connection, request, status, what));
  RawConnection upgrade(bridge.port());
  expectRefusal(upgrade,
                "GET /articulations/\xff/stream_joint_positions HTTP/1.1\r\n" + kUpgradeHead, 404,
                "raw byte in a stream path");

  RawConnection stream(bridge.port());
  ASSERT_TRUE(openRawStream(stream, "/articulations/arm/stream_joint_positions"));
  const std::vector<std::pair<std::string, int>> messages = {
      {webSocketFrame(2, "{\"joint_positions\":[\"\xff\"]}"), 400},
      {webSocketFrame(1, deep), 400},
      {webSocketFrame(1, R"({"joint_positions":[1e400]})"), 400},
      {webSocketFrame(1, R"({"joint_positions":[0.1,)"), 400},
      {webSocketFrame(2, R"({"joint_positions":"x"})"), 422},
  };
  for (const auto& [frame, status] : messages) {
    ASSERT_TRUE(stream.send(frame));
    const std::vector<json> errors = rawStreamErrors(stream, 1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["status"], status) << errors[0].dump();
    EXPECT_TRUE(errors[0]["error"].is_string());
  }
  ASSERT_TRUE(stream.send(webSocketFrame(1, R"({"joint_positions":[0.3],"indices":[0]})")));
  WebSocketStream watch = client.articulations.streamJointPositions("arm");
  EXPECT_TRUE(receiveUntil(
      watch, [](const json& m) { return m["joint_positions"][0].get<double>() == 0.3; }));
  EXPECT_EQ(client.get("/").status, 200);
}

TEST_F(StandIn, StreamMessagesLargerThanAWriteBufferArriveAsOneFrame) {
  const std::string id(5000, 'a');
  client.articulations.create("/World/" + id);
  RawConnection stream(bridge.port());
  ASSERT_TRUE(openRawStream(stream, "/articulations/" + id + "/stream_articulation_state"));
  for (int i = 0; i < 3; ++i) {
    const auto frame = stream.readFrame();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->fin);
    EXPECT_EQ(frame->opcode, 1);  // text, never a continuation
    ASSERT_GT(frame->payload.size(), id.size());
    EXPECT_EQ(json::parse(frame->payload)["articulation_id"], id);
  }
}

TEST_F(StandIn, RefusalsToAClientThatDoesNotReadAreDroppedLikeSkippedTicks) {
  client.articulations.create("/World/arm");
  RawConnection stream(bridge.port());
  ASSERT_TRUE(openRawStream(stream, "/articulations/arm/stream_joint_positions"));
  // Each refusal quotes the whole 60 KB token: 500 of them are far more than the connection's
  // buffers hold, so most must be dropped while the client does not read.
  constexpr int kRefused = 500;
  const std::string refused = webSocketFrame(1, "\"" + std::string(60000, 'a') + "\x01");
  for (int i = 0; i < kRefused; ++i) ASSERT_TRUE(stream.send(refused));
  ASSERT_TRUE(stream.send(webSocketFrame(1, R"({"joint_positions":[0.7],"indices":[0]})")));
  // Once the targets move the arm, every message before them has been read and refused.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  bool moved = false;
  while (!moved && std::chrono::steady_clock::now() < deadline) {
    moved = client.articulations.getJointsState("arm")["joint_positions"][0].get<double>() != 0.0;
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(moved);

  int errors = 0;
  for (int frames = 0, ticksInARow = 0; frames < 5000 && ticksInARow < 30; ++frames) {
    const auto frame = stream.readFrame();
    ASSERT_TRUE(frame);
    const bool error = json::parse(frame->payload).contains("error");
    errors += error ? 1 : 0;
    ticksInARow = error ? 0 : ticksInARow + 1;
  }
  EXPECT_GT(errors, 0);
  EXPECT_LT(errors, kRefused / 2);
  EXPECT_EQ(client.get("/").status, 200);
}

/// The contents of the file at `path` (empty when it cannot be read).
std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

/// Files a test writes, removed when it ends however it ends.
struct ScratchFiles {
  std::vector<std::filesystem::path> paths;
  ~ScratchFiles() {
    std::error_code ignored;
    for (const auto& path : paths) std::filesystem::remove(path, ignored);
  }
  std::filesystem::path add(const std::string& name) {
    paths.push_back(std::filesystem::temp_directory_path() /
                    ("strandel_e2e_" + std::to_string(::getpid()) + "_" + name));
    return paths.back();
  }
};

TEST(StandInLimits, OutOfDescriptorsItWaitsQuietlyAndServesAgainOnceSomeClose) {
  ScratchFiles scratch;
  const std::filesystem::path log = scratch.add("descriptors.log");
  constexpr rlim_t kLimit = 64;
  constexpr int kIdle = 100;   // more than kLimit: the rest wait in the listen queue
  constexpr int kClosed = 60;  // enough that the queued ones and a probe fit again
  BridgeProcess bridge({"--verbose"}, BridgeLaunch{kLimit, log.string()});
  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < kIdle; ++i) idle.push_back(std::make_unique<RawConnection>(bridge.port()));

  const std::string exhausted = "accept failed: Too many open files";
  const auto reported = std::chrono::steady_clock::now() + 20s;
  while (fileText(log).find(exhausted) == std::string::npos &&
         std::chrono::steady_clock::now() < reported)
    std::this_thread::sleep_for(20ms);
  ASSERT_NE(fileText(log).find(exhausted), std::string::npos) << fileText(log);

  // Out of descriptors with connections waiting: a loop that retried at once would take a whole
  // core and log each failure.
  const double cpuBefore = bridge.cpuSeconds();
  const auto from = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2s);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  const double cpu = bridge.cpuSeconds() - cpuBefore;
  EXPECT_LT(cpu, 0.3 * wall) << cpu << " s of CPU in " << wall << " s";
  EXPECT_LT(fileText(log).size(), 16u * 1024u) << fileText(log).substr(0, 2000);

  idle.erase(idle.begin(), idle.begin() + kClosed);
  RawConnection probe(bridge.port());
  ASSERT_TRUE(probe.send(httpRequest("GET", "/")));
  const auto answer = probe.readResponse();
  ASSERT_TRUE(answer) << "no answer within the connection's 20 s wait";
  EXPECT_EQ(answer->status, 200);
  idle.clear();
  EXPECT_EQ(bridge.stop(), 0);
}

/// The resident memory of process `pid` in bytes (VmRSS in /proc/PID/status); 0 when unknown.
std::uint64_t residentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  return 0;
}

/// How often `needle` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

TEST(StandInLimits, ClientsThatNeverReadTheirFramesLeaveMemoryBoundedAndOthersServed) {
  ScratchFiles scratch;
  const std::filesystem::path log = scratch.add("unread.log");
  BridgeProcess bridge({"--verbose"}, BridgeLaunch{0, log.string()});
  IsaacSimClient client("unread", bridge.httpUrl(), bridge.wsUrl(),
                        std::chrono::milliseconds(30000), 0);
  // The slowest camera renders its 4096x4096 frame once and answers it again: 117 MB a capture.
  client.cameras.create("/World/big", std::vector<int>{4096, 4096}, 0.01);
  client.cameras.create("/World/small", std::vector<int>{64, 48});
  constexpr int kSilent = 12;  // 1.4 GB of answers if every one waited
  std::vector<std::unique_ptr<RawConnection>> silent;
  for (int i = 0; i < kSilent; ++i) {
    silent.push_back(std::make_unique<RawConnection>(bridge.port()));
    ASSERT_TRUE(silent.back()->send(httpRequest("POST", "/cameras/big/capture", "{}")));
  }
  const std::string answered = "POST /cameras/big/capture -> ";
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (occurrences(fileText(log), answered) < kSilent &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  const std::string text = fileText(log);
  ASSERT_EQ(occurrences(text, answered), static_cast<std::size_t>(kSilent)) << text;
  // Two fit in the default 256 MiB that may wait; the others are told to come back.
  EXPECT_EQ(occurrences(text, answered + "200"), 2u) << text;

  const std::uint64_t resident = residentBytes(bridge.pid());
  EXPECT_GT(resident, 0u);
  EXPECT_LT(resident, 1000u * 1000u * 1000u) << resident / 1000000 << " MB";

  EXPECT_EQ(client.get("/").status, 200);
  const CameraFrame small = client.cameras.capture("small");
  EXPECT_EQ(small.namedOutputs().size(), 2u);
  silent.clear();
  EXPECT_EQ(bridge.stop(), 0);
}

TEST(StandInLimits, ConnectionsBeyondTheCapAreAnswered503AndClosedWhileTheOthersAreServed) {
  BridgeProcess bridge({"--max-connections", "8"});
  std::vector<std::unique_ptr<RawConnection>> served;
  for (int i = 0; i < 8; ++i) {
    served.push_back(std::make_unique<RawConnection>(bridge.port()));
    ASSERT_TRUE(served.back()->send(httpRequest("GET", "/")));
    const auto answer = served.back()->readResponse();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
  }
  std::vector<std::unique_ptr<RawConnection>> beyond;
  for (int i = 0; i < 20; ++i) {
    beyond.push_back(std::make_unique<RawConnection>(bridge.port()));
    ASSERT_TRUE(beyond.back()->send(httpRequest("GET", "/")));
  }
  for (auto& connection : beyond) {
    const auto refused = connection->readResponse();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    EXPECT_NE(refused->head.find("Connection: close"), std::string::npos) << refused->head;
    EXPECT_EQ(json::parse(refused->body),
              json({{"error",
                     "too many connections: the stand-in serves at most 8 at once; try "
                     "again later"},
                    {"status", 503}}));
    EXPECT_EQ(connection->readSome(1), "");  // closed
  }
  for (auto& connection : served) {
    ASSERT_TRUE(connection->send(httpRequest("GET", "/")));
    const auto answer = connection->readResponse();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
  }
  served.pop_back();  // leaving makes room for one more
  int status = 0;
  for (int i = 0; i < 100 && status != 200; ++i) {
    RawConnection next(bridge.port());
    ASSERT_TRUE(next.send(httpRequest("GET", "/")));
    const auto answer = next.readResponse();
    status = answer ? answer->status : 0;
    if (status != 200) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(status, 200);
  EXPECT_EQ(bridge.stop(), 0);
}

TEST(StandInLimits, ConnectionsThatNeverCompleteARequestAreClosedAfterTheRequestTimeout) {
  BridgeProcess bridge({"--request-timeout-ms", "300"});
  RawConnection kept(bridge.port());
  ASSERT_TRUE(kept.send(httpRequest("GET", "/")));
  ASSERT_TRUE(kept.readResponse());
  RawConnection silent(bridge.port());
  RawConnection partial(bridge.port());
  ASSERT_TRUE(partial.send("POST /articulations HTTP/1.1\r\nContent-Length: 100\r\n\r\n{"));
  const auto from = std::chrono::steady_clock::now();
  EXPECT_EQ(silent.readSome(1), "");
  EXPECT_EQ(partial.readSome(1), "");
  EXPECT_LT(std::chrono::steady_clock::now() - from, 10s);  // not the 20 s wait of readSome
  // A kept-alive connection may wait longer than that for its next request.
  ASSERT_TRUE(kept.send(httpRequest("GET", "/")));
  const auto again = kept.readResponse();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  EXPECT_EQ(bridge.stop(), 0);
}

TEST(StandInLifecycle, StopsCleanlyOnSigtermWhileServing) {
  BridgeProcess bridge;
  IsaacSimClient client("lifecycle", bridge.httpUrl(), bridge.wsUrl(),
                        std::chrono::milliseconds(10000), 0);
  client.articulations.create("/World/arm");
  WebSocketStream stream = client.articulations.streamJointPositions("arm");
  ASSERT_TRUE(receiveJson(stream));
  RawConnection waiting(bridge.port());
  ASSERT_TRUE(
      waiting.send(httpRequest("POST", "/articulations/arm/move_j",
                               R"({"asynchronous":false,"indices":[0],"joint_positions":[3.0]})")));
  RawConnection idle(bridge.port());
  EXPECT_EQ(bridge.stop(), 0);
  EXPECT_FALSE(
      waiting.readResponse());  // the unfinished motion's answer is dropped with its connection
}

}  // namespace
}  // namespace strandel::e2e
