#pragma once

// The reconnect policy of one stream and where it stands between two connections: when the next
// reopen attempt is due, the doubling back-off, the count of reopens, what ended the last
// connection, and the refusal that ended reconnecting for good. It makes no I/O and reads no clock:
// WebSocketConnection does the reading, the handshakes and the waits, and passes the time in.

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include <curl/curl.h>

#include <strandel/stream_options.hpp>

namespace strandel::detail {

/// Opens a fresh connection to a stream's URL within `timeout` (positive) and returns its
/// connect-only easy handle, owned by the caller; throws what openWebSocket throws (HandshakeError,
/// set-up errors, what the opening client's interrupt check throws).
using StreamOpener = std::function<CURL*(std::chrono::milliseconds timeout)>;

/// Whether a refused upgrade's HTTP status says the stream's resource is gone, so reopening is
/// pointless: 4xx other than 408 (time-out) and 429 (too many requests).
bool refusalIsFinal(long status) noexcept;

/// The reason of a connection that the bridge ended with a close frame:
/// "closed by the bridge", then ": CODE" when the frame carried a code and " REASON" when it
/// carried a reason.
std::string closedByTheBridge(const std::optional<int>& code, const std::string& reason);

/// What a reconnecting stream keeps beside its connection. Used by one thread at a time.
class Reconnection {
 public:
  using Clock = std::chrono::steady_clock;

  /// `options` (reconnect set, durations not negative) and the opener of the stream's URL.
  Reconnection(StreamOptions options, StreamOpener open);

  const StreamOptions& options() const noexcept { return options_; }
  /// Opens a fresh connection within `timeout`; throws what the opener throws.
  CURL* open(std::chrono::milliseconds timeout) const { return open_(timeout); }

  /// The connection ended for `reason`, noticed at `now`. The first attempt is due at once when
  /// the connection had delivered data since it opened (the one the stream opened with counts as
  /// having done so), otherwise after the back-off.
  void connectionEnded(std::string reason, Clock::time_point now);
  /// An attempt failed at `now` without ending reconnecting: the next one waits the back-off.
  void attemptFailed(Clock::time_point now) noexcept;
  /// An attempt succeeded at `now`: counts the reopen and returns its report.
  ReconnectReport reopened(Clock::time_point now);
  /// The current connection delivered data: the back-off starts over from its initial value.
  void dataArrived() noexcept;
  /// Reconnecting ends for good with `refusal`, which every later call on the stream rethrows.
  void end(std::exception_ptr refusal) noexcept { endedBy_ = std::move(refusal); }

  /// When the next reopen attempt may start.
  Clock::time_point nextAttempt() const noexcept { return nextAttempt_; }
  /// The refusal that ended reconnecting; null while none did.
  const std::exception_ptr& endedBy() const noexcept { return endedBy_; }
  /// Successful reopens so far.
  std::size_t reconnects() const noexcept { return reconnects_; }

 private:
  /// The back-off to wait now; the following one doubles it, up to the cap.
  std::chrono::milliseconds takeBackoff() noexcept;

  StreamOptions options_;
  StreamOpener open_;
  std::chrono::milliseconds backoff_;  // the next back-off, before the cap
  bool delivered_ = true;              // the current connection delivered data since it opened
  Clock::time_point nextAttempt_{};
  Clock::time_point downSince_{};
  std::string reason_;
  std::size_t reconnects_ = 0;
  std::exception_ptr endedBy_;
};

}  // namespace strandel::detail
