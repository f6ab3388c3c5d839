#include "axis_limits_json.hpp"

#include "client/json_body.hpp"

namespace strandel {

using detail::valueOrNull;

void to_json(json& out, const AxisLimit& limit) {
  out = json::object();
  out["minimum"] = limit.minimum;
  out["maximum"] = limit.maximum;
}

void to_json(json& out, const AxisLimits& limits) {
  out = json::object();
  out["x"] = valueOrNull(limits.x);
  out["y"] = valueOrNull(limits.y);
  out["z"] = valueOrNull(limits.z);
}

}  // namespace strandel
