#pragma once

// Depth in metres turned into pictures: exact millimetres for programs, false colour and grey
// shades for people. The shades are scaled from the nearest finite depth to the 95th percentile
// of the finite depths, so that a far horizon does not squeeze everything near into one shade.
//
// Thread-safety: pure functions on values; any number of threads may call them at once.

#include <cstdint>
#include <optional>
#include <vector>

#include <strandel/camera_frame.hpp>

namespace strandel_pictures {

/// The values of a float32 or float64 output (little-endian, as frames carry them); an empty
/// optional for another dtype or a byte count that does not match the shape.
std::optional<std::vector<double>> depthValues(const strandel::CameraOutput& output);

/// Each depth in whole millimetres (rounded to nearest), 0 where it is not finite or the result
/// lies outside 0..65535.
std::vector<std::uint16_t> depthMillimetres(const std::vector<double>& metres);

/// The depths a picture's shades span, in metres.
struct DepthRange {
  /// The nearest finite depth; 0 when there is none.
  double nearest = 0.0;
  /// The 95th percentile of the finite depths (the element at position count * 95 / 100 of them
  /// sorted); 0 when there is none.
  double farthest = 0.0;

  /// Where a finite depth lies in the range: 0 at `nearest`, 1 at `farthest` and beyond, as a
  /// fraction between. A range whose farthest is not beyond its nearest spans one metre.
  double position(double metres) const;
};

/// The range of the finite values of `metres` (both 0 when none is finite).
DepthRange depthRange(const std::vector<double>& metres);

/// Three bytes (RGB) per depth: near yellow through green and blue to far dark purple across
/// depthRange(metres) (farther ones take the far colour); black where the depth is not finite.
std::vector<std::uint8_t> depthFalseColour(const std::vector<double>& metres);

/// One byte per depth: 255 (white) at the near end of depthRange(metres) down to 40 at its far end
/// and beyond; 0 (black) where the depth is not finite, i.e. nothing was hit.
std::vector<std::uint8_t> depthGrey(const std::vector<double>& metres);

}  // namespace strandel_pictures
