#include "world.hpp"

#include <utility>

#include "camera_frame_encoder.hpp"
#include "world_state.hpp"

namespace strandel::mock_bridge {
namespace {

/// Slack in comparing elapsed simulated time with a camera period, so that time summed from
/// steps of 1 / physics rate reaches a period it equals mathematically.
constexpr double kPeriodSlack = 1e-9;

json vec3(const Vec3& v) { return json{v.x, v.y, v.z}; }

}  // namespace

const World::CameraState& World::camera(const std::string& id) const {
  const auto it = cameras_.find(id);
  if (it == cameras_.end()) throw ApiError(404, "camera '" + id + "' not found");
  return *it->second;
}

World::CameraState& World::camera(const std::string& id) {
  return const_cast<CameraState&>(std::as_const(*this).camera(id));
}

void World::requireCamera(const std::string& id) const { camera(id); }

Answer World::createCamera(const CreateCamera& command) {
  const std::string& prim_path = command.prim_path;
  CameraView view;
  if (command.resolution) {
    view.width = command.resolution->width;
    view.height = command.resolution->height;
  }
  for (const auto& [id, c] : cameras_) {
    if (c->prim_path != prim_path) continue;
    if (c->view.width == view.width && c->view.height == view.height &&
        c->frequency == command.frequency)
      return {200, describeCamera(id)};
    throw ApiError(
        409, "prim path '" + prim_path + "' already holds camera '" + id + "' with other settings");
  }
  auto c = std::make_unique<CameraState>();
  c->id = makeIdentifier(prim_path, "camera", cameras_);
  c->prim_path = prim_path;
  c->frequency = command.frequency;
  c->view = view;
  const std::string id = c->id;
  cameras_.emplace(id, std::move(c));
  return {201, describeCamera(id)};
}

json World::describeCamera(const std::string& id) const {
  const CameraState& c = camera(id);
  return json{{"camera_id", id},
              {"prim_path", c.prim_path},
              {"resolution", {c.view.width, c.view.height}},
              {"frequency", c.frequency},
              {"position", vec3(c.view.eye)},
              {"look_at", vec3(c.view.target)}};
}

std::string World::capture(const std::string& id, const Capture& command) {
  CameraState& c = camera(id);
  if (!c.last || simTime_ - c.last->sim_time + kPeriodSlack >= 1.0 / c.frequency)
    c.last = CameraState::Frame{simTime_, render(scene(), c.view)};
  const CameraState::Frame& frame = *c.last;
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

void World::removeCamera(const std::string& id) {
  camera(id);
  cameras_.erase(id);
}

}  // namespace strandel::mock_bridge
