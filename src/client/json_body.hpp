#pragma once

#include <optional>
#include <string>

#include <strandel/json.hpp>

namespace strandel::detail {

/// The one way every facade writes a request body: compact, keys in ascending order (the json
/// object's own order), non-ASCII as raw UTF-8, whole doubles as 1.0, NaN and infinities as null.
/// Throws nlohmann::json::type_error (316) for a string that is not valid UTF-8.
std::string writeJsonBody(const json& body);

/// The held value's JSON form, or null for an empty optional: the rule of bodies that always carry
/// every key.
template <typename T>
json valueOrNull(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

/// Sets `key` to the held value's JSON form; an empty optional leaves the body unchanged: the rule
/// of partial-update bodies, which leave out what the caller did not give.
template <typename T>
void setIfPresent(json& body, const char* key, const std::optional<T>& value) {
  if (value) body[key] = *value;
}

}  // namespace strandel::detail
