#include <strandel/errors.hpp>

#include <string>
#include <utility>

namespace strandel {

namespace detail {

/// What the error kinds carry beyond their text; shared by copies, so copying never throws.
struct ErrorDetails {
  std::string method;
  std::string url;
  std::string body;
  long status = 0;
  int curl_code = 0;
  int attempts = 0;
};

}  // namespace detail

namespace {

std::string peerClosedText(std::optional<int> code, const std::string& reason) {
  std::string text = "WebSocket peer closed the stream";
  if (code) text += ": " + std::to_string(*code);
  if (!reason.empty()) text += " " + reason;
  return text;
}

}  // namespace

HTTPRequestError::HTTPRequestError(long status, std::string body, std::string method,
                                   std::string url)
    : HTTPError(status, std::move(body)),
      details_(std::make_shared<const detail::ErrorDetails>(
          detail::ErrorDetails{std::move(method), std::move(url), {}, 0, 0, 0})) {}
HTTPRequestError::~HTTPRequestError() = default;
const std::string& HTTPRequestError::method() const noexcept { return details_->method; }
const std::string& HTTPRequestError::url() const noexcept { return details_->url; }

TransportError::TransportError(const std::string& message, int curl_code, std::string url,
                               int attempts)
    : std::runtime_error(message),
      details_(std::make_shared<const detail::ErrorDetails>(
          detail::ErrorDetails{{}, std::move(url), {}, 0, curl_code, attempts})) {}
TransportError::~TransportError() = default;
int TransportError::curlCode() const noexcept { return details_->curl_code; }
const std::string& TransportError::url() const noexcept { return details_->url; }
int TransportError::attempts() const noexcept { return details_->attempts; }

TimeoutError::~TimeoutError() = default;

HandshakeError::HandshakeError(std::string url, const std::string& reason, long status,
                               std::string body)
    : std::runtime_error("WebSocket handshake failed for " + url + ": " + reason),
      details_(std::make_shared<const detail::ErrorDetails>(
          detail::ErrorDetails{{}, std::move(url), std::move(body), status, 0, 0})) {}
HandshakeError::~HandshakeError() = default;
const std::string& HandshakeError::url() const noexcept { return details_->url; }
long HandshakeError::statusCode() const noexcept { return details_->status; }
const std::string& HandshakeError::body() const noexcept { return details_->body; }

ResponseTooLargeError::ResponseTooLargeError(std::size_t limit)
    : std::runtime_error("HTTP response exceeds " + std::to_string(limit) + " bytes"),
      limit_(limit) {}
ResponseTooLargeError::~ResponseTooLargeError() = default;

MessageTooLargeError::MessageTooLargeError(std::size_t limit)
    : std::runtime_error("WebSocket message exceeds " + std::to_string(limit) + " bytes"),
      limit_(limit) {}
MessageTooLargeError::~MessageTooLargeError() = default;

FrameFormatError::~FrameFormatError() = default;

StreamClosedError::~StreamClosedError() = default;

PeerClosedError::PeerClosedError(std::optional<int> close_code, const std::string& close_reason)
    : std::runtime_error(peerClosedText(close_code, close_reason)), closeCode_(close_code) {}
PeerClosedError::~PeerClosedError() = default;

}  // namespace strandel
