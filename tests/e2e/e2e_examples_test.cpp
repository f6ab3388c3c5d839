// The example programs run as an application would run them, against a stand-in started by the
// test on a free port: each succeeds, writes what it promises, and fails clearly when the bridge
// cannot be reached.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <strandel/isaacsim_client.hpp>

#include "bridge_process.hpp"
#include "raw_connection.hpp"

namespace strandel::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 120s;

/// A PNG's size and channel count, read back with stb_image; zeros when it does not decode.
struct Png {
  int width = 0;
  int height = 0;
  int channels = 0;
  /// How many distinct pixel values it holds, to tell a picture from a blank.
  std::size_t distinct = 0;
};

Png readPng(const std::string& path) {
  Png png;
  unsigned char* pixels = stbi_load(path.c_str(), &png.width, &png.height, &png.channels, 0);
  if (pixels == nullptr) return Png{};
  std::set<std::uint32_t> values;
  for (int i = 0; i < png.width * png.height; ++i) {
    std::uint32_t value = 0;
    for (int c = 0; c < png.channels; ++c) value = value << 8 | pixels[i * png.channels + c];
    values.insert(value);
  }
  png.distinct = values.size();
  stbi_image_free(pixels);
  return png;
}

/// The whole number written just before the first `marker` in `text` (one space apart), or -1.
long numberBefore(const std::string& text, const std::string& marker) {
  const std::size_t at = text.find(" " + marker);
  if (at == std::string::npos) return -1;
  std::size_t start = at;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
  return start == at ? -1 : std::stol(text.substr(start, at - start));
}

/// A file path in the test's temporary directory, removed with the object.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name)
      : path_(std::filesystem::path(::testing::TempDir()) /
              (std::to_string(::getpid()) + "_" + name)) {
    std::filesystem::remove(path_);
  }
  ~ScratchFile() { std::filesystem::remove(path_); }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

class Examples : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(bridge.stop(), 0) << "the stand-in did not stop cleanly"; }

  BridgeProcess bridge;

  ProgramResult run(const std::string& executable, std::vector<std::string> args) {
    args.insert(args.begin(), {executable, "--http-url", bridge.httpUrl()});
    return runProgram(args, kBound);
  }

  /// The bridge's lists of articulations, surface grippers and cameras.
  json overview() {
    IsaacSimClient client("e2e", bridge.httpUrl(), bridge.wsUrl());
    return client.get("/").json();
  }
};

