#include <cstring>

#include <gtest/gtest.h>

#include "camera_frame_encoder.hpp"
#include "fault_injector.hpp"
#include "options.hpp"

namespace strandel::mock_bridge {
namespace {

TEST(Options, DefaultsAndBothSpellingsOfValues) {
  const Options defaults = parseOptions({});
  EXPECT_EQ(defaults.host, "127.0.0.1");
  EXPECT_EQ(defaults.port, 8211);
  EXPECT_EQ(defaults.stream_rate, 60.0);
  EXPECT_EQ(defaults.fail_every, 0u);
  EXPECT_EQ(defaults.fail_status, 503);
  EXPECT_EQ(defaults.max_urdf_bytes, 16u * 1024u * 1024u);
  EXPECT_EQ(defaults.max_connections, 256u);
  EXPECT_EQ(defaults.max_unsent_bytes, 128u * 1024u * 1024u);
  EXPECT_EQ(defaults.max_total_unsent_bytes, 256u * 1024u * 1024u);
  EXPECT_EQ(defaults.request_timeout_ms, 5000u);
  // The largest camera frame (4096x4096 rgb and depth, with its manifest) fits on a connection.
  EXPECT_GT(defaults.max_unsent_bytes, 4096u * 4096u * 7u + 4096u);

  const Options o =
      parseOptions({"--port", "0", "--host=::1", "--stream-rate=120", "--fail-every", "3",
                    "--fail-status=500", "--latency-ms", "25", "--max-urdf-bytes=4096", "-v",
                    "--max-connections=3", "--max-unsent-bytes", "70000",
                    "--max-total-unsent-bytes=80000", "--request-timeout-ms", "250"});
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.host, "::1");
  EXPECT_EQ(o.stream_rate, 120.0);
  EXPECT_EQ(o.fail_every, 3u);
  EXPECT_EQ(o.fail_status, 500);
  EXPECT_EQ(o.latency_ms, 25u);
  EXPECT_EQ(o.max_urdf_bytes, 4096u);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.max_connections, 3u);
  EXPECT_EQ(o.max_unsent_bytes, 70000u);
  EXPECT_EQ(o.max_total_unsent_bytes, 80000u);
  EXPECT_EQ(o.request_timeout_ms, 250u);
  EXPECT_TRUE(parseOptions({"--help"}).help);
}

TEST(Options, UnusableCommandLinesSayWhy) {
  const auto message = [](std::vector<std::string> args) {
    try {
      parseOptions(args);
    } catch (const UsageError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message({"--port", "65536"}), "--port must be between 0 and 65535");
  EXPECT_EQ(message({"--port", "-1"}), "--port expects a whole number, not '-1'");
  EXPECT_EQ(message({"--port"}), "--port needs a value");
  EXPECT_EQ(message({"--stream-rate", "fast"}), "--stream-rate expects a number, not 'fast'");
  EXPECT_EQ(message({"--stream-rate", "0"}), "--stream-rate must be between 0.1 and 1000");
  EXPECT_EQ(message({"--fail-status", "99"}), "--fail-status must be between 100 and 599");
  EXPECT_EQ(message({"--max-urdf-bytes", "0"}),
            "--max-urdf-bytes must be between 1 and 1073741824");
  EXPECT_EQ(message({"--max-connections", "0"}), "--max-connections must be between 1 and 100000");
  EXPECT_EQ(message({"--max-unsent-bytes", "65535"}),
            "--max-unsent-bytes must be between 65536 and 68719476736");
  EXPECT_EQ(message({"--max-total-unsent-bytes=1e9"}),
            "--max-total-unsent-bytes expects a whole number, not '1e9'");
  EXPECT_EQ(message({"--request-timeout-ms", "99"}),
            "--request-timeout-ms must be between 100 and 600000");
  EXPECT_EQ(message({"--colour"}), "unknown option '--colour' (see --help)");
}

TEST(Options, HelpListsEveryOption) {
  const std::string help = usageText();
  for (const char* option :
       {"--host", "--port", "--stream-rate", "--physics-rate", "--joint-speed", "--gripper-time",
        "--fail-every", "--fail-status", "--latency-ms", "--max-body-bytes", "--max-urdf-bytes",
        "--max-connections", "--max-unsent-bytes", "--max-total-unsent-bytes",
        "--request-timeout-ms", "--verbose", "--help"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(FaultInjector, FailsEveryNthRequestOnly) {
  FaultInjector every3(3, 503);
  std::vector<std::optional<int>> seen;
  for (int i = 0; i < 6; ++i) seen.push_back(every3.next());
  EXPECT_EQ(seen, (std::vector<std::optional<int>>{std::nullopt, std::nullopt, 503, std::nullopt,
                                                   std::nullopt, 503}));
  FaultInjector off(0, 503);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(off.next());
}

TEST(CameraFrameEncoder, AddsTheExtraMembersToTheStructureBesideThePlaceholders) {
  const std::string frame = encodeCameraFrame(json{{"camera_id", "cam"}},
                                              {{"a", {2}, "uint8", std::string("\x01\x02", 2)},
                                               {"b", {1}, "float32", float32Bytes({1.0f})}});
  const std::string manifest =
      R"({"arrays":[{"dtype":"uint8","nbytes":2,"offset":0,"shape":[2]},)"
      R"({"dtype":"float32","nbytes":4,"offset":2,"shape":[1]}],)"
      R"("structure":{"a":{"__ndarray__":0},"b":{"__ndarray__":1},"camera_id":"cam"}})";
  ASSERT_EQ(frame.size(), 8 + manifest.size() + 6);
  EXPECT_EQ(frame.substr(0, 4), "QXB1");
  EXPECT_EQ(static_cast<unsigned char>(frame[4]), manifest.size());
  EXPECT_EQ(frame.substr(8, manifest.size()), manifest);
  // 1.0f is 0x3F800000, written least significant byte first.
  EXPECT_EQ(frame.substr(8 + manifest.size()), std::string("\x01\x02\x00\x00\x80\x3f", 6));
}

}  // namespace
}  // namespace strandel::mock_bridge
