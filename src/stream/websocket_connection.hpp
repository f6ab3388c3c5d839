#pragma once

// One WebSocket connection to a stream endpoint: the libcurl work behind WebSocketStream, and,
// for a stream opened with StreamOptions::reconnect, the reopening of that connection.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include <strandel/errors.hpp>

namespace strandel::detail {

class Reconnection;

/// Owns a connect-only easy handle whose upgrade succeeded until close() (or destruction) runs the
/// closing steps and releases it; never throws there. What the peer's close said outlives the
/// handle. Pings are answered and the peer's close recorded inside the
/// receive calls. Used by one thread at a time; separate connections share nothing.
///
/// With a Reconnection (reconnectWith), the handle is null while the connection is down: between
/// the receive call that noticed its end and the one that reopened it (or for good, once a refusal
/// ended reconnecting). Without one, the handle is null only once closed.
class WebSocketConnection {
 public:
  using Clock = std::chrono::steady_clock;

  /// Takes ownership of `handle`, the connection to `url`.
  WebSocketConnection(CURL* handle, std::string url, std::chrono::milliseconds send_timeout,
                      std::size_t max_message_bytes) noexcept;
  WebSocketConnection(const WebSocketConnection&) = delete;
  WebSocketConnection& operator=(const WebSocketConnection&) = delete;
  ~WebSocketConnection();

  /// Makes the stream reopen its connection as `reconnection` says (StreamOptions); the idle
  /// time-out counts from here.
  void reconnectWith(std::unique_ptr<Reconnection> reconnection) noexcept;

  /// WebSocketStream::close: a close frame, a bounded wait for the peer's, then the handle is
  /// released. Later calls do nothing.
  void close() noexcept;
  /// Whether close() has not run yet; every call below needs an open connection.
  bool isOpen() const noexcept { return !closed_; }

  /// WebSocketStream::send on an open stream.
  void send(std::string_view message);
  /// WebSocketStream::receive() on an open stream: one data frame.
  std::optional<std::string> receiveFrame();
  /// WebSocketStream::receive(wait) on an open stream (`wait` not negative): one whole message.
  std::optional<std::string> receiveMessage(std::chrono::milliseconds wait);

  /// WebSocketStream::reconnects.
  std::size_t reconnects() const noexcept;
  /// Whether the stream reconnects and its connection is down.
  bool down() const noexcept { return reconnection_ != nullptr && handle_ == nullptr && !closed_; }
  /// For a down connection: when a receive call makes progress (its next reopen attempt is due, or
  /// reconnecting has ended and the call throws); Clock::time_point::min() for at once.
  Clock::time_point reopenDue() const noexcept;

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
  // receiveFrame and receiveMessage of a stream that reconnects.
  std::optional<std::string> receiveFrameReconnecting();
  std::optional<std::string> receiveMessageReconnecting(std::chrono::milliseconds wait);
  // Whether the bridge's close frame ends this connection only, to be reopened.
  bool reopensAfterClose() const noexcept;
  // When the connection counts as idle; Clock::time_point::max() without an idle time-out.
  Clock::time_point idleDeadline() const noexcept;
  // Releases the connection (after a close frame when `farewell` and the socket takes one at
  // once), drops what was half received, and starts the down period with `reason`.
  void endConnection(std::string reason, bool farewell);
  // endConnection of a connection that passed its idle time-out, with a close frame.
  void endIdleConnection();
  // Reopens a down connection: attempts when due, each bounded by the time left before
  // `deadline` and the send time-out, sleeping through back-offs only when `may_sleep`. True with
  // a fresh connection; false when the deadline (or, without `may_sleep`, a back-off) came first.
  // Throws the refusal that ends reconnecting (again on later calls), what the opener throws
  // beyond a HandshakeError, and what on_reconnect throws.
  bool reopen(Clock::time_point deadline, bool may_sleep);
  // endConnection after `failure` of a read: its reason is the failure's text, or the bridge's
  // close when its close frame came first. Rethrows `failure` when that close ends the stream.
  void endAfter(const TransportError& failure);
  // Takes `handle` as the connection, with the state of a connection just opened.
  void adopt(CURL* handle) noexcept;
  // Rethrows the refusal that ended reconnecting, if one did.
  void throwIfEnded() const;
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
  bool closed_ = false;              // close() has run
  Clock::time_point lastData_{};     // when data bytes last arrived (or the connection opened)
  std::unique_ptr<Reconnection> reconnection_;  // null: the stream ends with its connection
};

/// WebSocketStream's waitForAny over the connections of the streams; null and closed connections
/// are skipped. `wait` is not negative.
std::vector<std::size_t> waitForAnyConnection(
    const std::vector<const WebSocketConnection*>& connections, std::chrono::milliseconds wait);

}  // namespace strandel::detail