TEST_F(Examples, QuickstartRunsTheWholeJobAndLeavesNothingBehind) {
  ScratchFile png("quickstart.png");
  const ProgramResult result =
      run(STRANDEL_EXAMPLE_QUICKSTART,
          {"--output", png.str(), "--width", "320", "--height", "200", "--stream-seconds", "1"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_NE(result.output.find("done: the picture is at " + png.str() + "\n"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("gripper: closed"), std::string::npos) << result.output;
  EXPECT_GT(numberBefore(result.output, "messages received\n"), 0) << result.output;

  const Png picture = readPng(png.str());
  EXPECT_EQ(picture.width, 320);
  EXPECT_EQ(picture.height, 200);
  EXPECT_EQ(picture.channels, 3);
  EXPECT_GT(picture.distinct, 50u);

  const json world = overview();
  EXPECT_EQ(world["articulations"], json::array());
  EXPECT_EQ(world["surface_grippers"], json::array());
  EXPECT_EQ(world["cameras"], json::array());
}

TEST_F(Examples, RefusalsExitWith1WithTheBridgesBodyAndCleanUp) {
  ScratchFile png("refused.png");
  const ProgramResult result =
      run(STRANDEL_EXAMPLE_QUICKSTART, {"--output", png.str(), "--urdf", "/no/such/arm.urdf"});
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_NE(result.output.find(
                "quickstart: the bridge refused a request: Bridge returned status 422: "
                "{\"error\":\"cannot read URDF file '/no/such/arm.urdf'\",\"status\":422}"),
            std::string::npos)
      << result.output;
  EXPECT_FALSE(std::filesystem::exists(png.str()));
  EXPECT_EQ(overview()["articulations"], json::array());

  // A stream of an articulation the bridge does not have: the handshake is refused, not failed.
  const ProgramResult stream =
      run(STRANDEL_EXAMPLE_STREAM_MONITOR, {"--articulation", "ghost", "--seconds", "1"});
  EXPECT_EQ(stream.exit_code, 1) << stream.output;
  EXPECT_NE(stream.output.find("stream_monitor: the bridge refused the stream " + bridge.wsUrl() +
                               "articulations/ghost/stream_articulation_state with status 404"),
            std::string::npos)
      << stream.output;
}

TEST_F(Examples, CameraToPngWritesColourAndDepthPictures) {
  ScratchFile colour("colour.png");
  ScratchFile depth("depth.png");
  const ProgramResult result = run(
      STRANDEL_EXAMPLE_CAMERA_TO_PNG,
      {"--output", colour.str(), "--depth-output", depth.str(), "--width", "96", "--height", "64"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  const Png rgb = readPng(colour.str());
  EXPECT_EQ(rgb.width, 96);
  EXPECT_EQ(rgb.height, 64);
  EXPECT_EQ(rgb.channels, 3);
  const Png grey = readPng(depth.str());
  EXPECT_EQ(grey.width, 96);
  EXPECT_EQ(grey.height, 64);
  EXPECT_EQ(grey.channels, 1);
  EXPECT_GT(grey.distinct, 10u);
  EXPECT_EQ(overview()["cameras"], json::array());
}

TEST_F(Examples, StreamMonitorCountsWhatArrivesOnBothStreams) {
  // The streams' URL comes from the HTTP URL, whose scheme may be written in any case.
  std::string shouted = bridge.httpUrl();
  shouted.replace(0, 4, "HTTP");
  for (const char* kind : {"positions", "state"}) {
    const ProgramResult result =
        runProgram({STRANDEL_EXAMPLE_STREAM_MONITOR, "--http-url",
                    kind == std::string("state") ? shouted : bridge.httpUrl(), "--kind", kind,
                    "--seconds", "1"},
                   kBound);
    ASSERT_EQ(result.exit_code, 0) << result.output;
    EXPECT_NE(result.output.find("' on " + bridge.wsUrl() + "\n"), std::string::npos)
        << result.output;
    EXPECT_GT(numberBefore(result.output, "messages in "), 5) << kind << "\n" << result.output;
    EXPECT_EQ(numberBefore(result.output, "sequence gaps\n"), 0) << kind << "\n" << result.output;
  }
  EXPECT_EQ(overview()["articulations"], json::array());
}

// The program of the README's Usage section, compiled from README.md as it stands, with only the
// bridge's address swapped for this stand-in's.
TEST_F(Examples, ReadmeUsageProgramRunsAsWritten) {
  ASSERT_EQ(
      ::setenv("STRANDEL_README_BRIDGE", ("127.0.0.1:" + std::to_string(bridge.port())).c_str(), 1),
      0);
  const ProgramResult result = runProgram({STRANDEL_EXAMPLE_README_USAGE}, kBound);
  ::unsetenv("STRANDEL_README_BRIDGE");
  ASSERT_EQ(result.exit_code, 0) << result.output;
  std::size_t messages = 0;
  for (std::size_t at = result.output.find("\"sequence\":"); at != std::string::npos;
       at = result.output.find("\"sequence\":", at + 1))
    ++messages;
  EXPECT_EQ(messages, 10u) << result.output;
  EXPECT_NE(result.output.find(
                "Bridge returned status 404: {\"error\":\"camera 'no-such-camera' not found\""),
            std::string::npos)
      << result.output;
  EXPECT_EQ(overview()["articulations"], json::array());
}

TEST(ExamplesWithoutABridge, EachSaysItCannotReachTheBridgeAndExitsWith2) {
  RefusingPort refusing;
  const std::string url = refusing.url();
  for (const char* example : {STRANDEL_EXAMPLE_QUICKSTART, STRANDEL_EXAMPLE_CAMERA_TO_PNG,
                              STRANDEL_EXAMPLE_STREAM_MONITOR}) {
    const ProgramResult result = runProgram({example, "--http-url", url, "--retries", "0"}, kBound);
    EXPECT_EQ(result.exit_code, 2) << example << "\n" << result.output;
    EXPECT_NE(result.output.find(": cannot reach the bridge at " + url + " (HTTP request failed: "),
              std::string::npos)
        << result.output;
  }
  // A stream's handshake that gets no answer is the same failure.
  const ProgramResult stream = runProgram(
      {STRANDEL_EXAMPLE_STREAM_MONITOR, "--http-url", url, "--articulation", "arm"}, kBound);
  EXPECT_EQ(stream.exit_code, 2) << stream.output;
  EXPECT_NE(stream.output.find("stream_monitor: cannot reach the bridge at " + url +
                               " (WebSocket handshake failed for "),
            std::string::npos)
      << stream.output;
}

TEST(ExamplesCommandLine, UnknownOptionsExitWith2AndHelpListsTheBridgeUrls) {
  const ProgramResult wrong = runProgram({STRANDEL_EXAMPLE_QUICKSTART, "--colour", "red"}, kBound);
  EXPECT_EQ(wrong.exit_code, 2);
  EXPECT_NE(wrong.output.find("quickstart: unknown option '--colour' (see --help)"),
            std::string::npos)
      << wrong.output;
  const ProgramResult help = runProgram({STRANDEL_EXAMPLE_STREAM_MONITOR, "--help"}, kBound);
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option :
       {"--http-url", "--ws-url", "--timeout-ms", "--retries", "--kind", "--seconds"})
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace strandel::e2e
