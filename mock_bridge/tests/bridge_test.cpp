#include "bridge.hpp"

#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "refusal.hpp"
#include "server.hpp"

namespace strandel::mock_bridge {
namespace {

using std::chrono::milliseconds;

/// Options whose clock steps the world `rate` times a second.
Options stepping(double rate) {
  Options options;
  options.physics_rate = rate;
  return options;
}

class BridgeTest : public ::testing::Test {
 protected:
  /// Each step() advances simulated time by 0.05 seconds.
  Bridge bridge{stepping(20.0)};
  Bridge::Clock::time_point now{};

  /// The replies given so far, in order.
  std::vector<Reply> replies;

  void SetUp() override { bridge.tick(now); }

  /// Ticks `steps` times, one period apart.
  void step(int steps = 1) {
    for (int i = 0; i < steps; ++i) bridge.tick(now += milliseconds(50));
  }

  void send(const std::string& method, const std::string& target, const std::string& body = "") {
    bridge.handle(Request{method, target, body},
                  [this](Reply reply) { replies.push_back(std::move(reply)); });
  }

  /// The one reply of a request answered at once.
  Reply call(const std::string& method, const std::string& target, const std::string& body = "") {
    const std::size_t before = replies.size();
    send(method, target, body);
    EXPECT_EQ(replies.size(), before + 1) << method << " " << target;
    return replies.empty() ? Reply{} : replies.back();
  }

  /// The subscription to the stream at `target`, or null when it is refused.
  std::unique_ptr<Bridge::Stream> open(const std::string& target) {
    return bridge.openStream(target).stream;
  }

  /// The refusal `stream` answers `text` with, as JSON; null when its targets are taken.
  static json refusalOf(Bridge::Stream& stream, const std::string& text) {
    const std::optional<std::string> refused = stream.receive(text);
    return refused ? json::parse(*refused) : json();
  }

