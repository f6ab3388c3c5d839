#pragma once

// The stand-in's refusals. Every answer outside 2xx carries the JSON body
// {"error": <message>, "status": <status>}.

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

}  // namespace strandel::mock_bridge
