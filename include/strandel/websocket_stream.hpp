#pragma once

// Thread-safety: a WebSocketStream is used by one thread at a time; calls on one stream must not
// overlap. Separate streams share nothing and may live on separate threads.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <strandel/export.hpp>

namespace strandel {

class IsaacSimClient;

/// A move-only owner of one WebSocket connection to a stream endpoint of the bridge. It owns its
/// connection outright and stays usable after the client that opened it is destroyed.
class STRANDEL_API WebSocketStream {
 public:
  /// Takes over the other stream's connection; the other stream is left closed. Sends nothing.
  WebSocketStream(WebSocketStream&& other) noexcept;
  /// Closes this stream's own connection first (sending a close frame), then takes over the
  /// other's. Self-assignment does nothing.
  WebSocketStream& operator=(WebSocketStream&& other) noexcept;
  WebSocketStream(const WebSocketStream&) = delete;
  WebSocketStream& operator=(const WebSocketStream&) = delete;
  /// Closes the connection as close() does. Never throws.
  ~WebSocketStream();

  /// Sends `message` as one text frame, unchanged. Waits for the socket while the peer is not
  /// reading, for at most the client's time-out in all. Throws std::runtime_error on a closed
  /// stream, on a libcurl failure, and when the time-out passes.
  void send(std::string_view message);

  /// One complete data frame's payload, or an empty optional when none is complete yet. Never
  /// waits for data. Control frames are skipped. Throws std::runtime_error on a closed stream and
  /// on a libcurl failure.
  std::optional<std::string> receive();

  /// Sends a close frame without status code and releases the connection. A closed stream stays
  /// closed; calling close again does nothing. Never throws.
  void close() noexcept;

 private:
  friend class IsaacSimClient;
  WebSocketStream(void* handle, std::chrono::milliseconds send_timeout) noexcept;
  void takeOver(WebSocketStream& other) noexcept;

  void* handle_ = nullptr;  // libcurl easy handle; null when closed
  std::string buffer_;      // bytes of the data frame being assembled
  std::chrono::milliseconds sendTimeout_{0};  // bound of one send() while the peer is not reading
};

}  // namespace strandel
