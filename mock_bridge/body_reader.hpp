#pragma once

// Reading request bodies: the text as JSON (400 when it is not), then each field either as its
// typed value or as ApiError 422 with a message naming the offending key. Pure functions of their
// arguments.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api_error.hpp"

namespace strandel::mock_bridge {

/// How deep arrays and objects may nest in a body or message, far beyond any the stand-in reads.
constexpr std::size_t kMaxJsonDepth = 64;

/// An HTTP request body as JSON: an empty body (or one of only whitespace) counts as {}; any other
/// text is read by parseMessage().
json parseRequestBody(const std::string& text);
/// A WebSocket message as JSON. 400 "malformed JSON: nested deeper than 64 levels" (decided before
/// parsing), or 400 "malformed JSON: <parser's reason>" for text that is not JSON (an empty
/// message included) or holds a number out of the range of a double.
json parseMessage(const std::string& text);

/// `body` itself when it is a JSON object; otherwise 422 "the request body must be a JSON object".
const json& requireObject(const json& body);

/// The member `key`, or nullptr when it is absent or null.
const json* member(const json& object, std::string_view key);

/// A required string member: 422 "<key> is required" / "<key> must be a string".
std::string requireString(const json& object, std::string_view key);
/// A string member that may be absent or null.
std::optional<std::string> optionalString(const json& object, std::string_view key);
/// A required boolean member: 422 "<key> is required" / "<key> must be true or false".
bool requireBool(const json& object, std::string_view key);
/// A boolean member that may be absent or null.
std::optional<bool> optionalBool(const json& object, std::string_view key);

/// `value` as a finite double; 422 "<what> must be a finite number" otherwise.
double requireFinite(const json& value, const std::string& what);
/// An array of finite numbers: 422 "<what> must be an array of numbers", or the element's
/// message "<what>[i] must be a finite number".
std::vector<double> requireNumberArray(const json& value, const std::string& what);
/// An array of integers: 422 "<what> must be an array of integers" / "<what>[i] must be an
/// integer".
std::vector<std::int64_t> requireIntegerArray(const json& value, const std::string& what);
/// An array of strings: 422 "<what> must be an array of strings" / "<what>[i] must be a string".
std::vector<std::string> requireStringArray(const json& value, const std::string& what);

}  // namespace strandel::mock_bridge
