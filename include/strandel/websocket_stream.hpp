#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <strandel/export.hpp>

namespace strandel {

class IsaacSimClient;
class WebSocketStream;

namespace detail {
class WebSocketConnection;
struct StreamFactory;
}  // namespace detail

/// Sleeps in one poll() over the sockets of `streams` until at least one of them has something
/// for its next receive call, or `wait` passes. Returns the positions in `streams` of every stream
/// that is ready, in ascending order; empty when `wait` passed first. Never reads: a ready stream
/// is one whose socket has bytes or an error pending, one whose last receive may have left
/// complete frames inside the connection (a newly opened stream, or one whose last receive
/// returned a message), or one whose peer has closed it. Ready means a receive call makes progress
/// at once, not that a whole message is there: a message whose rest is still on its way gives an
/// empty optional from receive(wait). A reconnecting stream whose connection is down (see
/// WebSocketStream) is ready once its next reopen attempt is due (at once when reconnecting has
/// ended, as its receive then throws), and shortens the sleep to that moment. Null pointers and
/// closed streams are skipped. Costs one poll() system call. Throws std::invalid_argument when
/// `wait` is negative. The streams must not be used by another thread during the call.
STRANDEL_API std::vector<std::size_t> waitForAny(const std::vector<WebSocketStream*>& streams,
                                                 std::chrono::milliseconds wait);
/// waitForAny over every stream of `streams`.
STRANDEL_API std::vector<std::size_t> waitForAny(std::vector<WebSocketStream>& streams,
                                                 std::chrono::milliseconds wait);

/// A move-only owner of one WebSocket connection to a stream endpoint of the bridge. It owns its
/// connection outright and stays usable after the client that opened it is destroyed.
///
/// Thread-safety: a WebSocketStream is used by one thread at a time; calls on one stream must not
/// overlap. Separate streams share nothing and may live on separate threads.
///
/// Pings from the bridge are answered only inside receive calls: a stream that is not read for
/// longer than the bridge's ping time-out (often 20 s) is dropped by the bridge. Each answer is a
/// single attempt that never blocks; when the socket cannot take it at once it is skipped, and the
/// next ping gets its own answer. Opening a stream follows no HTTP redirect: a bridge that answers
/// the upgrade with a redirect fails the handshake.
///
/// Reconnecting streams. A stream opened with StreamOptions::reconnect reopens its connection
/// inside its receive calls (StreamOptions says when and how patiently); a call on a stream
/// without it behaves as documented below, unchanged. On a reconnecting stream:
/// - receive(wait) never throws the TransportError of a failed read: the connection is released
///   and reopened within the call's `wait`. Each handshake attempt is bounded by the time left (and
///   the client's time-out), no back-off sleeps past the deadline, and what is left to do carries
///   over to the next call; a wait of zero makes no attempt. It throws the HandshakeError of a
///   refusal with a 4xx status other than 408 and 429, and every later receive or send throws that
///   same error again (the stream's resource is gone: close the stream).
/// - receive() reopens too, but never sleeps through a back-off: while one runs it returns an
///   empty optional at once; when an attempt is due it makes it, within the client's time-out. A
///   failed read gives an empty optional, and the next call reopens.
/// - send() never reopens: on a down connection it throws StreamClosedError
///   "send() called while the WebSocketStream is reconnecting" (a receive call reopens it);
///   messages are not queued for the next connection.
/// - The bridge's close frame ends the stream as without the option (peerClosed(), then an empty
///   optional from receive(wait), failures of receive() after it thrown), unless
///   StreamOptions::reconnect_after_close.
/// - A reopen resets what peerClosed(), closeCode() and closeReason() report; a message half
///   received is dropped. close() on a down connection sends nothing.
class STRANDEL_API WebSocketStream {
 public:
  /// Takes over the other stream's connection; the other stream is left closed. Sends nothing.
  WebSocketStream(WebSocketStream&& other) noexcept;
  /// Closes this stream's own connection first (as close() does), then takes over the other's.
  /// Self-assignment does nothing.
  WebSocketStream& operator=(WebSocketStream&& other) noexcept;
  WebSocketStream(const WebSocketStream&) = delete;
  WebSocketStream& operator=(const WebSocketStream&) = delete;
  /// Closes the connection as close() does. Never throws.
  ~WebSocketStream();

