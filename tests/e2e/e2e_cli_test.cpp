// The strandel command line run as a user runs it, against a stand-in started by the test on a
// free port: what each subcommand prints and writes, and its exit status on every kind of failure.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <strandel/isaacsim_client.hpp>

#include "bridge_process.hpp"
#include "raw_connection.hpp"

namespace strandel::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 120s;

/// Runs strandel with `args` (the bridge's URL given by the caller when it needs one).
ProgramResult strandel(std::vector<std::string> args,
                       const std::optional<std::string>& input = std::nullopt) {
  args.insert(args.begin(), STRANDEL_CLI_EXECUTABLE);
  return runProgram(args, kBound, input);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class Cli : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(bridge.stop(), 0) << "the stand-in did not stop cleanly"; }

  ProgramResult run(std::vector<std::string> args,
                    const std::optional<std::string>& input = std::nullopt) {
    args.insert(args.begin(), {"--url", bridge.httpUrl()});
    return strandel(std::move(args), input);
  }

  BridgeProcess bridge;
  IsaacSimClient client{"e2e", bridge.httpUrl(), bridge.wsUrl()};
};

TEST_F(Cli, HttpVerbsPrintTheAnswerAndExitByItsStatus) {
  // PUT with BODY as text: the answer pretty-printed with a two-space indent.
  const ProgramResult created =
      run({"put", "articulations", R"({"prim_path":"/World/arm","urdf_path":null})"});
  ASSERT_EQ(created.exit_code, 0) << created.output;
  const json arm = json::parse(created.output);
  EXPECT_EQ(arm["articulation_id"], "arm");
  EXPECT_EQ(created.output, arm.dump(2) + "\n");

  // POST with BODY from stdin, then GET shows what it changed.
  const ProgramResult set =
      run({"post", "articulations/arm/set_j", "-"}, R"({"indices":[2],"joint_positions":[0.3]})");
  EXPECT_EQ(set.exit_code, 0) << set.output;
  const ProgramResult state = run({"get", "/articulations/arm/joints_state"});
  ASSERT_EQ(state.exit_code, 0) << state.output;
  EXPECT_EQ(json::parse(state.output)["joint_positions"],
            client.articulations.getJointsState("arm")["joint_positions"]);
  EXPECT_EQ(json::parse(state.output)["joint_positions"][2], 0.3);

  // -i: the status line and headers before the body.
  const ProgramResult head = run({"get", "/", "-i"});
  EXPECT_EQ(head.exit_code, 0);
  EXPECT_EQ(head.output.rfind("HTTP 200\n", 0), 0u) << head.output;
  EXPECT_TRUE(contains(head.output, "Content-Type: application/json\n")) << head.output;

  // An answer outside 2xx: exit 1, the library's text after method and URL, the body on stderr.
  const ProgramResult missing = run({"get", "no/such/path"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_TRUE(contains(missing.output,
                       "GET " + bridge.httpUrl() + "no/such/path: Bridge returned status 404\n"))
      << missing.output;
  EXPECT_TRUE(contains(missing.output, R"("error": "no endpoint at /no/such/path")"))
      << missing.output;

  const ProgramResult removed = run({"delete", "articulations/arm"});
  EXPECT_EQ(removed.exit_code, 0) << removed.output;
  EXPECT_EQ(json::parse(removed.output)["removed"], true);

  const ProgramResult ping = run({"ping"});
  EXPECT_EQ(ping.exit_code, 0);
  EXPECT_TRUE(contains(ping.output, bridge.httpUrl() + ": answered 200 in ")) << ping.output;
}

TEST_F(Cli, StreamPrintsJsonLinesOrTheirRate) {
  client.articulations.create("/World/arm");
  const ProgramResult positions =
      run({"stream", "articulations/arm/stream_joint_positions", "--count", "5"});
  EXPECT_EQ(positions.exit_code, 0) << positions.output;
  const std::vector<std::string> messages = lines(positions.output);
  ASSERT_EQ(messages.size(), 5u) << positions.output;
  long long last_sequence = -1;
  for (const std::string& line : messages) {
    const json message = json::parse(line);
    EXPECT_EQ(line, message.dump());  // compact, one per line
    EXPECT_EQ(message["articulation_id"], "arm");
    EXPECT_GT(message["sequence"].get<long long>(), last_sequence);
    last_sequence = message["sequence"];
  }

  const ProgramResult rate =
      run({"stream", "/articulations/arm/stream_articulation_state", "--rate", "--seconds", "1.5"});
  EXPECT_EQ(rate.exit_code, 0) << rate.output;
  ASSERT_FALSE(lines(rate.output).empty());
  const std::string summary = lines(rate.output).back();
  EXPECT_TRUE(contains(summary, " messages in ") && contains(summary, "msg/s, largest gap "))
      << rate.output;
  EXPECT_GT(std::stol(summary), 1) << rate.output;

  // An articulation the bridge does not have: the handshake fails.
  const ProgramResult unknown =
      run({"stream", "articulations/ghost/stream_joint_positions", "--count", "1"});
  EXPECT_EQ(unknown.exit_code, 3);
  EXPECT_TRUE(contains(
      unknown.output, "STREAM " + bridge.wsUrl() +
                          "articulations/ghost/stream_joint_positions: WebSocket handshake failed"))
      << unknown.output;
}

TEST_F(Cli, CaptureWritesPicturesAndArraysThatHoldTheFrame) {
  ASSERT_EQ(run({"put", "cameras", R"({"prim_path":"/World/cam","resolution":[64,48]})"}).exit_code,
            0);
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                    ("strandel_capture_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  const ProgramResult captured =
      run({"capture", "cam", "--types", "rgb,depth", "--out", dir.string()});
  ASSERT_EQ(captured.exit_code, 0) << captured.output;
  for (const char* file : {"rgb.png", "depth.png", "depth_preview.png", "depth.npy", "frame.json"})
    EXPECT_TRUE(contains(captured.output, "wrote " + (dir / file).string() + "\n"))
        << file << captured.output;

  int width = 0, height = 0, channels = 0;
  stbi_uc* rgb = stbi_load((dir / "rgb.png").c_str(), &width, &height, &channels, 0);
  ASSERT_NE(rgb, nullptr);
  stbi_image_free(rgb);
  EXPECT_EQ(std::vector<int>({width, height, channels}), std::vector<int>({64, 48, 3}));
  stbi_uc* preview = stbi_load((dir / "depth_preview.png").c_str(), &width, &height, &channels, 0);
  ASSERT_NE(preview, nullptr);
  stbi_image_free(preview);
  EXPECT_EQ(std::vector<int>({width, height, channels}), std::vector<int>({64, 48, 3}));
  EXPECT_TRUE(stbi_is_16_bit((dir / "depth.png").c_str()));
  stbi_us* depth_mm = stbi_load_16((dir / "depth.png").c_str(), &width, &height, &channels, 0);
  ASSERT_NE(depth_mm, nullptr);
  const std::vector<std::uint16_t> millimetres(depth_mm, depth_mm + width * height * channels);
  stbi_image_free(depth_mm);
  EXPECT_EQ(std::vector<int>({width, height, channels}), std::vector<int>({64, 48, 1}));

  // The same camera through the library: the world stands still, so the depth is the same.
  const CameraFrame frame = client.cameras.capture("cam", std::vector<std::string>{"depth"});
  const CameraOutput* depth = frame.output("depth");
  ASSERT_NE(depth, nullptr);
  ASSERT_EQ(depth->data.size(), 64u * 48u * 4u);
  std::vector<float> metres(64 * 48);
  std::memcpy(metres.data(), depth->data.data(), depth->data.size());
  ASSERT_EQ(millimetres.size(), metres.size());
  std::size_t finite = 0;
  for (std::size_t i = 0; i < metres.size(); ++i) {
    const double mm = std::round(metres[i] * 1000.0);
    const bool in_range = std::isfinite(mm) && mm >= 0.0 && mm <= 65535.0;
    finite += in_range ? 1 : 0;
    EXPECT_EQ(millimetres[i], in_range ? static_cast<std::uint16_t>(mm) : 0)
        << "pixel " << i << ": " << metres[i];
  }
  EXPECT_GT(finite, 0u);
  EXPECT_LT(finite, metres.size());  // the sky is not finite

  // The .npy file holds the metres as the frame does, after a 64-byte aligned header.
  const std::string npy = fileText(dir / "depth.npy");
  ASSERT_GT(npy.size(), 10u);
  const std::size_t header = static_cast<unsigned char>(npy[8]) | static_cast<unsigned char>(npy[9])
                                                                      << 8;
  EXPECT_EQ(npy.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
  EXPECT_EQ((10 + header) % 64, 0u);
  EXPECT_TRUE(contains(npy.substr(10, header),
                       "{'descr': '<f4', 'fortran_order': False, 'shape': (48, 64), }"));
  EXPECT_EQ(npy.substr(10 + header), std::string(depth->data.begin(), depth->data.end()));

  const json described = json::parse(fileText(dir / "frame.json"));
  EXPECT_EQ(described["rgb"],
            (json{{"dtype", "uint8"}, {"file", "rgb.png"}, {"shape", {48, 64, 3}}}));
  EXPECT_EQ(described["depth"]["file"], "depth.npy");
  EXPECT_EQ(described["depth"]["pictures"], (json{"depth.png", "depth_preview.png"}));
  EXPECT_EQ(described["camera_id"], "cam");
  std::filesystem::remove_all(dir);

  const ProgramResult missing = run({"capture", "ghost", "--out", dir.string()});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_TRUE(contains(missing.output, "POST " + bridge.httpUrl() +
                                           "cameras/ghost/capture: Bridge returned status 404"))
      << missing.output;
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(CliWithoutABridge, EveryCommandExitsWith3) {
  RefusingPort refusing;
  const ProgramResult get = strandel({"get", "/", "--url", refusing.url()});
  EXPECT_EQ(get.exit_code, 3);
  EXPECT_TRUE(contains(get.output, "GET " + refusing.url() + ": HTTP request failed: "))
      << get.output;
  const ProgramResult ping = strandel({"--url", refusing.url(), "ping"});
  EXPECT_EQ(ping.exit_code, 3);
  EXPECT_TRUE(contains(ping.output, refusing.url() + ": no answer after ")) << ping.output;
  const ProgramResult stream =
      strandel({"--url", refusing.url(), "stream", "articulations/arm/stream_joint_positions",
                "--count", "1"});
  EXPECT_EQ(stream.exit_code, 3) << stream.output;
}

TEST(CliCommandLine, UsageErrorsExitWith2AndShowTheUsage) {
  const ProgramResult none = strandel({});
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_TRUE(contains(none.output, "Usage: strandel [OPTIONS] SUBCOMMAND")) << none.output;
  const ProgramResult path = strandel({"stream", "cameras/cam"});
  EXPECT_EQ(path.exit_code, 2);
  EXPECT_TRUE(contains(path.output,
                       "the path must be articulations/ID/stream_joint_positions or "
                       "articulations/ID/stream_articulation_state"))
      << path.output;
  EXPECT_TRUE(contains(path.output, "Usage: strandel stream [OPTIONS] PATH")) << path.output;
  const ProgramResult body = strandel({"post", "x", "{not json"});
  EXPECT_EQ(body.exit_code, 2);
  EXPECT_TRUE(contains(body.output, "strandel: BODY is not JSON: ")) << body.output;
  const ProgramResult count =
      strandel({"stream", "articulations/a/stream_joint_positions", "--count", "many"});
  EXPECT_EQ(count.exit_code, 2);
  EXPECT_TRUE(contains(count.output, "Usage: strandel stream")) << count.output;

  const ProgramResult help = strandel({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(contains(help.output, "Exit status:\n  0  success\n  1  ")) << help.output;
  const ProgramResult capture_help = strandel({"capture", "--help"});
  EXPECT_EQ(capture_help.exit_code, 0);
  EXPECT_TRUE(contains(capture_help.output, "Example:\n  strandel put cameras"))
      << capture_help.output;
}

}  // namespace
}  // namespace strandel::e2e
