// quickstart: the library's main job end to end against a bridge (or the local stand-in).
//
//   1. create an arm from a URDF file and mount a surface gripper on its tool link
//   2. read its joint limits, driver joint and joint state
//   3. move the joints, then stream their positions for about two seconds while they move again
//   4. capture a camera frame and write its colour image as a PNG
//   5. close the gripper and remove everything that was created
//
// Start a stand-in first (strandel-mock-bridge --port 8211) or pass --http-url.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <strandel/isaacsim_client.hpp>

#include "example_support.hpp"

namespace {

using strandel::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kArmPrim = "/World/strandel_arm";
constexpr const char* kGripperPrim = "/World/strandel_arm/tool0/gripper";
constexpr const char* kCameraPrim = "/World/quickstart_camera";

/// `pose` fitted into each joint's limits (a continuous joint, with null limits, takes it as is).
std::vector<double> fitToLimits(const std::vector<double>& pose, const json& limits) {
  std::vector<double> fitted;
  for (std::size_t j = 0; j < limits.size(); ++j) {
    double value = pose[j % pose.size()];
    if (limits[j]["lower"].is_number()) value = std::max(value, limits[j]["lower"].get<double>());
    if (limits[j]["upper"].is_number()) value = std::min(value, limits[j]["upper"].get<double>());
    fitted.push_back(value);
  }
  return fitted;
}

std::string listed(const json& values) {
  std::string text = "[";
  char number[32];
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::snprintf(number, sizeof number, "%s%6.3f", i ? ", " : "", values[i].get<double>());
    text += number;
  }
  return text + "]";
}

