#include "websocket_connection.hpp"

#include <strandel/errors.hpp>

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <curl/curl.h>

#include "reconnection.hpp"

namespace strandel::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes asked of curl_ws_recv per read.
constexpr std::size_t kChunkBytes = 4096;
// CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG: frames whose payload receive() drops.
constexpr int kControlFrameFlags = CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG;
// A frame's announced length reserves room up front only up to this many bytes; longer frames
// grow the buffer as their bytes arrive, so a hostile length cannot claim memory by itself.
constexpr curl_off_t kMaxFrameReservation = curl_off_t{16} << 20;
// Bytes of an oversized frame one read drops before it hands control back to its caller.
constexpr std::size_t kMaxSkippedBytesPerRead = std::size_t{4} << 20;
// Control frames one read handles before it hands control back to its caller.
constexpr int kControlFrameBudget = 64;
// The largest control-frame payload the protocol allows; bytes beyond it are not kept.
constexpr std::size_t kMaxControlPayload = 125;
// close() waits at most this long (and never longer than the client's time-out) for the peer's
// close frame: a bridge answers within one round trip, and a stream's owner must not stall.
constexpr std::chrono::milliseconds kCloseHandshakeBound{200};

TransportError curlFailure(const char* prefix, CURLcode code, const std::string& url) {
  return TransportError(std::string(prefix) + curl_easy_strerror(code), code, url, 1);
}

curl_socket_t socketOf(CURL* handle) noexcept {
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK) return CURL_SOCKET_BAD;
  return socket;
}

timespec timespecOf(std::chrono::milliseconds duration) noexcept {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  timespec result{};
  result.tv_sec = static_cast<time_t>(seconds.count());
  result.tv_nsec = static_cast<long>((duration - seconds).count() * 1000000);
  return result;
}

timespec timespecOf(Clock::duration duration) noexcept {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration - seconds);
  timespec result{};
  result.tv_sec = static_cast<time_t>(seconds.count());
  result.tv_nsec = static_cast<long>(nanoseconds.count());
  return result;
}

// Sleeps until the connection's socket reports one of `events` (or an error) or `deadline`
// passes. Without a socket to watch it pauses for at most a millisecond instead. Spurious early
// returns are harmless: callers try their libcurl call again.
void awaitSocket(CURL* handle, short events, Clock::time_point deadline) noexcept {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return;
  const curl_socket_t socket = socketOf(handle);
  if (socket == CURL_SOCKET_BAD) {
    std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(1)));
    return;
  }
  pollfd entry{socket, events, 0};
  const timespec timeout = timespecOf(left);
  ::ppoll(&entry, 1, &timeout, nullptr);
}

// Whether the socket takes bytes right now. Linux reports a TCP socket writable only while a
// good part of its send buffer is free, far more than any control frame needs.
bool writableNow(CURL* handle) noexcept {
  const curl_socket_t socket = socketOf(handle);
  if (socket == CURL_SOCKET_BAD) return false;
  pollfd entry{socket, POLLOUT, 0};
  return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLOUT) != 0;
}

// now + wait, saturated: a wait too long for the clock (milliseconds::max(), "forever") waits until
// the clock's end instead of overflowing into the past.
Clock::time_point deadlineAfter(std::chrono::milliseconds wait) noexcept {
  const auto now = Clock::now();
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (wait >= room) return Clock::time_point::max();
  return now + wait;
}

}  // namespace

WebSocketConnection::WebSocketConnection(CURL* handle, std::string url,
                                         std::chrono::milliseconds send_timeout,
                                         std::size_t max_message_bytes) noexcept
    : handle_(handle),
      url_(std::move(url)),
      sendTimeout_(send_timeout),
      maxMessageBytes_(max_message_bytes) {}

void WebSocketConnection::reconnectWith(std::unique_ptr<Reconnection> reconnection) noexcept {
  reconnection_ = std::move(reconnection);
  lastData_ = Clock::now();
}

std::size_t WebSocketConnection::reconnects() const noexcept {
  return reconnection_ ? reconnection_->reconnects() : 0;
}

WebSocketConnection::Clock::time_point WebSocketConnection::reopenDue() const noexcept {
  if (reconnection_ == nullptr || reconnection_->endedBy()) return Clock::time_point::min();
  return reconnection_->nextAttempt();
}

