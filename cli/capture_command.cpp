#include "capture_command.hpp"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>

#include <CLI/CLI.hpp>

#include "depth_pictures.hpp"
#include "npy_writer.hpp"
#include "png_writer.hpp"

namespace strandel_cli {
namespace {

namespace fs = std::filesystem;
using strandel::json;

constexpr char kPlaceholderKey[] = "__ndarray__";
constexpr std::uint64_t kMaxPictureExtent = 1u << 16;

struct CaptureRequest {
  std::string camera_id;
  std::vector<std::string> types;
  bool world_frame = false;
  std::string out;
};

/// One array placeholder: where it sits in the structure and the file names it gets.
struct Placeholder {
  json* node = nullptr;
  std::string name;
  std::uint64_t index = 0;
};

std::string fileSafe(const std::string& text) {
  std::string safe;
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-';
    safe += plain ? c : '_';
  }
  return safe;
}

/// Collects every placeholder under `node`, naming each by its path from the root.
void findPlaceholders(json& node, const std::string& path, std::vector<Placeholder>& found) {
  if (node.is_object()) {
    const auto placeholder = node.find(kPlaceholderKey);
    if (placeholder != node.end()) {
      if (!placeholder->is_number_unsigned())
        throw std::runtime_error("an array placeholder does not hold an index");
      found.push_back({&node, path, placeholder->get<std::uint64_t>()});
      return;
    }
    for (auto& [key, value] : node.items())
      findPlaceholders(value, path.empty() ? key : path + "_" + key, found);
  } else if (node.is_array()) {
    for (std::size_t i = 0; i < node.size(); ++i) {
      findPlaceholders(node[i], path.empty() ? std::to_string(i) : path + "_" + std::to_string(i),
                       found);
    }
  }
}

std::string shapeText(const strandel::CameraOutput& output) {
  std::string text = "[";
  for (std::size_t i = 0; i < output.shape.size(); ++i)
    text += (i ? ", " : "") + std::to_string(output.shape[i]);
  return text + "]";
}

/// Writes one array's files and returns its description for frame.json.
class ArrayWriter {
 public:
  explicit ArrayWriter(fs::path dir) : dir_(std::move(dir)) {}

  json write(const std::string& name, const strandel::CameraOutput& output) {
    json description = {{"dtype", output.dtype}, {"shape", output.shape}};
    const auto& s = output.shape;
    const bool image_sized = (s.size() == 2 || s.size() == 3) && s[0] > 0 && s[1] > 0 &&
                             s[0] <= kMaxPictureExtent && s[1] <= kMaxPictureExtent;
    const std::uint64_t channels = s.size() == 3 ? s[2] : 1;
    const auto height = image_sized ? static_cast<std::uint32_t>(s[0]) : 0u;
    const auto width = image_sized ? static_cast<std::uint32_t>(s[1]) : 0u;

    if (image_sized && output.dtype == "uint8" &&
        (channels == 1 || channels == 3 || channels == 4)) {
      const PngColour colour = channels == 1   ? PngColour::Grey
                               : channels == 3 ? PngColour::Rgb
                                               : PngColour::Rgba;
      description["file"] = written(name + ".png", [&](const std::string& path) {
        writePng8(path, width, height, colour, output.data);
      });
      return description;
    }
    const std::optional<std::vector<double>> depth =
        image_sized && channels == 1 && name.find("depth") != std::string::npos
            ? depthValues(output)
            : std::nullopt;
    description["file"] =
        written(name + ".npy", [&](const std::string& path) { writeNpy(path, output); });
    if (depth) {
      description["pictures"] = {
          written(name + ".png",
                  [&](const std::string& path) {
                    writePng16Grey(path, width, height, depthMillimetres(*depth));
                  }),
          written(name + "_preview.png", [&](const std::string& path) {
            writePng8(path, width, height, PngColour::Rgb, depthFalseColour(*depth));
          })};
    }
    return description;
  }

 private:
  /// Runs `write` on DIR/file_name, prints the line for it and returns file_name.
  template <typename Write>
  std::string written(const std::string& file_name, Write&& write) {
    const std::string path = (dir_ / file_name).string();
    try {
      write(path);
    } catch (const std::exception& e) {
      throw Failure(kUsage, "cannot write '" + path + "': " + e.what());
    }
    std::cout << "wrote " << path << "\n";
    return file_name;
  }

