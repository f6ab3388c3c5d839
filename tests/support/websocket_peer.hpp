#pragma once

// A WebSocket server for tests, built on the scripted peer. For every connection it performs a real
// upgrade handshake (Sec-WebSocket-Accept from SHA-1 and base64), then runs the test's session
// script on the connection's own thread. The script writes server frames byte for byte (split
// across writes and with pauses where it likes) and records every client frame: opcode, FIN bit,
// mask bit and unmasked payload. Thread-safe: tests inspect the peer while scripts run.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/scripted_peer.hpp"

namespace strandel::testing_util {

/// WebSocket frame opcodes.
enum class Opcode : std::uint8_t {
  Continuation = 0x0,
  Text = 0x1,
  Binary = 0x2,
  Close = 0x8,
  Ping = 0x9,
  Pong = 0xA,
};

/// One frame sent by the client, as the peer read it.
struct ClientFrame {
  Opcode opcode = Opcode::Continuation;
  bool fin = false;
  bool masked = false;
  /// Payload after unmasking.
  std::string payload;
};

/// The bytes of one server frame: FIN bit and opcode, the shortest length form, no mask, payload.
std::string serverFrame(Opcode opcode, std::string_view payload, bool fin = true);

/// Sec-WebSocket-Accept for a Sec-WebSocket-Key: base64 of the SHA-1 of key + the protocol GUID.
std::string websocketAccept(std::string_view key);

/// The 101 answer that accepts an upgrade request carrying `key` as its Sec-WebSocket-Key.
std::string upgradeAnswer(std::string_view key);

class WebSocketPeer;

/// One upgraded connection, as its session script sees it. Used only on the script's thread.
class WebSocketSession {
 public:
  /// The upgrade request as the peer read it.
  const RecordedRequest& request() const { return request_; }
  /// The connection's socket, for socket options; the peer owns and closes it.
  int fd() const { return fd_; }

  /// Writes the bytes in full (the kernel may still cut them into several segments); false when
  /// the client went away or the peer is stopping. Counts the bytes for
  /// WebSocketPeer::bytesWritten.
  bool write(std::string_view bytes);
  /// Writes the first `split` bytes, pauses, then writes the rest: two separate writes.
  bool writeSplit(std::string_view bytes, std::size_t split, std::chrono::milliseconds pause);
  /// Sleeps, waking early when the peer stops.
  void pause(std::chrono::milliseconds duration);
  /// Waits for one WebSocketPeer::release() not yet consumed; false when the peer stops first.
  bool awaitRelease();

  /// Reads and records client frames until the client disconnects or the peer stops. A client
  /// close frame is answered with a close frame echoing its payload when `answer_close` holds, as
  /// a server completes the closing handshake; reading goes on until the client disconnects.
  void recordUntilClosed(bool answer_close = true);
  /// Reads and records the client frames already pending, without waiting; false once the client
  /// has disconnected.
  bool recordPending();
  /// Reads nothing, so the client's sends back up; returns when the client disconnects or the
  /// peer stops.
  void holdWithoutReading();

 private:
  friend class WebSocketPeer;
  struct State;
  WebSocketSession(int fd, RecordedRequest request, WebSocketPeer& peer,
                   std::shared_ptr<State> state);
  // Reads once and records the whole frames read so far; false when the client went away.
  bool readAndRecord(bool answer_close, int flags);

  int fd_;
  RecordedRequest request_;
  WebSocketPeer& peer_;
  std::shared_ptr<State> state_;
};

class WebSocketPeer {
 public:
  using Script = std::function<void(WebSocketSession&)>;

  /// Every connection runs `script` after the upgrade; the default records client frames until
  /// the client disconnects.
  explicit WebSocketPeer(Script script = {});
  ~WebSocketPeer();
  WebSocketPeer(const WebSocketPeer&) = delete;
  WebSocketPeer& operator=(const WebSocketPeer&) = delete;

  /// "ws://127.0.0.1:PORT/".
  std::string wsBaseUrl() const { return http_.wsBaseUrl(); }
  std::uint16_t port() const { return http_.port(); }

  /// Bytes written in the same write as the 101 answer of every following upgrade, so that they
  /// are already pending when the client's handshake completes.
  void sendWithUpgrade(std::string bytes);

  /// Upgrade requests (and refused requests) in order of arrival.
  std::vector<RecordedRequest> requests() const { return http_.requests(); }

  /// Connections upgraded so far; they are numbered from 0 in that order.
  std::size_t connectionCount() const;
  bool waitForConnections(std::size_t n, std::chrono::milliseconds timeout) const;

  /// Client frames recorded on connection `index` so far.
  std::vector<ClientFrame> frames(std::size_t index) const;
  /// Waits until connection `index` recorded at least `n` frames; returns whether it did.
  bool waitForFrames(std::size_t index, std::size_t n, std::chrono::milliseconds timeout) const;
  /// Waits until connection `index` ended (its script returned, which the default script does
  /// when the client disconnects); returns whether it did.
  bool waitForDisconnect(std::size_t index, std::chrono::milliseconds timeout) const;
  /// Whether connection `index` ended with a reset from the client rather than an orderly close.
  bool endedByReset(std::size_t index) const;
  /// Bytes that the script of connection `index` has handed to the kernel so far (the 101 answer
  /// and the bytes sent with it not counted).
  std::uint64_t bytesWritten(std::size_t index) const;

  /// Lets one WebSocketSession::awaitRelease return.
  void release();

  bool stopping() const { return http_.stopping(); }

 private:
  friend class WebSocketSession;
  void serve(int fd, const RecordedRequest& request);
  std::shared_ptr<WebSocketSession::State> stateOf(std::size_t index) const;

  Script script_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string upgradeTail_;
  std::vector<std::shared_ptr<WebSocketSession::State>> sessions_;
  std::size_t releases_ = 0;
  // Last member: its destructor stops and joins the connection threads, which use the members
  // above.
  ScriptedPeer http_;
};

}  // namespace strandel::testing_util
