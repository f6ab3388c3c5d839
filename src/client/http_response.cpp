#include <string>
#include <utility>

#include <strandel/http.hpp>

#include "ignore_case.hpp"

namespace strandel {

const std::string* HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (detail::equalsIgnoreCase(key, name)) return &value;
  }
  return nullptr;
}

json HttpResponse::json() const { return nlohmann::json::parse(body); }

HTTPError::HTTPError(long status, std::string body)
    : std::runtime_error("Bridge returned status " + std::to_string(status)),
      statusCode_(status),
      body_(std::move(body)) {}

HTTPError::HTTPError(const HTTPError& other) = default;

// The base is copied, not moved, so the source keeps its message.
HTTPError::HTTPError(HTTPError&& other) noexcept
    : std::runtime_error(static_cast<const std::runtime_error&>(other)),
      statusCode_(other.statusCode_),
      body_(std::move(other.body_)) {}

HTTPError& HTTPError::operator=(const HTTPError& other) = default;

HTTPError& HTTPError::operator=(HTTPError&& other) noexcept {
  if (this != &other) {
    std::runtime_error::operator=(static_cast<const std::runtime_error&>(other));
    statusCode_ = other.statusCode_;
    body_ = std::move(other.body_);
  }
  return *this;
}

HTTPError::~HTTPError() = default;

long HTTPError::statusCode() const noexcept { return statusCode_; }

const std::string& HTTPError::body() const noexcept { return body_; }

}  // namespace strandel
