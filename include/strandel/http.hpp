#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

#include <strandel/export.hpp>
#include <strandel/json.hpp>

namespace strandel {

/// The outcome of one HTTP exchange: the final attempt's status, body and headers.
///
/// Thread-safety: a plain value. Concurrent const access is safe; writing one while another
/// thread reads it is not.
struct STRANDEL_API HttpResponse {
  /// HTTP status of the final attempt; 0 in a default response.
  long status = 0;
  /// Body bytes exactly as received (binary allowed).
  std::string body;
  /// Header name as received (case kept) to value; names differing only in case are separate.
  std::map<std::string, std::string> headers;

  /// Value of the first header (in byte order of the names) whose name equals `name` under ASCII
  /// case folding, or nullptr. The pointer lives as long as this response's headers are unchanged.
  const std::string* header(std::string_view name) const;

  /// The body parsed as one strict JSON text. Throws nlohmann::json::parse_error for an empty or
  /// malformed body.
  ::strandel::json json() const;
};

/// A bridge answer outside 200..299. what() is "Bridge returned status N"; the body is kept
/// unaltered and read through body().
///
/// Thread-safety: a plain value, as HttpResponse.
class STRANDEL_API HTTPError : public std::runtime_error {
 public:
  /// An error for `status` whose what() is "Bridge returned status " + status, keeping `body`.
  HTTPError(long status, std::string body);
  /// Copies message, status and body.
  HTTPError(const HTTPError& other);
  /// Takes the body over; the source keeps its message and status, its body becomes empty.
  HTTPError(HTTPError&& other) noexcept;
  /// Copies message, status and body.
  HTTPError& operator=(const HTTPError& other);
  /// Copies message and status and takes the body over; the source's body becomes empty.
  HTTPError& operator=(HTTPError&& other) noexcept;
  ~HTTPError() override;

  /// The status the bridge answered with.
  long statusCode() const noexcept;
  /// The body of that answer, unaltered.
  const std::string& body() const noexcept;

 private:
  long statusCode_;
  std::string body_;
};

}  // namespace strandel
