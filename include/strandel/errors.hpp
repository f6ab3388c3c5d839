#pragma once

/// The library's error kinds beyond HTTPError (http.hpp): each failure that callers may want to
/// tell apart has its own exception class, derived from the standard type that its calls document,
/// so that code catching that standard type keeps working and no caller reads kinds from texts.
///
/// Thread-safety: plain values; concurrent const access is safe.

#include <cstddef>
#include <stdexcept>
#include <string>

#include <strandel/export.hpp>

namespace strandel {

/// Thrown by IsaacSimClient::openJointPositionStream and openArticulationStateStream (and the
/// Articulation stream members) when the WebSocket connection or its upgrade handshake fails: no
/// connection, a time-out, a URL whose scheme is not ws or wss, or a bridge that answers the
/// upgrade request with anything but 101. what() is "WebSocket handshake failed for " + URL + ": "
/// + libcurl's text for the failure.
class STRANDEL_API HandshakeError : public std::runtime_error {
 public:
  /// The most bytes of the refusal's body that body() keeps: the first ones.
  static constexpr std::size_t kMaxBodyBytes = 65536;

  /// An error for `url` with what() "WebSocket handshake failed for " + url + ": " + reason.
  HandshakeError(std::string url, const std::string& reason, long status, std::string body);
  /// Copies message, URL, status and body.
  HandshakeError(const HandshakeError& other);
  /// Takes URL and body over; the source keeps its message and status.
  HandshakeError(HandshakeError&& other) noexcept;
  /// Copies message, URL, status and body.
  HandshakeError& operator=(const HandshakeError& other);
  /// Copies message and status and takes URL and body over.
  HandshakeError& operator=(HandshakeError&& other) noexcept;
  ~HandshakeError() override;

  /// The full URL of the stream that failed to open.
  const std::string& url() const noexcept;
  /// The HTTP status with which the bridge refused the upgrade; 0 when no HTTP answer arrived
  /// (refused connection, time-out, unsupported scheme).
  long statusCode() const noexcept;
  /// The body of the bridge's refusal, at most kMaxBodyBytes of it; empty when there was none or
  /// it could not be read (see IsaacSimClient::openJointPositionStream).
  const std::string& body() const noexcept;

 private:
  std::string url_;
  long statusCode_;
  std::string body_;
};

}  // namespace strandel