  fs::path dir_;
};

/// Throws Failure(kMalformed) when an output of a known dtype holds another byte count than its
/// shape asks for.
void requireMatchingSize(const std::string& label, const std::string& name,
                         const strandel::CameraOutput& output) {
  const std::uint64_t item = output.itemSize();
  if (item != 0 && output.data.size() != output.elementCount() * item) {
    throw Failure(kMalformed, label + ": the array '" + name + "' holds " +
                                  std::to_string(output.data.size()) + " bytes but " +
                                  output.dtype + " " + shapeText(output) + " needs " +
                                  std::to_string(output.elementCount() * item));
  }
}

int runCapture(const CaptureRequest& request, const BridgeOptions& bridge) {
  const auto client = makeClient(bridge);
  const std::string label =
      "POST " + requestUrl(*client, "cameras/" + request.camera_id + "/capture");
  strandel::CameraFrame frame;
  std::vector<Placeholder> placeholders;
  try {
    frame = client->cameras.capture(
        request.camera_id, request.types.empty() ? std::nullopt : std::optional(request.types),
        request.world_frame ? std::optional(true) : std::nullopt);
    findPlaceholders(frame.structure, "", placeholders);
  } catch (...) {
    rethrowAsFailure(label, kMalformed);
  }

  // Names made unique and every array checked before anything is written.
  std::set<std::string> names;
  std::vector<bool> referenced(frame.outputs.size(), false);
  for (Placeholder& placeholder : placeholders) {
    if (placeholder.index >= frame.outputs.size()) {
      throw Failure(kMalformed, label + ": a placeholder names array " +
                                    std::to_string(placeholder.index) + " but the frame holds " +
                                    std::to_string(frame.outputs.size()));
    }
    std::string name =
        fileSafe(placeholder.name.empty() ? "output_" + std::to_string(placeholder.index)
                                          : placeholder.name);
    if (names.count(name) != 0) name += "_" + std::to_string(placeholder.index);
    names.insert(name);
    placeholder.name = name;
    referenced[placeholder.index] = true;
    requireMatchingSize(label, name, frame.outputs[placeholder.index]);
  }

  const fs::path dir(request.out);
  std::error_code error;
  fs::create_directories(dir, error);
  if (error)
    throw Failure(kUsage, "cannot create the directory '" + request.out + "': " + error.message());
  ArrayWriter writer(dir);
  for (Placeholder& placeholder : placeholders) {
    *placeholder.node = writer.write(placeholder.name, frame.outputs[placeholder.index]);
  }
  for (std::size_t i = 0; i < frame.outputs.size(); ++i) {
    if (!referenced[i]) writer.write("output_" + std::to_string(i), frame.outputs[i]);
  }

  const std::string frame_path = (dir / "frame.json").string();
  std::ofstream file(frame_path, std::ios::trunc);
  file << frame.structure.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
  file.close();
  if (!file) throw Failure(kUsage, "cannot write '" + frame_path + "'");
  std::cout << "wrote " << frame_path << std::endl;
  return kSuccess;
}

}  // namespace

void addCaptureCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands) {
  CLI::App* sub = app.add_subcommand("capture",
                                     "Capture one frame of a camera (created before, e.g. with "
                                     "strandel put cameras) and write it into --out:\n"
                                     "rgb.png (8-bit colour), depth.png (16-bit grey in "
                                     "millimetres, 0 where not finite or beyond 65.535 m),\n"
                                     "depth_preview.png (false colour, near yellow, far purple), "
                                     "depth.npy (metres), .npy files for\n"
                                     "other arrays, and frame.json (the frame's structure, each "
                                     "array described by shape, dtype and file).");
  auto request = std::make_shared<CaptureRequest>();
  sub->add_option("CAMERA_ID", request->camera_id, "the camera's identifier")->required();
  sub->add_option("--types", request->types,
                  "data types to capture, e.g. rgb,depth (default: the bridge's)")
      ->delimiter(',');
  sub->add_flag("--world-frame", request->world_frame,
                "ask for the camera's pose in the world frame as well");
  sub->add_option("-o,--out", request->out, "directory to write into (created when missing)")
      ->required();
  sub->footer(
      "Example:\n  strandel put cameras "
      "'{\"prim_path\":\"/World/camera\",\"resolution\":[320,240]}'\n"
      "  strandel capture camera --types rgb,depth --out frame/");
  commands[sub] = [request, &bridge] { return runCapture(*request, bridge); };
}

}  // namespace strandel_cli
