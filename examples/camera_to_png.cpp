// camera_to_png: creates a camera, captures one frame, writes its colour image (and, when asked,
// its depth image) as PNG files, and removes the camera again.

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <strandel/isaacsim_client.hpp>

#include "example_support.hpp"

namespace {

using strandel::json;

void run(const strandel_examples::CommandLine& line) {
  auto client = line.makeClient();
  strandel_examples::Cleanup cleanup;
  const int width = line.integer("--width");
  const int height = line.integer("--height");
  const std::string depthPath = line.text("--depth-output");

  std::cout << "camera_to_png: creating a " << width << "x" << height << " camera at "
            << line.text("--prim-path") << " on " << client->baseUrl() << "\n";
  const json camera =
      client->cameras.create(line.text("--prim-path"), std::vector<int>{width, height});
  const std::string cameraId = camera.at("camera_id");
  cleanup.add([&client, cameraId] { client->cameras.remove(cameraId); });

  std::vector<std::string> types{"rgb"};
  if (!depthPath.empty()) types.push_back("depth");
  std::cout << "capturing " << json(types).dump() << " from camera '" << cameraId << "'\n";
  const strandel::CameraFrame frame = client->cameras.capture(cameraId, types);
  for (const auto& [name, value] : frame.structure.items()) {
    if (const strandel::CameraOutput* output = value.is_object() ? frame.output(name) : nullptr) {
      std::cout << "  " << name << ": " << output->dtype << " " << json(output->shape).dump()
                << ", " << output->data.size() << " bytes\n";
    } else {
      std::cout << "  " << name << " = " << value.dump() << "\n";
    }
  }

  const strandel::CameraOutput* rgb = frame.output("rgb");
  if (rgb == nullptr) throw std::runtime_error("the frame holds no rgb output");
  const std::string output = std::filesystem::absolute(line.text("--output")).string();
  strandel_examples::writeRgbPng(output, *rgb);
  std::cout << "wrote " << output << "\n";
  if (!depthPath.empty()) {
    const strandel::CameraOutput* depth = frame.output("depth");
    if (depth == nullptr) throw std::runtime_error("the frame holds no depth output");
    const std::string path = std::filesystem::absolute(depthPath).string();
    const strandel_pictures::DepthRange range = strandel_examples::writeDepthPng(path, *depth);
    std::cout << "wrote " << path << " (depth " << range.nearest << " m to " << range.farthest
              << " m)\n";
  }

  cleanup.dismiss();
  client->cameras.remove(cameraId);
  std::cout << "removed camera '" << cameraId << "'\n";
}

}  // namespace

int main(int argc, char** argv) {
  strandel_examples::CommandLine line(
      "camera_to_png", "Captures one camera frame and writes it as PNG files.",
      {{"--prim-path", "/World/camera_to_png", "prim path of the camera to create"},
       {"--width", "640", "picture width in pixels"},
       {"--height", "480", "picture height in pixels"},
       {"--output", "camera.png", "where the colour picture goes"},
       {"--depth-output", "", "where a grey depth picture goes (none when empty)"}});
  line.parse(argc, argv);
  return strandel_examples::runExample(line, [&] { run(line); });
}
