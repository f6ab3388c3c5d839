#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <strandel/isaacsim_client.hpp>

#include "camera_frame_writer.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_helpers.hpp"

namespace strandel {
namespace {

using testing_util::RecordedRequest;
using testing_util::ScriptedAnswer;
using testing_util::ScriptedPeer;
using testing_util::thrownText;
using testing_util::Wire;
using testing_util::wire;

constexpr auto& kJson = testing_util::kJsonContentType;

std::string sampleFrame() {
  return detail::writeCameraFrame(
      {{"rgb",
        {2, 2, 3},
        "uint8",
        std::string("\x10\x20\x30\x40\x50\x60\x70\x80\x90\xA0\xB0\xC0", 12)},
       {"depth", {2, 2}, "float32", std::string(16, '\x3F')}});
}

ScriptedAnswer binaryAnswer(int status, std::string body) {
  ScriptedAnswer answer = ScriptedAnswer::status_only(status, std::move(body));
  answer.header_lines.push_back("Content-Type: application/octet-stream");
  return answer;
}

class CameraCalls : public ::testing::Test {
 protected:
  ScriptedPeer peer;
  IsaacSimClient client{"test", peer.baseUrl(), peer.wsBaseUrl(), std::chrono::seconds(10), 0};
  Camera& cameras = client.cameras;

  std::vector<Wire> wires() const {
    std::vector<Wire> out;
    for (const auto& request : peer.requests()) out.push_back(wire(request));
    return out;
  }
};

TEST_F(CameraCalls, CreateLeavesOutAbsentOptions) {
  peer.enqueue({ScriptedAnswer::json(200, R"({"camera_id":"cam0"})"), ScriptedAnswer::json(201, ""),
                ScriptedAnswer::json(200, "{}")});
  EXPECT_EQ(cameras.create("/World/cam"), json({{"camera_id", "cam0"}}));
  EXPECT_EQ(cameras.create("/World/cam", std::vector<int>{640, 480, 3}, 30.0), json::object());
  cameras.create("/World/\xC3\xA9", std::vector<int>{}, std::nullopt);
  EXPECT_EQ(wires(),
            (std::vector<Wire>{
                {"PUT", "/cameras", kJson, R"({"prim_path":"/World/cam"})"},
                {"PUT", "/cameras", kJson,
                 R"({"frequency":30.0,"prim_path":"/World/cam","resolution":[640,480,3]})"},
                {"PUT", "/cameras", kJson, "{\"prim_path\":\"/World/\xC3\xA9\",\"resolution\":[]}"},
            }));
}

TEST_F(CameraCalls, CaptureSendsOnlyGivenOptionsAndDecodesTheFrame) {
  peer.setDefault(binaryAnswer(200, sampleFrame()));
  const CameraFrame frame = cameras.capture("cam1");
  cameras.capture("cam1", std::vector<std::string>{}, false);
  cameras.capture("cam1", std::vector<std::string>{"rgb", "Depth "}, std::nullopt);
  cameras.capture("", std::nullopt, true);
  cameras.capture("rig/cam1", std::nullopt, std::nullopt);
  const auto sent = wires();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0], Wire("POST", "/cameras/cam1/capture", kJson, "{}"));
  EXPECT_EQ(sent[1], Wire("POST", "/cameras/cam1/capture", kJson,
                          R"({"data_types":[],"world_frame":false})"));
  EXPECT_EQ(sent[2],
            Wire("POST", "/cameras/cam1/capture", kJson, R"({"data_types":["rgb","Depth "]})"));
  EXPECT_EQ(sent[3], Wire("POST", "/cameras//capture", kJson, R"({"world_frame":true})"));
  EXPECT_EQ(sent[4], Wire("POST", "/cameras/rig/cam1/capture", kJson, "{}"));

  ASSERT_EQ(frame.outputs.size(), 2u);
  const CameraOutput* rgb = frame.output("rgb");
  const CameraOutput* depth = frame.output("depth");
  ASSERT_NE(rgb, nullptr);
  ASSERT_NE(depth, nullptr);
  EXPECT_EQ(rgb->shape, (std::vector<std::uint64_t>{2, 2, 3}));
  EXPECT_EQ(rgb->elementCount() * rgb->itemSize(), 12u);
  EXPECT_EQ(rgb->data.front(), 0x10);
  EXPECT_EQ(rgb->data.back(), 0xC0);
  EXPECT_EQ(depth->dtype, "float32");
  EXPECT_EQ(depth->data, std::vector<std::uint8_t>(16, 0x3F));
}

TEST_F(CameraCalls, CaptureChecksTheStatusBeforeDecoding) {
  const std::string frame_body = sampleFrame();
  peer.enqueue({binaryAnswer(404, frame_body), binaryAnswer(299, frame_body),
                ScriptedAnswer::json(500, R"({"error":"render failed"})"),
                ScriptedAnswer::json(200, R"({"not":"a frame"})")});
  try {
    cameras.capture("cam1");
    ADD_FAILURE() << "a 404 frame was decoded";
  } catch (const HTTPError& error) {
    EXPECT_EQ(error.statusCode(), 404);
    EXPECT_EQ(error.body(), frame_body);
    EXPECT_STREQ(error.what(), "Bridge returned status 404");
  }
  EXPECT_EQ(cameras.capture("cam1").outputs.size(), 2u);
  try {
    cameras.capture("cam1");
    ADD_FAILURE() << "no HTTPError for 500";
  } catch (const HTTPError& error) {
    EXPECT_EQ(error.statusCode(), 500);
    EXPECT_EQ(error.body(), R"({"error":"render failed"})");
  }
  EXPECT_EQ(thrownText<std::runtime_error>([&] { cameras.capture("cam1"); }),
            "camera response is not a binary frame: expected it to start with \"QXB1\"");
}

