#pragma once

// The stand-in's refusals and the JSON text of what it sends. Every answer outside 2xx carries the
// JSON body {"error": <message>, "status": <status>}.

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace strandel::mock_bridge {

using json = nlohmann::json;

/// A request the bridge refuses with `status` (400, 404, 405, 413, 422, ...) and a message that
/// says what was wrong.
class ApiError : public std::runtime_error {
 public:
  ApiError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int status() const noexcept { return status_; }

 private:
  int status_;
};

/// The JSON error body for `status` and `message`.
inline json errorBody(int status, const std::string& message) {
  return json{{"error", message}, {"status", status}};
}

/// `value` as compact JSON text, as every answer and stream message is sent. Bytes in its strings
/// that are not UTF-8 (a refusal may quote a request's raw bytes) are written as U+FFFD, so this
/// throws nothing but std::bad_alloc.
inline std::string jsonText(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

/// The shortest JSON text of a number, as messages quote it.
inline std::string numberText(double value) { return json(value).dump(); }

}  // namespace strandel::mock_bridge
