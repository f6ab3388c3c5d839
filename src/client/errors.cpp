#include <string>
#include <utility>

#include <strandel/errors.hpp>

namespace strandel {

HandshakeError::HandshakeError(std::string url, const std::string& reason, long status,
                               std::string body)
    : std::runtime_error("WebSocket handshake failed for " + url + ": " + reason),
      url_(std::move(url)),
      statusCode_(status),
      body_(std::move(body)) {}

HandshakeError::HandshakeError(const HandshakeError& other) = default;

// The base is copied, not moved (std::runtime_error has no move), so the source keeps its message.
HandshakeError::HandshakeError(HandshakeError&& other) noexcept
    : std::runtime_error(static_cast<const std::runtime_error&>(other)),
      url_(std::move(other.url_)),
      statusCode_(other.statusCode_),
      body_(std::move(other.body_)) {}

HandshakeError& HandshakeError::operator=(const HandshakeError& other) = default;

HandshakeError& HandshakeError::operator=(HandshakeError&& other) noexcept {
  if (this != &other) {
    std::runtime_error::operator=(static_cast<const std::runtime_error&>(other));
    url_ = std::move(other.url_);
    statusCode_ = other.statusCode_;
    body_ = std::move(other.body_);
  }
  return *this;
}

HandshakeError::~HandshakeError() = default;

const std::string& HandshakeError::url() const noexcept { return url_; }

long HandshakeError::statusCode() const noexcept { return statusCode_; }

const std::string& HandshakeError::body() const noexcept { return body_; }

}  // namespace strandel
