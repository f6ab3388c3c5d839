#include "cameras.hpp"

#include <cstdint>
#include <vector>

#include "camera_frame_encoder.hpp"

namespace strandel::mock_bridge {
namespace {

/// Slack in comparing elapsed simulated time with a camera period, so that time summed from
/// steps of 1 / physics rate reaches a period it equals mathematically.
constexpr double kPeriodSlack = 1e-9;

json vec3(const Vec3& v) { return json{v.x, v.y, v.z}; }

}  // namespace

Answer Cameras::create(const CreateCamera& command) {
  const std::string& prim_path = command.prim_path;
  CameraView view;
  if (command.resolution) {
    view.width = command.resolution->width;
    view.height = command.resolution->height;
  }
  for (const auto& [id, c] : records_) {
    if (c.prim_path != prim_path) continue;
    if (c.view.width == view.width && c.view.height == view.height &&
        c.frequency == command.frequency)
      return {200, describe(id)};
    throw ApiError(
        409, "prim path '" + prim_path + "' already holds camera '" + id + "' with other settings");
  }
  const std::string id = makeIdentifier(prim_path, "camera", records_);
  records_.emplace(id, Camera{prim_path, command.frequency, view, std::nullopt});
  return {201, describe(id)};
}

json Cameras::describe(const std::string& id) const {
  const Camera& c = at(id);
  return json{{"camera_id", id},
              {"prim_path", c.prim_path},
              {"resolution", {c.view.width, c.view.height}},
              {"frequency", c.frequency},
              {"position", vec3(c.view.eye)},
              {"look_at", vec3(c.view.target)}};
}

std::string Cameras::capture(const std::string& id, const Capture& command) {
  Camera& c = at(id);
  if (!c.last || simTime_ - c.last->sim_time + kPeriodSlack >= 1.0 / c.frequency)
    c.last = Camera::Frame{simTime_, render(scene_(), c.view)};
  const Camera::Frame& frame = *c.last;
  json structure{{"camera_id", id},
                 {"sim_time", frame.sim_time},
                 {"resolution", {c.view.width, c.view.height}},
                 {"world_frame", command.world_frame}};
  if (command.world_frame)
    structure["camera_pose"] = {
        {"position", vec3(c.view.eye)}, {"look_at", vec3(c.view.target)}, {"up", {0.0, 0.0, 1.0}}};
  std::vector<FrameArray> arrays;
  const auto h = static_cast<std::uint64_t>(c.view.height);
  const auto w = static_cast<std::uint64_t>(c.view.width);
  const Images& images = frame.images;
  if (command.rgb)
    arrays.push_back(
        {"rgb", {h, w, 3}, "uint8", std::string(images.rgb.begin(), images.rgb.end())});
  if (command.depth) arrays.push_back({"depth", {h, w}, "float32", float32Bytes(images.depth)});
  return encodeCameraFrame(structure, arrays);
}

void Cameras::remove(const std::string& id) {
  require(id);
  records_.erase(id);
}

}  // namespace strandel::mock_bridge
