#pragma once

/// The library's error kinds beyond HTTPError (http.hpp). Each failure that callers may want to
/// tell apart has a class of its own, derived from the standard type that the calls document, so
/// that code catching that type keeps working and no caller reads kinds from message texts. what()
/// is always the documented text.
///
///     std::runtime_error
///       +-- HTTPError (http.hpp)    an answer outside 200..299 from a facade call
///       |     +-- HTTPRequestError  ... naming the request that got it
///       +-- TransportError          an HTTP exchange or a stream's I/O failed in libcurl
///       |     +-- TimeoutError      ... because it ran out of time
///       +-- HandshakeError          a stream could not be opened
///       +-- ResponseTooLargeError   an HTTP answer passed ClientOptions::max_response_bytes
///       +-- MessageTooLargeError    a stream message passed ClientOptions::max_message_bytes
///       +-- FrameFormatError        a 2xx capture answer is not a well-formed camera frame
///       +-- StreamClosedError       a call on a stream that is closed or can no longer send
///       +-- PeerClosedError         a send after the bridge closed the stream
///
/// Thread-safety: immutable values; copies share their details and never throw.

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <strandel/export.hpp>
#include <strandel/http.hpp>

namespace strandel {

namespace detail {
struct ErrorDetails;
}  // namespace detail

/// The HTTPError of a facade call: the same what(), statusCode() and body(), plus the request's
/// method and URL.
class STRANDEL_API HTTPRequestError : public HTTPError {
 public:
  /// The HTTPError for `status` and `body`, naming `method` and `url`.
  HTTPRequestError(long status, std::string body, std::string method, std::string url);
  ~HTTPRequestError() override;
  /// "GET", "POST", "PUT", "PATCH" or "DELETE".
  const std::string& method() const noexcept;
  /// The full URL of the request.
  const std::string& url() const noexcept;

 private:
  std::shared_ptr<const detail::ErrorDetails> details_;
};

/// The last attempt of an HTTP verb (or facade call) got no complete answer, or a stream's send
/// or receive failed in libcurl. what() is "HTTP request failed: " + libcurl's text, or the
/// stream's "WebSocket send failed: ..." / "WebSocket receive failed: ..." text.
class STRANDEL_API TransportError : public std::runtime_error {
 public:
  /// An error whose what() is `message`, with libcurl's code, the URL and the attempts made.
  TransportError(const std::string& message, int curl_code, std::string url, int attempts);
  ~TransportError() override;
  /// libcurl's CURLcode of the failure, as an int.
  int curlCode() const noexcept;
  /// The full URL of the request or stream.
  const std::string& url() const noexcept;
  /// Attempts made, the failing one included; 1 for a stream.
  int attempts() const noexcept;

 private:
  std::shared_ptr<const detail::ErrorDetails> details_;
};

/// A TransportError whose last attempt ran out of the client's time-out (CURLE_OPERATION_TIMEDOUT),
/// or a stream send that the peer did not take in time ("WebSocket send timed out after N ms").
class STRANDEL_API TimeoutError : public TransportError {
 public:
  /// As TransportError.
  using TransportError::TransportError;
  ~TimeoutError() override;
};

/// A stream could not be opened: no connection, a time-out, a URL whose scheme is not ws or wss,
/// or a bridge that answered the upgrade with anything but 101. what() is
/// "WebSocket handshake failed for " + URL + ": " + libcurl's text.
class STRANDEL_API HandshakeError : public std::runtime_error {
 public:
  /// The most bytes of the refusal's body that body() keeps: the first ones.
  static constexpr std::size_t kMaxBodyBytes = 65536;

  /// An error for `url` with what() "WebSocket handshake failed for " + url + ": " + reason.
  HandshakeError(std::string url, const std::string& reason, long status, std::string body);
  ~HandshakeError() override;
  /// The full URL of the stream that failed to open.
  const std::string& url() const noexcept;
  /// The HTTP status with which the bridge refused the upgrade; 0 when no HTTP answer arrived.
  long statusCode() const noexcept;
  /// What libcurl delivered of the refusal's body (at most kMaxBodyBytes), which may be empty:
  /// libcurl usually ends a refused upgrade after its headers, and the handshake is never repeated
  /// to read the rest.
  const std::string& body() const noexcept;

 private:
  std::shared_ptr<const detail::ErrorDetails> details_;
};

/// An HTTP answer's body passed ClientOptions::max_response_bytes; never retried. what() is
/// "HTTP response exceeds N bytes".
class STRANDEL_API ResponseTooLargeError : public std::runtime_error {
 public:
  /// An error for the cap `limit`.
  explicit ResponseTooLargeError(std::size_t limit);
  ~ResponseTooLargeError() override;
  /// The cap N that was passed.
  std::size_t limit() const noexcept { return limit_; }

 private:
  std::size_t limit_;
};

/// A stream message passed ClientOptions::max_message_bytes; the stream goes on after it. what()
/// is "WebSocket message exceeds N bytes".
class STRANDEL_API MessageTooLargeError : public std::runtime_error {
 public:
  /// An error for the cap `limit`.
  explicit MessageTooLargeError(std::size_t limit);
  ~MessageTooLargeError() override;
  /// The cap N that was passed.
  std::size_t limit() const noexcept { return limit_; }

 private:
  std::size_t limit_;
};

/// A 2xx capture answer whose body is not a well-formed binary camera frame; what() names the
/// fault (see Camera::capture).
class STRANDEL_API FrameFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~FrameFormatError() override;
};

/// send() or receive() on a closed WebSocketStream ("send() called on a closed WebSocketStream",
/// "receive() called on a closed WebSocketStream"), or send() on a stream whose earlier send was
/// cut off inside its frame ("WebSocket stream can no longer send: ...").
class STRANDEL_API StreamClosedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~StreamClosedError() override;
};

/// send() after the bridge's close frame arrived. what() is "WebSocket peer closed the stream",
/// followed by ": " and the close code and reason when the bridge sent them.
class STRANDEL_API PeerClosedError : public std::runtime_error {
 public:
  /// An error naming the bridge's close code and reason (either may be absent).
  PeerClosedError(std::optional<int> close_code, const std::string& close_reason);
  ~PeerClosedError() override;
  /// The status code of the bridge's close frame; empty when it carried none.
  std::optional<int> closeCode() const noexcept { return closeCode_; }

 private:
  std::optional<int> closeCode_;
};

}  // namespace strandel