curl_socket_t WebSocketConnection::socket() const noexcept {
  return handle_ != nullptr ? socketOf(handle_) : CURL_SOCKET_BAD;
}

void WebSocketConnection::send(std::string_view message) {
  if (handle_ == nullptr) {
    throwIfEnded();
    throw StreamClosedError("send() called while the WebSocketStream is reconnecting");
  }
  if (peerClosed_) throw PeerClosedError(closeCode_, closeReason_);
  if (sendUnfinished_) {
    throw StreamClosedError(
        "WebSocket stream can no longer send: an earlier send() ended inside its frame");
  }
  CURL* const handle = handle_;
  const auto deadline = deadlineAfter(sendTimeout_);
  const char* const data = message.empty() ? "" : message.data();
  std::size_t count = 0;
  sendUnfinished_ = true;
  for (;;) {
    std::size_t sent = 0;
    const CURLcode code =
        curl_ws_send(handle, data + count, message.size() - count, &sent, 0, CURLWS_TEXT);
    count += sent;
    if (code == CURLE_OK && count == message.size()) {
      sendUnfinished_ = false;
      return;
    }
    if (code != CURLE_OK && code != CURLE_AGAIN)
      throw curlFailure("WebSocket send failed: ", code, url_);
    if (code == CURLE_OK && sent > 0) continue;
    // Nothing was taken: the peer is not reading fast enough. Wait for room, within the bound.
    if (Clock::now() >= deadline) {
      throw TimeoutError(
          "WebSocket send timed out after " + std::to_string(sendTimeout_.count()) + " ms",
          CURLE_OPERATION_TIMEDOUT, url_, 1);
    }
    awaitSocket(handle, POLLOUT, deadline);
  }
}

std::optional<std::string> WebSocketConnection::receiveFrame() {
  if (reconnection_) return receiveFrameReconnecting();
  std::optional<std::string> message;
  readFrames(message, false);
  return message;
}

std::optional<std::string> WebSocketConnection::receiveMessage(std::chrono::milliseconds wait) {
  if (reconnection_) return receiveMessageReconnecting(wait);
  const auto deadline = deadlineAfter(wait);
  for (;;) {
    if (peerClosed_) return std::nullopt;  // nothing follows a close frame
    std::optional<std::string> message;
    const ReadResult result = readFrames(message, true);
    if (result == ReadResult::Message) return message;
    if (result == ReadResult::PeerClosed || Clock::now() >= deadline) return std::nullopt;
    // After a spent budget more frames may wait inside libcurl, where poll() cannot see them.
    if (result == ReadResult::Drained) awaitSocket(handle_, POLLIN, deadline);
  }
}

