#pragma once

// Depth in metres turned into pictures: exact millimetres for programs, false colour for people.

#include <cstdint>
#include <optional>
#include <vector>

#include <strandel/camera_frame.hpp>

namespace strandel_cli {

/// The values of a float32 or float64 output (little-endian, as frames carry them); an empty
/// optional for another dtype or a byte count that does not match the shape.
std::optional<std::vector<double>> depthValues(const strandel::CameraOutput& output);

/// Each depth in whole millimetres (rounded to nearest), 0 where it is not finite or the result
/// lies outside 0..65535.
std::vector<std::uint16_t> depthMillimetres(const std::vector<double>& metres);

/// Three bytes (RGB) per depth: near yellow through green and blue to far dark purple, scaled
/// from the nearest finite depth to the 95th percentile of the finite depths (farther ones take
/// the far colour); black where the depth is not finite.
std::vector<std::uint8_t> depthFalseColour(const std::vector<double>& metres);

}  // namespace strandel_cli