void run(const strandel_examples::CommandLine& line) {
  auto client = line.makeClient();
  strandel_examples::Cleanup cleanup;
  std::cout << "quickstart: bridge " << client->baseUrl() << " (streams "
            << client->websocketBaseUrl() << ")\n";

  // 1. The arm and its gripper.
  const std::string urdf = std::filesystem::absolute(line.text("--urdf")).string();
  std::cout << "\n1. Creating an arm at " << kArmPrim << " from " << urdf << "\n";
  const json arm = client->articulations.create(kArmPrim, urdf);
  const std::string armId = arm.at("articulation_id");
  cleanup.add([&client, armId] { client->articulations.remove(armId); });
  std::cout << "   articulation '" << armId << "': " << arm.at("num_dof") << " joints "
            << arm.at("joint_names").dump() << "\n";

  const json gripper = client->surfaceGrippers.create(kGripperPrim);
  const std::string gripperId = gripper.at("surface_gripper_id");
  cleanup.add([&client, gripperId] { client->surfaceGrippers.remove(gripperId); });
  const json mounted = client->articulations.assembleRobot(armId, gripperId, "tool0", std::nullopt,
                                                           json::array({0.0, 0.0, 0.02}), true);
  std::cout << "   surface gripper '" << gripperId << "' mounted on link "
            << mounted.at("arm_mount_link") << "\n";
  client->surfaceGrippers.setProperties(gripperId, std::nullopt, std::nullopt, 0.05);
  std::cout << "   gripper max_grip_distance set to 0.05 m\n";

  // 2. What the arm is.
  std::cout << "\n2. Joint limits, driver joint and state\n";
  const json limits = client->articulations.getDofLimits(armId).at("dof_limits");
  for (const json& joint : limits) {
    std::cout << "   " << joint.at("joint").get<std::string>() << " ("
              << joint.at("type").get<std::string>() << "): " << joint.at("lower").dump() << " .. "
              << joint.at("upper").dump() << ", max velocity " << joint.at("max_velocity").dump()
              << "\n";
  }
  std::cout << "   driver joint: "
            << client->articulations.getDriverJoint(armId).at("driver_joint").dump() << "\n";
  std::cout << "   positions: "
            << listed(client->articulations.getJointsState(armId).at("joint_positions")) << "\n";

  // 3. Move, then stream while moving again.
  const std::vector<double> reach = fitToLimits({0.5, 0.6, 0.9, 0.0, 0.8, 0.0}, limits);
  const std::vector<double> wave = fitToLimits({-0.9, 0.4, 1.1, 0.0, 0.9, 1.2}, limits);
  std::cout << "\n3. Moving to " << listed(reach) << " (waits until the joints arrive)\n";
  const json reached = client->articulations.moveJointPositions(armId, reach);
  std::cout << "   positions: " << listed(reached.at("joint_positions")) << "\n";

  const auto seconds = std::chrono::duration<double>(line.number("--stream-seconds"));
  std::cout << "   streaming joint positions for " << seconds.count() << " s while moving to "
            << listed(wave) << "\n";
  strandel::WebSocketStream stream = client->articulations.streamJointPositions(armId);
  client->articulations.moveJointPositions(armId, wave, std::nullopt, true);
  int received = 0;
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration_cast<Clock::duration>(seconds);
  for (auto now = start; now < until && !stream.peerClosed(); now = Clock::now()) {
    // Sleeps until the next message is complete or the time is up.
    const std::optional<std::string> message =
        stream.receive(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    if (!message) continue;
    const json update = json::parse(*message);
    if (received++ % 12 == 0) {
      std::printf("   t=%5.2f s  #%-5llu %s\n",
                  std::chrono::duration<double>(Clock::now() - start).count(),
                  static_cast<unsigned long long>(update.value("sequence", 0ull)),
                  listed(update.at("joint_positions")).c_str());
      std::fflush(stdout);
    }
  }
  stream.close();
  std::cout << "   " << received << " messages received\n";

  // 4. A picture.
  const int width = line.integer("--width");
  const int height = line.integer("--height");
  std::cout << "\n4. Capturing a " << width << "x" << height << " frame from a camera at "
            << kCameraPrim << "\n";
  const json camera = client->cameras.create(kCameraPrim, std::vector<int>{width, height}, 30.0);
  const std::string cameraId = camera.at("camera_id");
  cleanup.add([&client, cameraId] { client->cameras.remove(cameraId); });
  const strandel::CameraFrame frame =
      client->cameras.capture(cameraId, std::vector<std::string>{"rgb", "depth"});
  const strandel::CameraOutput* rgb = frame.output("rgb");
  if (rgb == nullptr) throw std::runtime_error("the frame holds no rgb output");
  const std::string output = std::filesystem::absolute(line.text("--output")).string();
  strandel_examples::writeRgbPng(output, *rgb);
  std::cout << "   rgb " << rgb->shape[1] << "x" << rgb->shape[0] << " written to " << output
            << "\n";

  // 5. Close the gripper and clean up.
  std::cout << "\n5. Closing the gripper and removing everything\n";
  std::cout << "   gripper: "
            << client->surfaceGrippers.close(gripperId).at("status").get<std::string>() << "\n";
  cleanup.dismiss();
  client->cameras.remove(cameraId);
  client->surfaceGrippers.remove(gripperId);
  client->articulations.remove(armId);
  std::cout << "   removed camera '" << cameraId << "', gripper '" << gripperId << "' and arm '"
            << armId << "'\n";
  std::cout << "\ndone: the picture is at " << output << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  strandel_examples::CommandLine line(
      "quickstart",
      "Creates an arm from a URDF, mounts a gripper, reads limits and state, moves the joints,\n"
      "streams their positions, captures a camera frame to PNG, closes the gripper and cleans up.",
      {{"--urdf", STRANDEL_EXAMPLES_DIR "/urdf/strandel_demo_arm.urdf", "the arm's URDF file"},
       {"--output", "quickstart.png", "where the captured picture goes"},
       {"--width", "640", "picture width in pixels"},
       {"--height", "480", "picture height in pixels"},
       {"--stream-seconds", "2", "how long to stream joint positions"}});
  line.parse(argc, argv);
  return strandel_examples::runExample(line, [&] { run(line); });
}
