#pragma once

// A small software renderer for camera captures: a sky, a ground plane with a grid at z = 0, and
// every articulation as a stick figure (bones between link origins, a sphere at each link origin,
// a mounted gripper as two fingers). Pure function of its arguments; safe on any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "geometry.hpp"

namespace strandel::mock_bridge {

/// One articulation as drawn: link origins in world coordinates (metres) and bones between them.
struct Figure {
  std::vector<Vec3> points;
  std::vector<std::pair<std::size_t, std::size_t>> bones;
  /// World pose of the mounted gripper's base, if a gripper is mounted.
  std::optional<Transform> gripper;
  bool gripper_closed = false;
};

struct Scene {
  std::vector<Figure> figures;
};

/// A pinhole camera looking from `eye` at `target`, with the world's +z up.
struct CameraView {
  int width = 640;
  int height = 480;
  Vec3 eye{1.7, -1.4, 1.15};
  Vec3 target{0.0, 0.0, 0.45};
  double horizontal_fov = 1.0471975511965976;  // 60 degrees, in radians
};

struct Images {
  /// height * width * 3 bytes, rows top to bottom, RGB.
  std::vector<std::uint8_t> rgb;
  /// height * width distances along the optical axis in metres; +infinity where nothing is hit.
  std::vector<float> depth;
};

/// Renders `scene` as seen by `view`. Width and height must be positive.
Images render(const Scene& scene, const CameraView& view);

}  // namespace strandel::mock_bridge
