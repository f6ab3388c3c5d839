#pragma once

#include <string>

#include <strandel/json.hpp>

namespace strandel::detail {

/// The one way every facade writes a request body: compact, keys in ascending order (the json
/// object's own order), non-ASCII as raw UTF-8, whole doubles as 1.0, NaN and infinities as null.
/// Throws nlohmann::json::type_error (316) for a string that is not valid UTF-8.
std::string writeJsonBody(const json& body);

}  // namespace strandel::detail