TEST_F(CameraCalls, CaptureIntoAFrameReusesItsMemoryAndFailuresLeaveItEmpty) {
  std::string big_rgb(64 * 48 * 3, '\0');
  for (std::size_t i = 0; i < big_rgb.size(); ++i) big_rgb[i] = static_cast<char>(i * 7);
  const std::string big =
      detail::writeCameraFrame({{"rgb", {48, 64, 3}, "uint8", big_rgb},
                                {"depth", {48, 64}, "float32", std::string(48 * 64 * 4, '\x41')}});
  const std::string small = sampleFrame();  // rgb [2,2,3] uint8 and depth [2,2] float32
  peer.enqueue({binaryAnswer(200, big), binaryAnswer(200, small), binaryAnswer(200, small),
                binaryAnswer(404, small), ScriptedAnswer::json(200, R"({"not":"a frame"})")});

  CameraFrame into;
  cameras.capture("cam1", into, std::vector<std::string>{"rgb", "depth"}, true);
  ASSERT_EQ(into.outputs.size(), 2u);
  EXPECT_EQ(into.output("rgb")->shape, (std::vector<std::uint64_t>{48, 64, 3}));
  EXPECT_EQ(into.output("rgb")->data, std::vector<std::uint8_t>(big_rgb.begin(), big_rgb.end()));
  EXPECT_TRUE(into.body_buffer.empty());
  EXPECT_GE(into.body_buffer.capacity(), big.size());
  const std::uint8_t* const rgb_data = into.outputs[0].data.data();
  const std::uint8_t* const depth_data = into.outputs[1].data.data();
  const char* const body_data = into.body_buffer.data();

  // A smaller frame of another shape fits: no buffer moves, the content is the new frame's.
  cameras.capture("cam1", into);
  const CameraFrame fresh = cameras.capture("cam1");
  EXPECT_EQ(into.structure, fresh.structure);
  ASSERT_EQ(into.outputs.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(into.outputs[i].shape, fresh.outputs[i].shape);
    EXPECT_EQ(into.outputs[i].dtype, fresh.outputs[i].dtype);
    EXPECT_EQ(into.outputs[i].data, fresh.outputs[i].data);
  }
  EXPECT_EQ(into.outputs[0].data.data(), rgb_data);
  EXPECT_EQ(into.outputs[1].data.data(), depth_data);
  EXPECT_EQ(into.body_buffer.data(), body_data);

  // Failures: the capture's errors, and the frame left empty with its memory kept.
  try {
    cameras.capture("cam1", into);
    ADD_FAILURE() << "a 404 frame was decoded";
  } catch (const HTTPError& error) {
    EXPECT_EQ(error.statusCode(), 404);
    EXPECT_EQ(error.body(), small);
  }
  EXPECT_TRUE(into.structure.is_null());
  EXPECT_TRUE(into.outputs.empty());
  EXPECT_TRUE(into.body_buffer.empty());
  EXPECT_EQ(into.body_buffer.data(), body_data);
  EXPECT_EQ(thrownText<std::runtime_error>([&] { cameras.capture("cam1", into); }),
            "camera response is not a binary frame: expected it to start with \"QXB1\"");
  EXPECT_TRUE(into.structure.is_null());
  EXPECT_TRUE(into.outputs.empty());
  EXPECT_EQ(into.body_buffer.data(), body_data);

  const auto sent = wires();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0], Wire("POST", "/cameras/cam1/capture", kJson,
                          R"({"data_types":["rgb","depth"],"world_frame":true})"));
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i], Wire("POST", "/cameras/cam1/capture", kJson, "{}"));
  }
}

TEST_F(CameraCalls, RemoveChecksTheAnswerAndDropsIt) {
  peer.enqueue({ScriptedAnswer::status_only(204), ScriptedAnswer::json(200, R"({"removed":true})"),
                ScriptedAnswer::status_only(200, "removed"), ScriptedAnswer::json(404, "{}")});
  EXPECT_NO_THROW(cameras.remove("cam1"));
  EXPECT_NO_THROW(cameras.remove(""));
  EXPECT_EQ(thrownText<json::parse_error>([&] { cameras.remove("cam1"); }).substr(0, 32),
            "[json.exception.parse_error.101]");
  EXPECT_EQ(thrownText<HTTPError>([&] { cameras.remove("a/b"); }), "Bridge returned status 404");
  EXPECT_EQ(wires(), (std::vector<Wire>{{"DELETE", "/cameras/cam1", "", ""},
                                        {"DELETE", "/cameras/", "", ""},
                                        {"DELETE", "/cameras/cam1", "", ""},
                                        {"DELETE", "/cameras/a/b", "", ""}}));
}

}  // namespace
}  // namespace strandel
