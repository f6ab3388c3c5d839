#include "body_reader.hpp"

#include <algorithm>
#include <cmath>

#include "json_structure.hpp"

namespace strandel::mock_bridge {
namespace {

ApiError unprocessable(const std::string& message) { return ApiError(422, message); }

template <typename T, typename Convert>
std::vector<T> requireArray(const json& value, const std::string& what, const char* kind,
                            const char* elementKind, Convert convert) {
  if (!value.is_array()) throw unprocessable(what + " must be an array of " + kind);
  std::vector<T> result;
  result.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const std::string element = what + "[" + std::to_string(i) + "]";
    auto converted = convert(value[i]);
    if (!converted) throw unprocessable(element + " must be " + elementKind);
    result.push_back(*converted);
  }
  return result;
}

}  // namespace

json parseRequestBody(const std::string& text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  if (std::all_of(text.begin(), text.end(), blank)) return json::object();
  return parseMessage(text);
}

json parseMessage(const std::string& text) {
  if (strandel::json_structure::nestedDeeperThan(text, kMaxJsonDepth))
    throw ApiError(
        400, "malformed JSON: nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  try {
    return json::parse(text);
  } catch (const json::exception& e) {  // a syntax error, or a number out of range (1e400)
    throw ApiError(400, std::string("malformed JSON: ") + e.what());
  }
}

const json& requireObject(const json& body) {
  if (!body.is_object()) throw unprocessable("the request body must be a JSON object");
  return body;
}

const json* member(const json& object, std::string_view key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string requireString(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (!value) throw unprocessable(std::string(key) + " is required");
  if (!value->is_string()) throw unprocessable(std::string(key) + " must be a string");
  return value->get<std::string>();
}

std::optional<std::string> optionalString(const json& object, std::string_view key) {
  if (!member(object, key)) return std::nullopt;
  return requireString(object, key);
}

bool requireBool(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (!value) throw unprocessable(std::string(key) + " is required");
  if (!value->is_boolean()) throw unprocessable(std::string(key) + " must be true or false");
  return value->get<bool>();
}

std::optional<bool> optionalBool(const json& object, std::string_view key) {
  if (!member(object, key)) return std::nullopt;
  return requireBool(object, key);
}

double requireFinite(const json& value, const std::string& what) {
  if (!value.is_number() || !std::isfinite(value.get<double>()))
    throw unprocessable(what + " must be a finite number");
  return value.get<double>();
}

std::vector<double> requireNumberArray(const json& value, const std::string& what) {
  return requireArray<double>(value, what, "numbers", "a finite number",
                              [](const json& v) -> std::optional<double> {
                                if (!v.is_number() || !std::isfinite(v.get<double>()))
                                  return std::nullopt;
                                return v.get<double>();
                              });
}

std::vector<std::int64_t> requireIntegerArray(const json& value, const std::string& what) {
  return requireArray<std::int64_t>(value, what, "integers", "an integer",
                                    [](const json& v) -> std::optional<std::int64_t> {
                                      if (v.is_number_unsigned()) {
                                        const auto u = v.get<std::uint64_t>();
                                        if (u > static_cast<std::uint64_t>(INT64_MAX))
                                          return std::nullopt;
                                        return static_cast<std::int64_t>(u);
                                      }
                                      if (!v.is_number_integer()) return std::nullopt;
                                      return v.get<std::int64_t>();
                                    });
}

std::vector<std::string> requireStringArray(const json& value, const std::string& what) {
  return requireArray<std::string>(value, what, "strings", "a string",
                                   [](const json& v) -> std::optional<std::string> {
                                     if (!v.is_string()) return std::nullopt;
                                     return v.get<std::string>();
                                   });
}

}  // namespace strandel::mock_bridge