  void createArm() {
    call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  }
};

TEST_F(BridgeTest, ErrorsCarryTheirStatusInAJsonBody) {
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

TEST_F(BridgeTest, EveryEndpointAnswers) {
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

TEST_F(BridgeTest, CaptureAnswersABinaryFrameAndAnEmptyBodyCountsAsAnEmptyObject) {
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

TEST_F(BridgeTest, ASynchronousMoveIsAnsweredWhenTheMotionEnds) {
  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  send("POST", "/articulations/arm/move_j",
       R"({"asynchronous":false,"indices":[0],"joint_positions":[0.2]})");
  send("POST", "/surface_grippers/none/close", R"({"asynchronous":false})");
  ASSERT_EQ(replies.size(), 2u);  // the create and the 404 for the unknown gripper
  EXPECT_EQ(replies[1].status, 404);
  step();
  EXPECT_EQ(replies.size(), 2u);
  step();
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[2].status, 200);
  const json state = json::parse(replies[2].body);
  EXPECT_EQ(state["status"], "reached");
  EXPECT_DOUBLE_EQ(state["joint_positions"][0].get<double>(), 0.2);
}

TEST_F(BridgeTest, StreamPathsAreRecognisedAndPlainRequestsToThemAskForAnUpgrade) {
  createArm();
  const std::unique_ptr<Bridge::Stream> state =
      open("/articulations/arm/stream_articulation_state");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->articulationId(), "arm");
  EXPECT_TRUE(json::parse(state->next()).contains("joint_velocities"));
  const std::unique_ptr<Bridge::Stream> positions =
      open("/articulations/arm/stream_joint_positions");
  ASSERT_TRUE(positions);
  EXPECT_FALSE(json::parse(positions->next()).contains("joint_velocities"));
  for (const std::string target :
       {"/articulations/arm/joints_state", "/articulations//arm/stream_joint_positions"}) {
    const Bridge::Opening refused = bridge.openStream(target);
    EXPECT_FALSE(refused.stream);
    EXPECT_EQ(refused.refusal.status, 404);
    EXPECT_EQ(json::parse(refused.refusal.body), errorBody(404, "no stream at " + target));
  }

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

TEST_F(BridgeTest, IdentifiersAreSegmentsAsReceived) {
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

TEST_F(BridgeTest, ABodyIsRefusedForItsTextThenItsIdentifierThenItsShape) {
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

TEST_F(BridgeTest, StreamMessagesAreJointTargetsForAKnownArticulation) {
  createArm();
  const std::unique_ptr<Bridge::Stream> stream = open("/articulations/arm/stream_joint_positions");
  ASSERT_TRUE(stream);
  const json malformed = refusalOf(*stream, "{oops");
  EXPECT_EQ(malformed["status"], 400);
  EXPECT_EQ(malformed.value("error", "").rfind("malformed JSON: ", 0), 0u);
  EXPECT_EQ(refusalOf(*stream, "[1,2]"), errorBody(422, "the request body must be a JSON object"));
  EXPECT_EQ(refusalOf(*stream, "")["status"], 400);  // no {} for ""

  EXPECT_EQ(
      refusalOf(*stream, R"({"joint_positions":[0.1],"indices":[5],"asynchronous":"ignored"})"),
      nullptr);
  step(20);
  EXPECT_DOUBLE_EQ(
      json::parse(call("GET", "/articulations/arm/joints_state").body)["joint_positions"][5]
          .get<double>(),
      0.1);
  // An unknown articulation comes first.
  call("DELETE", "/articulations/arm");
  EXPECT_EQ(refusalOf(*stream, "{oops"), errorBody(404, "articulation 'arm' not found"));
}

TEST_F(BridgeTest, RefusalsQuotingRawBytesAreValidJsonAndMalformedTextIsNeverA5xx) {
  call("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD stands for each byte that is not UTF-8
  const Reply bad = call("POST", "/articulations/arm/set_j", "{\"joint_positions\":[\"\xff\"]}");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(json::parse(bad.body)["error"].get<std::string>().find(replacement), std::string::npos);
  EXPECT_EQ(json::parse(call("GET", "/articulations/\xff").body),
            errorBody(404, "articulation '" + replacement + "' not found"));
  EXPECT_EQ(call("POST", "/articulations/arm/set_j", R"({"joint_positions":[1e400]})").status, 400);

  // A stream message is answered with the refusal's text, or nothing when its targets are taken.
  const std::unique_ptr<Bridge::Stream> stream = open("/articulations/arm/stream_joint_positions");
  ASSERT_TRUE(stream);
  for (const std::string& text :
       {std::string("{\"joint_positions\":[\"\xff\"]}"), std::string("[1e400]"),
        std::string(100, '['), std::string("{")}) {
    const std::optional<std::string> refused = stream->receive(text);
    ASSERT_TRUE(refused) << text;
    EXPECT_EQ(json::parse(*refused)["status"], 400) << *refused;
  }
  EXPECT_EQ(json::parse(stream->receive("[]").value_or("")),
            errorBody(422, "the request body must be a JSON object"));
  EXPECT_FALSE(stream->receive(R"({"joint_positions":[0.1],"indices":[0]})"));
  call("DELETE", "/articulations/arm");
  EXPECT_EQ(json::parse(stream->receive("{}").value_or("")),
            errorBody(404, "articulation 'arm' not found"));
}

TEST(BridgeClock, TicksStepOncePerPeriodAndFallingFarBehindSlowsSimulatedTimeDown) {
  Bridge bridge(stepping(10.0));  // 0.1 simulated seconds a step
  std::vector<Reply> replies;
  const auto send = [&](const std::string& method, const std::string& target,
                        const std::string& body) {
    bridge.handle(Request{method, target, body}, [&](Reply r) { replies.push_back(std::move(r)); });
  };
  const auto simTime = [&] {
    send("GET", "/", "");
    return json::parse(replies.back().body)["sim_time"].get<double>();
  };
  const Bridge::Clock::time_point t0{std::chrono::seconds(100)};
  EXPECT_EQ(bridge.tick(t0), t0 + milliseconds(100));  // starts the clock, steps nothing
  EXPECT_EQ(bridge.tick(t0 + milliseconds(50)), t0 + milliseconds(100));  // nothing due yet
  EXPECT_EQ(simTime(), 0.0);

  send("PUT", "/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  // shoulder_pan moves at 2 rad/s: 0.4 rad takes two steps.
  send("POST", "/articulations/arm/move_j", R"({"indices":[0],"joint_positions":[0.4]})");
  const std::size_t waiting = replies.size();
  EXPECT_EQ(bridge.tick(t0 + milliseconds(100)), t0 + milliseconds(200));
  EXPECT_EQ(replies.size(), waiting);
  // Up to eight periods late is caught up a step a tick; later, the clock restarts from now.
  EXPECT_EQ(bridge.tick(t0 + milliseconds(1000)), t0 + milliseconds(300));
  ASSERT_EQ(replies.size(), waiting + 1);
  EXPECT_EQ(json::parse(replies[waiting].body)["status"], "reached");
  EXPECT_EQ(bridge.tick(t0 + milliseconds(1200)), t0 + milliseconds(400));
  EXPECT_EQ(bridge.tick(t0 + milliseconds(1301)), t0 + milliseconds(1301));
  EXPECT_DOUBLE_EQ(simTime(), 0.4);
}

TEST_F(BridgeTest, StreamsFeedOneIncarnationOfAnArticulationAndTakeItsTargets) {
  Bridge::Opening refused = bridge.openStream("/articulations/arm/stream_joint_positions");
  EXPECT_FALSE(refused.stream);
  EXPECT_EQ(refused.refusal.status, 404);
  EXPECT_EQ(json::parse(refused.refusal.body), errorBody(404, "articulation 'arm' not found"));
  refused = bridge.openStream("/articulations/arm/stream_nothing?x");
  EXPECT_EQ(json::parse(refused.refusal.body),
            errorBody(404, "no stream at /articulations/arm/stream_nothing?x"));

  createArm();
  const std::unique_ptr<Bridge::Stream> positions =
      open("/articulations/arm/stream_joint_positions");
  const std::unique_ptr<Bridge::Stream> state =
      open("/articulations/arm/stream_articulation_state");
  ASSERT_TRUE(positions && state);
  EXPECT_EQ(json::parse(positions->next())["sequence"], 0);
  EXPECT_EQ(json::parse(positions->next())["sequence"], 1);
  EXPECT_EQ(json::parse(state->next())["gripper"], nullptr);

  EXPECT_FALSE(state->receive(R"({"joint_positions":[0.1],"indices":[0]})"));
  step(2);
  const json moved = json::parse(state->next());
  EXPECT_EQ(moved["sequence"], 1);
  EXPECT_DOUBLE_EQ(moved["joint_positions"][0].get<double>(), 0.1);
  EXPECT_DOUBLE_EQ(moved["sim_time"].get<double>(), 0.1);

  EXPECT_FALSE(positions->ended());
  call("DELETE", "/articulations/arm");
  createArm();
  EXPECT_TRUE(positions->ended());  // the articulation of the same identifier is another one
  EXPECT_TRUE(state->ended());
  EXPECT_FALSE(open("/articulations/arm/stream_joint_positions")->ended());
}

/// An HTTP/1.1 client of one connection to 127.0.0.1; every exchange ends within 10 seconds. One
/// that sends and never receives is a client that does not read its answers.
class HttpClient {
 public:
  explicit HttpClient(std::uint16_t port) : stream_(ioc_) {
    stream_.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  }

  void send(boost::beast::http::verb method, const std::string& target, const std::string& body) {
    boost::beast::http::request<boost::beast::http::string_body> request{method, target, 11};
    request.set(boost::beast::http::field::host, "127.0.0.1");
    request.body() = body;
    request.prepare_payload();
    boost::beast::http::write(stream_, request);
  }

  /// The next response's body as JSON (with its status when `status` is given), or nothing when
  /// the connection ends (or 10 seconds pass) first.
  std::optional<json> receive(int* status = nullptr) {
    boost::beast::http::response_parser<boost::beast::http::string_body> parser;
    parser.body_limit(kAnyLength);
    boost::beast::error_code error = boost::asio::error::timed_out;
    stream_.expires_after(std::chrono::seconds(10));
    boost::beast::http::async_read(stream_, buffer_, parser,
                                   [&](boost::beast::error_code ec, std::size_t) { error = ec; });
    ioc_.restart();
    ioc_.run();
    if (error) return std::nullopt;
    const auto& response = parser.get();
    if (status) *status = response.result_int();
    if (response[boost::beast::http::field::content_type] != "application/json") return json();
    return json::parse(response.body());
  }

  /// The status of the next response, reading its head only (0 when none comes in 10 seconds).
  int receiveHead() {
    boost::beast::http::response_parser<boost::beast::http::string_body> parser;
    parser.body_limit(kAnyLength);
    boost::beast::error_code error = boost::asio::error::timed_out;
    stream_.expires_after(std::chrono::seconds(10));
    boost::beast::http::async_read_header(
        stream_, buffer_, parser, [&](boost::beast::error_code ec, std::size_t) { error = ec; });
    ioc_.restart();
    ioc_.run();
    return error ? 0 : parser.get().result_int();
  }

  /// The status of the answer to `method` on `target` (0 when none comes).
  int status(boost::beast::http::verb method, const std::string& target,
             const std::string& body = "") {
    send(method, target, body);
    int status = 0;
    return receive(&status) ? status : 0;
  }

  std::optional<json> exchange(boost::beast::http::verb method, const std::string& target,
                               const std::string& body = "") {
    send(method, target, body);
    return receive();
  }

 private:
  using tcp = boost::asio::ip::tcp;
  /// Camera frames are longer than a parser takes by default.
  static constexpr std::uint64_t kAnyLength = std::numeric_limits<std::uint64_t>::max();
  boost::asio::io_context ioc_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
};

/// The stand-in's server on 127.0.0.1 with a port the system chose, served on a thread of its own.
class ServedBridge {
 public:
  explicit ServedBridge(Options options = {})
      : server_(ioc_, onFreePort(std::move(options))), port_(server_.port()) {
    server_.start();
    serving_ = std::async(std::launch::async, [this] { ioc_.run(); });
  }
  ~ServedBridge() { stop(); }

  std::uint16_t port() const { return port_; }

  /// Stops the server on its thread; whether that let its io_context run out of work within 10
  /// seconds (if not, the io_context is stopped).
  bool stop() {
    if (!serving_.valid()) return true;
    boost::asio::post(ioc_, [this] { server_.stop(); });
    const bool stopped = serving_.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!stopped) ioc_.stop();
    serving_.get();
    return stopped;
  }

 private:
  static Options onFreePort(Options options) {
    options.port = 0;
    return options;
  }

  boost::asio::io_context ioc_;
  Server server_;
  std::uint16_t port_;
  std::future<void> serving_;
};

TEST(BridgeServer, AWaitedForMotionIsAnsweredOnItsConnectionAndStopDropsAPendingAnswer) {
  using boost::beast::http::verb;
  ServedBridge bridge;
  HttpClient client(bridge.port());
  ASSERT_TRUE(client.exchange(verb::put, "/articulations", R"({"prim_path":"/World/arm"})"));
  // shoulder_pan moves at 2 rad/s: an answer after about 0.1 s, on the same connection.
  const std::optional<json> reached = client.exchange(verb::post, "/articulations/arm/move_j",
                                                      R"({"indices":[0],"joint_positions":[0.2]})");
  ASSERT_TRUE(reached);
  EXPECT_EQ((*reached)["status"], "reached");
  EXPECT_EQ((*reached)["joint_positions"][0], 0.2);

  HttpClient waiting(bridge.port());  // a motion of 1.4 s that the server stops before its end
  waiting.send(verb::post, "/articulations/arm/move_j",
               R"({"indices":[0],"joint_positions":[3.0]})");
  bool moving = false;
  for (int i = 0; i < 500 && !moving; ++i)
    moving = client.exchange(verb::get, "/articulations/arm/joints_state")
                 .value_or(json::object())
                 .value("moving", false);
  ASSERT_TRUE(moving);
  EXPECT_TRUE(bridge.stop());
  EXPECT_FALSE(waiting.receive());
}

TEST(BridgeServer, AnswersBeyondTheUnsentBytesAre503WhileSmallOnesAndOtherClientsAreServed) {
  using boost::beast::http::verb;
  Options options;
  options.max_unsent_bytes = 20'000'000;
  options.max_total_unsent_bytes = 40'000'000;
  ServedBridge bridge(options);
  HttpClient client(bridge.port());
  // Frames of 2048x1024 (14.7 MB) and 2048x2048 (29.4 MB) are far more than loopback's buffers
  // take from a client that does not read.
  for (const auto& [prim, width, height] :
       {std::tuple{"/big", 2048, 1024}, std::tuple{"/huge", 2048, 2048},
        std::tuple{"/small", 64, 48}})
    ASSERT_EQ(client.status(verb::put, "/cameras",
                            json{{"prim_path", prim}, {"resolution", {width, height}}}.dump()),
              201);

  client.send(verb::post, "/cameras/huge/capture", "{}");
  int status = 0;
  const std::string huge = client.receive(&status).value_or(json()).value("error", "");
  EXPECT_EQ(status, 503);
  EXPECT_EQ(huge.rfind("answer of 2936", 0), 0u) << huge;
  EXPECT_NE(huge.find(" bytes is larger than the 20000000 bytes a connection may have waiting "
                      "to be sent"),
            std::string::npos)
      << huge;

  // Two answers wait for clients that read their heads only; a third does not fit beside them.
  std::optional<HttpClient> silent[2];
  for (auto& one : silent) {
    one.emplace(bridge.port());
    one->send(verb::post, "/cameras/big/capture", "{}");
    EXPECT_EQ(one->receiveHead(), 200);
  }
  client.send(verb::post, "/cameras/big/capture", "{}");
  const std::string dropped = client.receive().value_or(json()).value("error", "");
  EXPECT_NE(dropped.find(" bytes wait to be sent to other clients and at most 40000000 may; try "
                         "again later"),
            std::string::npos)
      << dropped;
  // Small answers and other requests are served meanwhile, on the same connection.
  EXPECT_EQ(client.status(verb::post, "/cameras/small/capture", "{}"), 200);
  EXPECT_EQ(client.status(verb::get, "/"), 200);

  // A client that leaves gives its waiting bytes back.
  silent[0].reset();
  int third = 0;
  for (int i = 0; i < 200; ++i) {
    if ((third = client.status(verb::post, "/cameras/big/capture", "{}")) == 200) break;
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(third, 200);
  EXPECT_TRUE(bridge.stop());
}

}  // namespace
}  // namespace strandel::mock_bridge
