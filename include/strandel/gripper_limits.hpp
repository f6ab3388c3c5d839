#pragma once

#include <optional>

namespace strandel {

/// A lower and an upper bound for one axis. Not checked: any values are sent as they are.
struct AxisLimit {
  double minimum = 0.0;
  double maximum = 0.0;
};

/// Optional limits for each axis. Sent as {"x":...,"y":...,"z":...} with an empty axis as null.
struct AxisLimits {
  std::optional<AxisLimit> x;
  std::optional<AxisLimit> y;
  std::optional<AxisLimit> z;
};

}  // namespace strandel
