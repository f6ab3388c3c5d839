#pragma once

// The pictures `strandel view` shows: a camera output turned into JPEG bytes (libjpeg-turbo), the
// depth first shaded in false colour with the shades of strandel_pictures.
//
// Thread-safety: DepthShader is immutable after construction and may be shared by threads; the
// free functions are pure.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <strandel/camera_frame.hpp>

namespace strandel_cli {

/// Width, height and channels of an 8-bit output shaped [h,w], [h,w,1], [h,w,3] or [h,w,4] with
/// 1..65535 pixels each way; empty for any other shape, dtype or byte count.
struct PictureShape {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t channels = 0;
};
std::optional<PictureShape> pictureShapeOf(const strandel::CameraOutput& output);

/// The JPEG file of `pixels` (rows from the top, `shape.channels` bytes per pixel: grey, RGB or
/// RGBA, whose alpha is dropped) at `quality` (1..100). Throws std::invalid_argument when the
/// pixels do not fill the shape, std::runtime_error when libjpeg fails (its message attached).
std::string encodeJpeg(const std::uint8_t* pixels, const PictureShape& shape, int quality);

/// Depth in false colour: the shades of strandel_pictures::depthFalseColour (near yellow to far
/// dark purple across the depth range, black where nothing was hit), looked up in a table of
/// 256 steps instead of computed per pixel, and the range taken from a sample of at most
/// kRangeSamples depths spread over the picture, so that a 1280x720 depth costs a few ms.
class DepthShader {
 public:
  /// Depths sampled for the range (nearest finite depth and 95th percentile).
  static constexpr std::size_t kRangeSamples = 1u << 16;

  DepthShader();

  /// RGB bytes of a float32 or float64 output shaped [h,w] or [h,w,1] (little-endian), with its
  /// width and height in `shape` (channels 3); empty when the output is not such a depth.
  std::optional<std::vector<std::uint8_t>> shade(const strandel::CameraOutput& output,
                                                 PictureShape& shape) const;

 private:
  std::array<std::array<std::uint8_t, 3>, 256> table_{};
};

}  // namespace strandel_cli