  /// Sends `message` as one text frame, unchanged. Waits for the socket while the peer is not
  /// reading, for at most the client's time-out in all. Throws std::runtime_error on a closed
  /// stream, after the peer closed the stream ("WebSocket peer closed the stream", followed by
  /// ": " and the peer's close code and reason when it sent them), on a libcurl failure, and when
  /// the time-out passes. A send that threw may have left its frame cut off inside; every later
  /// send then throws std::runtime_error
  /// "WebSocket stream can no longer send: an earlier send() ended inside its frame" (receiving
  /// goes on; open a new stream to send again).
  void send(std::string_view message);

  /// One complete data frame's payload, or an empty optional when none is complete yet. Never
  /// waits for data. A message the peer sent in fragments comes back one fragment per call (the
  /// continuation flag is not consulted); receive(wait) joins them. Control frames are skipped
  /// (pings answered, a close from the peer recorded and answered); after a bounded number of them
  /// the call returns an empty optional even when more are pending, so a flood of control frames
  /// cannot hold it. Throws std::runtime_error on a closed stream and on a libcurl failure.
  ///
  /// On a stream opened by a client with ClientOptions::max_message_bytes N (not 0), a data frame
  /// whose payload exceeds N bytes makes the call throw std::runtime_error
  /// "WebSocket message exceeds N bytes" as soon as its length is known (from the frame's header,
  /// or when its bytes pass N), holding at most N bytes plus one 4096-byte read chunk of it. The
  /// stream stays open: later calls read and drop the rest of that frame (a bounded amount per
  /// call, returning an empty optional while it lasts) and go on with the frames after it.
  std::optional<std::string> receive();

  /// The next whole message as soon as its last byte has arrived, or an empty optional when `wait`
  /// passes first or the peer has closed the stream (then peerClosed() is true; a close is never
  /// an error here). The fragments of a fragmented message are joined, across calls if need be;
  /// control frames between them are handled as receive() does. Sleeps in poll() on the stream's
  /// socket while nothing is pending and returns at the deadline even while a message is half
  /// received (its bytes are kept for a later call). A `wait` of zero reads what is pending
  /// without sleeping; a wait too long for the clock (milliseconds::max()) waits without end.
  /// With ClientOptions::max_message_bytes N, the cap covers the whole message: a longer one
  /// throws as receive() does and its remaining fragments are dropped. Throws
  /// std::invalid_argument when `wait` is negative, and std::runtime_error as receive() does.
  std::optional<std::string> receive(std::chrono::milliseconds wait);

  /// Whether the peer's close frame has arrived (read by a receive call) on the current connection.
  /// Stays so after close(); false on a moved-from stream.
  bool peerClosed() const noexcept;
  /// The status code of the peer's close frame; empty when none arrived or it carried no code.
  std::optional<int> closeCode() const noexcept;
  /// The reason text of the peer's close frame; empty when none arrived or it carried none.
  const std::string& closeReason() const noexcept;

  /// How often the stream has reopened its connection (StreamOptions::reconnect); 0 for a stream
  /// opened without reconnecting and for a moved-from stream.
  std::size_t reconnects() const noexcept;

  /// Sends a close frame without status code (unless the stream already answered the peer's
  /// close), then reads and drops what arrives until the peer's close frame comes back, for at
  /// most 200 ms or the client's time-out, whichever is shorter, and releases the connection. A
  /// closed stream stays closed; calling close again does nothing. Never throws.
  void close() noexcept;

 private:
  friend struct detail::StreamFactory;
  friend std::vector<std::size_t> waitForAny(const std::vector<WebSocketStream*>& streams,
                                             std::chrono::milliseconds wait);

  /// Takes ownership of a connect-only easy handle whose upgrade succeeded (released even when
  /// this throws std::bad_alloc).
  WebSocketStream(void* handle, std::string url, std::chrono::milliseconds send_timeout,
                  std::size_t max_message_bytes);
  bool isOpen() const noexcept;

  std::unique_ptr<detail::WebSocketConnection> connection_;  // null once moved from
};

}  // namespace strandel
