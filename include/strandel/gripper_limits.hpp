#pragma once

#include <optional>

namespace strandel {

/// A lower and an upper bound for one axis. Not checked: any values are sent as they are.
/// A plain value: safe to read from several threads at once, not to write while it is read.
struct AxisLimit {
  /// The lower bound, sent as "minimum".
  double minimum = 0.0;
  /// The upper bound, sent as "maximum".
  double maximum = 0.0;
};

/// Optional limits for each axis. Sent as {"x":...,"y":...,"z":...} with an empty axis as null.
/// A plain value, like AxisLimit.
struct AxisLimits {
  /// Limits of the x axis; empty sends null.
  std::optional<AxisLimit> x;
  /// Limits of the y axis; empty sends null.
  std::optional<AxisLimit> y;
  /// Limits of the z axis; empty sends null.
  std::optional<AxisLimit> z;
};

}  // namespace strandel
