#pragma once

// The JSON form of the per-axis limit types, used only inside request bodies. Found by
// nlohmann/json through argument-dependent lookup, so `json j = limits;` works wherever this
// header is included.

#include <strandel/gripper_limits.hpp>
#include <strandel/json.hpp>

namespace strandel {

/// {"maximum":...,"minimum":...}, both JSON floating-point numbers.
void to_json(json& out, const AxisLimit& limit);

/// {"x":...,"y":...,"z":...}: all three keys always present, an empty axis as null.
void to_json(json& out, const AxisLimits& limits);

}  // namespace strandel
