#include "depth_pictures.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace strandel_pictures {
namespace {

template <typename Float, typename Bits>
std::vector<double> littleEndianValues(const std::vector<std::uint8_t>& data) {
  std::vector<double> values(data.size() / sizeof(Float));
  for (std::size_t i = 0; i < values.size(); ++i) {
    Bits bits = 0;
    for (std::size_t b = 0; b < sizeof(Float); ++b)
      bits |= static_cast<Bits>(data[i * sizeof(Float) + b]) << (8 * b);
    Float value;
    std::memcpy(&value, &bits, sizeof value);
    values[i] = static_cast<double>(value);
  }
  return values;
}

/// Stops of the false-colour scale, near to far.
constexpr std::array<std::array<double, 3>, 5> kStops = {{
    {253, 231, 37},  // yellow
    {94, 201, 98},   // green
    {33, 145, 140},  // teal
    {59, 82, 139},   // blue
    {68, 1, 84},     // dark purple
}};

/// The colour at `t` (0 near to 1 far) of the scale.
std::array<std::uint8_t, 3> colourAt(double t) {
  const double scaled = t * static_cast<double>(kStops.size() - 1);
  const std::size_t low = std::min(static_cast<std::size_t>(scaled), kStops.size() - 2);
  const double mix = scaled - static_cast<double>(low);
  std::array<std::uint8_t, 3> rgb{};
  for (std::size_t c = 0; c < 3; ++c) {
    rgb[c] = static_cast<std::uint8_t>(
        std::lround(kStops[low][c] + (kStops[low + 1][c] - kStops[low][c]) * mix));
  }
  return rgb;
}

}  // namespace

std::optional<std::vector<double>> depthValues(const strandel::CameraOutput& output) {
  const std::uint64_t count = output.elementCount();
  if (output.dtype == "float32" && output.data.size() == count * 4) {
    return littleEndianValues<float, std::uint32_t>(output.data);
  }
  if (output.dtype == "float64" && output.data.size() == count * 8) {
    return littleEndianValues<double, std::uint64_t>(output.data);
  }
  return std::nullopt;
}

std::vector<std::uint16_t> depthMillimetres(const std::vector<double>& metres) {
  std::vector<std::uint16_t> millimetres(metres.size(), 0);
  for (std::size_t i = 0; i < metres.size(); ++i) {
    const double mm = std::round(metres[i] * 1000.0);
    if (std::isfinite(mm) && mm >= 0.0 && mm <= 65535.0)
      millimetres[i] = static_cast<std::uint16_t>(mm);
  }
  return millimetres;
}

double DepthRange::position(double metres) const {
  const double span = farthest > nearest ? farthest - nearest : 1.0;
  const double t = (metres - nearest) / span;
  // NaN only when both the distance and the span overflow to infinity: a depth at the far end.
  return std::isnan(t) ? 1.0 : std::clamp(t, 0.0, 1.0);
}

DepthRange depthRange(const std::vector<double>& metres) {
  std::vector<double> finite;
  for (const double d : metres) {
    if (std::isfinite(d)) finite.push_back(d);
  }
  DepthRange range;
  if (!finite.empty()) {
    range.nearest = *std::min_element(finite.begin(), finite.end());
    const auto percentile = finite.begin() + static_cast<std::ptrdiff_t>(finite.size() * 95 / 100);
    std::nth_element(finite.begin(), percentile, finite.end());
    range.farthest = *percentile;
  }
  return range;
}

std::vector<std::uint8_t> depthFalseColour(const std::vector<double>& metres) {
  const DepthRange range = depthRange(metres);
  std::vector<std::uint8_t> rgb(metres.size() * 3, 0);
  for (std::size_t i = 0; i < metres.size(); ++i) {
    if (!std::isfinite(metres[i])) continue;
    const auto colour = colourAt(range.position(metres[i]));
    std::copy(colour.begin(), colour.end(), rgb.begin() + static_cast<std::ptrdiff_t>(3 * i));
  }
  return rgb;
}

std::vector<std::uint8_t> depthGrey(const std::vector<double>& metres) {
  const DepthRange range = depthRange(metres);
  std::vector<std::uint8_t> grey(metres.size(), 0);
  for (std::size_t i = 0; i < metres.size(); ++i) {
    if (std::isfinite(metres[i]))
      grey[i] = static_cast<std::uint8_t>(255.0 - 215.0 * range.position(metres[i]));
  }
  return grey;
}

}  // namespace strandel_pictures
