#pragma once

#include <nlohmann/json.hpp>

namespace strandel {

/// The JSON value type of every body and result: nlohmann/json with its default parameters
/// (objects keep their keys in ascending byte order).
using json = nlohmann::json;

}  // namespace strandel