WebSocketConnection::ReadResult WebSocketConnection::readFrames(std::optional<std::string>& message,
                                                                bool whole_messages) {
  CURL* const handle = handle_;
  char chunk[kChunkBytes];
  mayHoldFrames_ = true;  // until libcurl reports that nothing is pending
  std::size_t skipped = 0;
  for (int control_frames = 0; control_frames < kControlFrameBudget;) {
    std::size_t received = 0;
    const curl_ws_frame* meta = nullptr;
    const CURLcode code = curl_ws_recv(handle, chunk, sizeof chunk, &received, &meta);
    if (code == CURLE_AGAIN) {
      mayHoldFrames_ = false;
      return ReadResult::Drained;
    }
    if (code != CURLE_OK) throw curlFailure("WebSocket receive failed: ", code, url_);

    if (meta != nullptr && (meta->flags & kControlFrameFlags) != 0) {
      control_.append(chunk, std::min(received, kMaxControlPayload -
                                                    std::min(control_.size(), kMaxControlPayload)));
      if (meta->bytesleft > 0) continue;
      ++control_frames;
      const int flags = meta->flags;
      onControlFrame(flags);
      if (whole_messages && (flags & CURLWS_CLOSE) != 0) return ReadResult::PeerClosed;
      continue;
    }

    if (reconnection_) {
      lastData_ = Clock::now();
      reconnection_->dataArrived();
    }
    // A message ends with the last byte of a frame that is not flagged as continued.
    const bool frame_ends = meta == nullptr || meta->bytesleft == 0;
    const bool message_ends = frame_ends && (meta == nullptr || (meta->flags & CURLWS_CONT) == 0);
    const bool unit_ends = whole_messages ? message_ends : frame_ends;
    if (skip_ != Skip::None) {
      // The rest of a frame or message that exceeded the limit: dropped, a bounded amount per call.
      if (skip_ == Skip::Message ? message_ends : frame_ends) skip_ = Skip::None;
      skipped += received;
      if (skip_ != Skip::None && skipped >= kMaxSkippedBytesPerRead) return ReadResult::Budget;
      continue;
    }
    if (maxMessageBytes_ != 0) {
      const std::uint64_t announced = buffer_.size() + static_cast<std::uint64_t>(received) +
                                      static_cast<std::uint64_t>(frame_ends ? 0 : meta->bytesleft);
      if (announced > maxMessageBytes_) {
        buffer_.clear();
        skip_ = unit_ends ? Skip::None : (whole_messages ? Skip::Message : Skip::Frame);
        throw MessageTooLargeError(maxMessageBytes_);
      }
    }
    if (meta != nullptr && meta->offset == 0 && meta->bytesleft > 0) {
      // The first chunk of a longer frame: make room for the whole frame at once.
      const curl_off_t announced = static_cast<curl_off_t>(received) + meta->bytesleft;
      buffer_.reserve(buffer_.size() +
                      static_cast<std::size_t>(std::min(announced, kMaxFrameReservation)));
    }
    buffer_.append(chunk, received);
    if (unit_ends) {
      message.emplace(std::move(buffer_));
      buffer_.clear();
      return ReadResult::Message;
    }
  }
  return ReadResult::Budget;
}

void WebSocketConnection::onControlFrame(int flags) {
  if ((flags & CURLWS_PING) != 0) {
    sendControlFrame(control_, CURLWS_PONG);
  } else if ((flags & CURLWS_CLOSE) != 0 && !peerClosed_) {
    peerClosed_ = true;
    if (control_.size() >= 2) {
      closeCode_ =
          (static_cast<unsigned char>(control_[0]) << 8) | static_cast<unsigned char>(control_[1]);
      closeReason_.assign(control_, 2);
    }
    // The closing handshake: answer at once, echoing the status code.
    sendControlFrame(std::string_view(control_).substr(0, closeCode_ ? 2 : 0), CURLWS_CLOSE);
  }
  control_.clear();
}

void WebSocketConnection::sendControlFrame(std::string_view payload, unsigned flags) noexcept {
  // Never after this side's close frame, never inside an unfinished data frame, never blocking.
  CURL* const handle = handle_;
  if (closeSent_ || sendUnfinished_ || !writableNow(handle)) return;
  std::size_t sent = 0;
  const CURLcode code =
      curl_ws_send(handle, payload.empty() ? "" : payload.data(), payload.size(), &sent, 0, flags);
  if (code != CURLE_OK || sent != payload.size()) {
    sendUnfinished_ = true;  // libcurl may hold part of the frame
  } else if ((flags & CURLWS_CLOSE) != 0) {
    closeSent_ = true;
  }
}

void WebSocketConnection::awaitPeerClose() noexcept {
  const auto deadline = Clock::now() + std::min(kCloseHandshakeBound, sendTimeout_);
  try {
    for (;;) {
      std::optional<std::string> dropped;
      const ReadResult result = readFrames(dropped, true);
      if (result == ReadResult::PeerClosed || Clock::now() >= deadline) return;
      if (result == ReadResult::Drained) awaitSocket(handle_, POLLIN, deadline);
    }
  } catch (...) {
    // The connection failed or ended: there is nothing left to wait for.
  }
}

// ---------------------------------------------------------------------------------------------
// Reconnecting. A receive call notices the end of the connection (a TransportError of its read,
// the idle time-out after a read found nothing pending, or, with reconnect_after_close, the
// bridge's close frame), releases it and reopens it within its own bound; what it could not do in
// time is left to the next call. Nothing else reopens: send() on a down connection throws.

bool WebSocketConnection::reopensAfterClose() const noexcept {
  return reconnection_->options().reconnect_after_close;
}

