#pragma once

// The world's cameras (resource.hpp). A capture answers a binary camera frame
// (camera_frame_encoder.hpp) of the picture the renderer (renderer.hpp) draws of the scene. A
// camera renders a new frame (rgb and depth) when at least 1 / frequency simulated seconds have
// passed since its last one, or when it has none; an earlier capture answers the last frame again,
// with the sim_time at which it was rendered.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "renderer.hpp"
#include "resource.hpp"

namespace strandel::mock_bridge {

class Cameras {
 public:
  /// Reads the simulated time from `sim_time`, which must outlive the cameras, and draws what
  /// `scene` answers.
  Cameras(const double& sim_time, std::function<Scene()> scene)
      : simTime_(sim_time), scene_(std::move(scene)) {}

  json ids() const { return identifiersOf(records_); }
  /// Throws ApiError 404 "camera '<id>' not found" when there is none.
  void require(const std::string& id) const { at(id); }
  Answer create(const CreateCamera& command);
  json describe(const std::string& id) const;
  /// The binary camera frame of a capture.
  std::string capture(const std::string& id, const Capture& command);
  void remove(const std::string& id);

 private:
  struct Camera {
    std::string prim_path;
    double frequency = 30.0;
    CameraView view;
    /// The last rendered frame and the simulated time it shows.
    struct Frame {
      double sim_time = 0.0;
      Images images;
    };
    std::optional<Frame> last;
  };

  const Camera& at(const std::string& id) const { return recordOf(records_, id, kKind); }
  Camera& at(const std::string& id) { return recordOf(records_, id, kKind); }

  static constexpr const char* kKind = "camera";
  const double& simTime_;
  std::function<Scene()> scene_;
  std::map<std::string, Camera> records_;
};

}  // namespace strandel::mock_bridge
