#include "axis_limits_json.hpp"

#include <optional>

namespace strandel {
namespace {

json axisOrNull(const std::optional<AxisLimit>& axis) { return axis ? json(*axis) : json(nullptr); }

}  // namespace

void to_json(json& out, const AxisLimit& limit) {
  out = json::object();
  out["minimum"] = limit.minimum;
  out["maximum"] = limit.maximum;
}

void to_json(json& out, const AxisLimits& limits) {
  out = json::object();
  out["x"] = axisOrNull(limits.x);
  out["y"] = axisOrNull(limits.y);
  out["z"] = axisOrNull(limits.z);
}

}  // namespace strandel