WebSocketConnection::Clock::time_point WebSocketConnection::idleDeadline() const noexcept {
  const auto idle = reconnection_->options().idle_timeout;
  if (idle.count() <= 0) return Clock::time_point::max();
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - lastData_);
  return idle >= room ? Clock::time_point::max() : lastData_ + idle;
}

void WebSocketConnection::throwIfEnded() const {
  if (reconnection_ && reconnection_->endedBy()) std::rethrow_exception(reconnection_->endedBy());
}

void WebSocketConnection::endConnection(std::string reason, bool farewell) {
  if (farewell) sendControlFrame({}, CURLWS_CLOSE);
  curl_easy_cleanup(handle_);
  handle_ = nullptr;
  buffer_.clear();
  skip_ = Skip::None;
  control_.clear();
  reconnection_->connectionEnded(std::move(reason), Clock::now());
}

void WebSocketConnection::endIdleConnection() {
  endConnection("idle for " + std::to_string(reconnection_->options().idle_timeout.count()) + " ms",
                true);
}

void WebSocketConnection::endAfter(const TransportError& failure) {
  if (!peerClosed_) {
    endConnection(failure.what(), false);
  } else if (reopensAfterClose()) {
    endConnection(closedByTheBridge(closeCode_, closeReason_), false);
  } else {
    throw;  // the failure being handled: a closed stream fails as one without the option does
  }
}

void WebSocketConnection::adopt(CURL* handle) noexcept {
  handle_ = handle;
  buffer_.clear();
  skip_ = Skip::None;
  control_.clear();
  mayHoldFrames_ = true;
  sendUnfinished_ = false;
  closeSent_ = false;
  peerClosed_ = false;
  closeCode_.reset();
  closeReason_.clear();
  lastData_ = Clock::now();
}

