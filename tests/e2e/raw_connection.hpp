#pragma once

// A plain TCP connection to 127.0.0.1 for sending bytes no well-behaved client would send and
// for leaving abruptly. Reads wait at most 20 seconds. Not thread-safe.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace strandel::e2e {

/// One HTTP response as read off the wire.
struct RawResponse {
  int status = 0;
  std::string head;
  std::string body;
};

/// One WebSocket frame as read off the wire (a server's frames are not masked).
struct RawFrame {
  bool fin = false;
  int opcode = 0;
  std::string payload;
};

class RawConnection {
 public:
  /// Connects to 127.0.0.1:`port`; throws std::runtime_error when it cannot.
  explicit RawConnection(std::uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  /// Writes all of `bytes`; false when the peer has closed the connection.
  bool send(std::string_view bytes);
  /// Reads one response (head, then a Content-Length body); empty when the connection ends or
  /// the wait runs out first.
  std::optional<RawResponse> readResponse();
  /// Reads up to `count` bytes that follow what readResponse() consumed, waiting for at least one.
  std::string readSome(std::size_t count);
  /// Reads one unmasked WebSocket frame that follows what was consumed before; empty when the
  /// connection ends or the wait runs out first.
  std::optional<RawFrame> readFrame();
  /// Closes with a reset (SO_LINGER 0), as a crashed client would.
  void reset();

 private:
  bool fill();
  /// Reads until at least `count` bytes are pending; false when the connection ends first.
  bool fillTo(std::size_t count);
  int fd_ = -1;
  std::string pending_;
};

/// A port on 127.0.0.1 that refuses connections: bound, never listening, held while it lives.
class RefusingPort {
 public:
  /// Throws std::runtime_error when no port can be reserved.
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::uint16_t port() const { return port_; }
  /// "http://127.0.0.1:PORT/".
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

/// "GET <target> HTTP/1.1" with a Host header and, when `body` is given, a Content-Length body.
std::string httpRequest(std::string_view method, std::string_view target,
                        std::string_view body = {}, bool keep_alive = true);

/// One masked client WebSocket frame with FIN set: `opcode` 1 for text, 2 for binary.
std::string webSocketFrame(int opcode, std::string_view payload);

}  // namespace strandel::e2e
