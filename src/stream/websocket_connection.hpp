#pragma once

// One open WebSocket connection to a stream endpoint: the libcurl work behind WebSocketStream.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

namespace strandel::detail {

/// Owns a connect-only easy handle whose upgrade succeeded until close() (or destruction) runs the
/// closing steps and releases it; never throws there. What the peer's close said outlives the
/// handle. Pings are answered and the peer's close recorded inside the
/// receive calls. Used by one thread at a time; separate connections share nothing.
class WebSocketConnection {
 public:
  /// Takes ownership of `handle`, the connection to `url`.
  WebSocketConnection(CURL* handle, std::string url, std::chrono::milliseconds send_timeout,
                      std::size_t max_message_bytes) noexcept;
  WebSocketConnection(const WebSocketConnection&) = delete;
  WebSocketConnection& operator=(const WebSocketConnection&) = delete;
  ~WebSocketConnection();

  /// WebSocketStream::close: a close frame, a bounded wait for the peer's, then the handle is
  /// released. Later calls do nothing.
  void close() noexcept;
  /// Whether close() has not run yet; every call below needs an open connection.
  bool isOpen() const noexcept { return handle_ != nullptr; }

  /// WebSocketStream::send on an open stream.
  void send(std::string_view message);
  /// WebSocketStream::receive() on an open stream: one data frame.
  std::optional<std::string> receiveFrame();
  /// WebSocketStream::receive(wait) on an open stream (`wait` not negative): one whole message.
  std::optional<std::string> receiveMessage(std::chrono::milliseconds wait);

  bool peerClosed() const noexcept { return peerClosed_; }
  const std::optional<int>& closeCode() const noexcept { return closeCode_; }
  const std::string& closeReason() const noexcept { return closeReason_; }

  /// Whether a receive makes progress without anything new on the socket: the last read may have
  /// left whole frames inside libcurl, or the peer has closed.
  bool readyWithoutSocket() const noexcept { return peerClosed_ || mayHoldFrames_; }
  /// The connection's socket; CURL_SOCKET_BAD when libcurl has none.
  curl_socket_t socket() const noexcept;

 private:
  enum class ReadResult { Message, Drained, Budget, PeerClosed };
  enum class Skip { None, Frame, Message };

  ReadResult readFrames(std::optional<std::string>& message, bool whole_messages);
  void onControlFrame(int flags);
  void sendControlFrame(std::string_view payload, unsigned flags) noexcept;
  void awaitPeerClose() noexcept;

  CURL* handle_;                              // owned; null once closed
  std::string url_;                           // where it leads, for errors
  std::string buffer_;                        // bytes of the frame or message being assembled
  std::chrono::milliseconds sendTimeout_{0};  // bound of one send() while the peer is not reading
  std::size_t maxMessageBytes_ = 0;  // largest frame or message a receive keeps; 0: no limit
  Skip skip_ = Skip::None;           // dropping the rest of what exceeded the limit
  std::string control_;              // payload of the control frame being assembled
  bool mayHoldFrames_ = true;        // the last read may have left whole frames inside libcurl
  bool sendUnfinished_ = false;      // a send ended inside its frame: no frame may follow
  bool closeSent_ = false;           // this side's close frame went out
  bool peerClosed_ = false;          // the peer's close frame arrived
  std::optional<int> closeCode_;     // its status code, when it carried one
  std::string closeReason_;          // its reason, when it carried one
};

/// WebSocketStream's waitForAny over the connections of the streams; null and closed connections
/// are skipped. `wait` is not negative.
std::vector<std::size_t> waitForAnyConnection(
    const std::vector<const WebSocketConnection*>& connections, std::chrono::milliseconds wait);

}  // namespace strandel::detail