bool WebSocketConnection::reopen(Clock::time_point deadline, bool may_sleep) {
  Reconnection& reconnection = *reconnection_;
  for (;;) {
    throwIfEnded();
    auto now = Clock::now();
    if (reconnection.nextAttempt() > now) {
      if (!may_sleep) return false;
      std::this_thread::sleep_until(std::min(reconnection.nextAttempt(), deadline));
      if (reconnection.nextAttempt() >= deadline) return false;
      now = Clock::now();
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (left.count() <= 0) {
      // Less than a millisecond is too short for a handshake: the call ends at its deadline.
      if (may_sleep) std::this_thread::sleep_until(deadline);
      return false;
    }
    CURL* handle = nullptr;
    try {
      handle = reconnection.open(std::min(sendTimeout_, left));
    } catch (const HandshakeError& refusal) {
      if (refusalIsFinal(refusal.statusCode())) {
        reconnection.end(std::current_exception());
        throw;
      }
      reconnection.attemptFailed(Clock::now());
      continue;
    }
    adopt(handle);
    const ReconnectReport report = reconnection.reopened(Clock::now());
    if (reconnection.options().on_reconnect) reconnection.options().on_reconnect(report);
    return true;
  }
}

std::optional<std::string> WebSocketConnection::receiveFrameReconnecting() {
  if (peerClosed_ && handle_ != nullptr) {
    // Without reconnect_after_close a closed stream reads on as one without the option does.
    if (!reopensAfterClose()) {
      std::optional<std::string> message;
      readFrames(message, false);
      return message;
    }
    endConnection(closedByTheBridge(closeCode_, closeReason_), false);
  }
  if (handle_ == nullptr && !reopen(deadlineAfter(sendTimeout_), false)) return std::nullopt;
  std::optional<std::string> message;
  ReadResult result = ReadResult::Budget;
  try {
    result = readFrames(message, false);
  } catch (const TransportError& failure) {
    endAfter(failure);
    return std::nullopt;
  }
  if (result == ReadResult::Drained && !message && Clock::now() >= idleDeadline()) {
    endIdleConnection();
  }
  return message;
}

std::optional<std::string> WebSocketConnection::receiveMessageReconnecting(
    std::chrono::milliseconds wait) {
  const auto deadline = deadlineAfter(wait);
  for (;;) {
    if (peerClosed_ && handle_ != nullptr) {
      if (!reopensAfterClose()) return std::nullopt;  // nothing follows a close frame
      endConnection(closedByTheBridge(closeCode_, closeReason_), false);
    }
    if (handle_ == nullptr && !reopen(deadline, true)) return std::nullopt;
    std::optional<std::string> message;
    ReadResult result = ReadResult::Budget;
    try {
      result = readFrames(message, true);
    } catch (const TransportError& failure) {
      endAfter(failure);
      continue;
    }
    if (result == ReadResult::Message) return message;
    if (result == ReadResult::PeerClosed) continue;
    const auto now = Clock::now();
    const auto idle_deadline = idleDeadline();
    if (result == ReadResult::Drained && now >= idle_deadline) {
      endIdleConnection();
      continue;
    }
    if (now >= deadline) return std::nullopt;
    if (result == ReadResult::Drained)
      awaitSocket(handle_, POLLIN, std::min(deadline, idle_deadline));
  }
}

WebSocketConnection::~WebSocketConnection() { close(); }

void WebSocketConnection::close() noexcept {
  if (closed_) return;
  closed_ = true;
  if (handle_ == nullptr) return;  // a reconnecting stream whose connection is down
  CURL* const handle = handle_;
  if (!closeSent_ && !sendUnfinished_) {
    std::size_t sent = 0;
    // A close frame without status code; the connection is released whatever libcurl answers.
    closeSent_ = curl_ws_send(handle, "", 0, &sent, 0, CURLWS_CLOSE) == CURLE_OK;
    if (closeSent_ && !peerClosed_) awaitPeerClose();
  }
  curl_easy_cleanup(handle);
  handle_ = nullptr;
}

std::vector<std::size_t> waitForAnyConnection(
    const std::vector<const WebSocketConnection*>& connections, std::chrono::milliseconds wait) {
  std::vector<pollfd> entries;
  std::vector<std::size_t> positions;  // of each entry's connection
  std::vector<std::size_t> ready;
  entries.reserve(connections.size());
  positions.reserve(connections.size());
  // The earliest moment a down connection's next reopen attempt is due, when one is later.
  std::optional<Clock::time_point> earliest_due;
  const auto now = Clock::now();
  for (std::size_t i = 0; i < connections.size(); ++i) {
    const WebSocketConnection* const connection = connections[i];
    if (connection == nullptr || !connection->isOpen()) continue;
    if (connection->down()) {
      const auto due = connection->reopenDue();
      if (due <= now) {
        ready.push_back(i);
      } else if (!earliest_due || due < *earliest_due) {
        earliest_due = due;
      }
      continue;
    }
    if (connection->readyWithoutSocket()) {
      ready.push_back(i);
      continue;
    }
    const curl_socket_t socket = connection->socket();
    if (socket == CURL_SOCKET_BAD) {
      ready.push_back(i);  // its next receive reports what happened to the connection
      continue;
    }
    entries.push_back(pollfd{socket, POLLIN, 0});
    positions.push_back(i);
  }
  if (entries.empty() && ready.empty() && !earliest_due) {
    std::this_thread::sleep_for(wait);
    return ready;
  }
  // Connections already known to be ready turn the poll into a look at the others; a down
  // connection's next attempt shortens it.
  std::chrono::milliseconds sleep = wait;
  if (!ready.empty()) {
    sleep = std::chrono::milliseconds::zero();
  } else if (earliest_due) {
    sleep = std::min(sleep, std::chrono::ceil<std::chrono::milliseconds>(*earliest_due - now));
  }
  const timespec timeout = timespecOf(sleep);
  if (::ppoll(entries.data(), entries.size(), &timeout, nullptr) > 0) {
    for (std::size_t j = 0; j < entries.size(); ++j) {
      if (entries[j].revents != 0) ready.push_back(positions[j]);
    }
  }
  if (earliest_due && Clock::now() >= *earliest_due) {
    for (std::size_t i = 0; i < connections.size(); ++i) {
      const WebSocketConnection* const connection = connections[i];
      if (connection != nullptr && connection->isOpen() && connection->down() &&
          connection->reopenDue() > now && connection->reopenDue() <= Clock::now())
        ready.push_back(i);
    }
  }
  std::sort(ready.begin(), ready.end());
  return ready;
}

}  // namespace strandel::detail
