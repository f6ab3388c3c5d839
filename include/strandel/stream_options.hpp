#pragma once

/// Options of one WebSocket stream: whether it reopens its connection when the bridge goes away
/// (a simulator restart, a dropped network, a connection gone silent), how patiently, and a hook
/// told of every reopen. A default-constructed value opens a stream exactly like the openers
/// without options.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include <strandel/export.hpp>

namespace strandel {

/// What a reopen of a stream did, as handed to StreamOptions::on_reconnect.
///
/// Thread-safety: a plain value; each report belongs to the one receive call that made it.
struct STRANDEL_API ReconnectReport {
  /// Reopens of the stream so far, this one included: 1 for the first.
  std::size_t reconnects = 0;
  /// What ended the previous connection: the receive failure's what() (e.g.
  /// "WebSocket receive failed: Server returned nothing (no headers, no data)"),
  /// "idle for N ms" (N the idle_timeout), or "closed by the bridge: CODE REASON" (only the parts
  /// the bridge's close frame carried: "closed by the bridge" when it carried none).
  std::string reason;
  /// From the receive call that noticed the end to the reopened connection, across as many
  /// receive calls as it took.
  std::chrono::milliseconds downtime{0};
};

/// How a stream opened with these options survives the end of its connection. Every member but
/// `reconnect` takes effect only when `reconnect` is true.
///
/// A reconnecting stream reopens its connection (to the same URL, with the opening client's
/// time-out, message cap and interrupt check, copied when the stream opened, so it still outlives
/// its client) inside its receive calls, never on a thread of its own, and only while a receive
/// call runs. It reopens after a receive failed in transport (TransportError), after an idle
/// time-out, and (with reconnect_after_close) after the bridge's close frame. The first attempt
/// follows at once when the ended connection had delivered data since it opened; otherwise, and
/// between attempts, it waits the back-off. A message half received when its connection ended is
/// dropped; messages the bridge sent while no connection was open are lost. A handshake that the
/// bridge refuses with a 4xx status other than 408 and 429 (the stream's resource is gone) ends
/// the reconnecting: see WebSocketStream::receive. Other failed handshakes (no connection, a
/// time-out, 408, 429, 5xx) are retried.
///
/// Thread-safety: a plain value, read once by the opener, which copies it.
struct STRANDEL_API StreamOptions {
  /// Reopen the connection after a transport failure of a receive call or an idle time-out.
  /// false (the default): the stream behaves as one opened without options.
  bool reconnect = false;
  /// No byte of a data message for this long, seen by a receive call that found nothing else
  /// pending, counts as a dead connection: it is closed (a close frame, sent only if the socket
  /// takes it at once) and reopened. Pings and other control frames do not count as data. Not
  /// negative; 0 (the default): never.
  std::chrono::milliseconds idle_timeout{0};
  /// Called on the receiving thread, inside the receive call, after each successful reopen and
  /// before that call reads the new connection. An exception it throws leaves the receive call
  /// unchanged; the stream stays open on its new connection. Empty (the default): nothing.
  std::function<void(const ReconnectReport&)> on_reconnect;
  /// Also reopen after the bridge closed the stream with a close frame (e.g. 1001 when its
  /// resource is removed, when a reopen usually meets a 404). false (the default): such a stream
  /// ends as one without options does (receive(wait) returns an empty optional, peerClosed()).
  bool reconnect_after_close = false;
  /// The back-off before the second reopen attempt (and before the first after a connection that
  /// ended without delivering data); it doubles with each further attempt up to max_backoff, and
  /// starts again from here once a reopened connection has delivered data. No jitter. Not
  /// negative; 0 retries without pause.
  std::chrono::milliseconds initial_backoff{100};
  /// The cap of the doubled back-off. Not negative.
  std::chrono::milliseconds max_backoff{2000};
};

}  // namespace strandel
