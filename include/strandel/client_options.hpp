#pragma once

/// Options of an IsaacSimClient beyond its URLs: the time-out and retry budget of the HTTP verbs,
/// connection reuse, a hook called after every attempt, and caps on what one answer or one stream
/// message may hold. Every default gives the behaviour of the five-argument constructor.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <strandel/export.hpp>

namespace strandel {

/// How an HTTP attempt ended, when it got no complete answer.
enum class AttemptFailure {
  /// A complete answer arrived (whatever its status).
  none,
  /// The transfer failed in libcurl (no connection, reset, nothing returned, ...).
  transport,
  /// The attempt ran out of the client's time-out.
  timeout,
  /// The body passed ClientOptions::max_response_bytes.
  response_too_large,
};

/// What one HTTP attempt of a client's call did, as handed to ClientOptions::on_attempt.
///
/// Thread-safety: a plain value; each report belongs to the one call that made it.
struct STRANDEL_API AttemptReport {
  /// "GET", "POST", "PUT", "PATCH" or "DELETE".
  std::string method;
  /// The full URL of the request.
  std::string url;
  /// 1 for the first attempt of a call, 2 for the first retry, and so on.
  int attempt = 0;
  /// The HTTP status of the answer; 0 when the attempt got no complete answer.
  long status = 0;
  /// The kind of failure that ended the attempt; none when it got a complete answer.
  AttemptFailure failure = AttemptFailure::none;
  /// Empty when the attempt got a complete answer; otherwise the error that ended it: libcurl's
  /// text (e.g. "Couldn't connect to server"), or "HTTP response exceeds N bytes".
  std::string error;
  /// Wall-clock time the attempt took, from setting up its transfer to its end.
  std::chrono::microseconds duration{0};
  /// The back-off the call waits before its next attempt; empty when this attempt is the last.
  std::optional<std::chrono::milliseconds> next_delay;
};

/// Settings of an IsaacSimClient (see IsaacSimClient's constructor taking ClientOptions). A
/// default-constructed value gives exactly the behaviour of the constructor without options.
///
/// Thread-safety: a plain value, read once by the client's constructor, which copies it.
struct STRANDEL_API ClientOptions {
  /// Time-out of one transfer attempt (and of a stream's handshake and of one send); positive.
  std::chrono::milliseconds timeout{10000};

  /// Retries after the first attempt of an HTTP verb; not negative.
  int max_retries = 3;

  /// The answer statuses that are retried (transfer failures always are, within max_retries).
  /// Empty (the default): 408, 409, 429, 500 and every status from 502 up. A list, even an empty
  /// one: exactly those statuses.
  std::optional<std::vector<long>> retry_statuses;

  /// The back-off before the first retry, before jitter; it doubles with every further retry up to
  /// max_backoff. Each delay is then multiplied by a jitter factor between 0.75 and 1. Not
  /// negative.
  std::chrono::milliseconds initial_backoff{500};
  /// The cap of the doubled back-off, before jitter. Not negative.
  std::chrono::milliseconds max_backoff{8000};
  /// false (the default): the jitter factor is drawn with the C library's rand(), shared by the
  /// whole process and unseeded, so processes started together draw the same delays. true: each
  /// client draws from a generator of its own, seeded from std::random_device, so a fleet of
  /// clients spreads its retries.
  bool seeded_jitter = false;

  /// When true, the HTTP verbs (and the facade calls built on them) keep connections to the
  /// bridge open after an answer and send later requests over them, from every thread using the
  /// client. Each attempt still runs on an easy handle of its own; the connections live in one
  /// libcurl share object (CURL_LOCK_DATA_CONNECT) that the client owns, guarded by one mutex per
  /// kind of shared data, so that calls on several threads take and return connections safely
  /// without holding a lock during a transfer. The requests, retries, answers and errors are the
  /// same as without reuse; only the connection a request travels on differs. A connection on
  /// which an attempt fails is closed, so a retry opens a fresh one, and a kept connection that
  /// the bridge has closed or reset while idle is noticed before use and replaced without an
  /// error reaching the caller. A kept connection that the bridge closes after reading a request
  /// but before answering is different: libcurl would send the request again on a fresh
  /// connection. That resend is an attempt like any other: on_attempt reports the copy that got
  /// nothing (status 0, error "Server returned nothing (no headers, no data)", next_delay 0 ms)
  /// and it counts against max_retries. When no attempt is left, a POST, PUT or PATCH is not sent
  /// again (the call fails with "HTTP request failed: Server returned nothing (no headers, no
  /// data)"), so a caller who asked for no retries gets at most one copy of a command; a GET or
  /// DELETE, which may safely go out twice, is sent again and reported once more. To make this
  /// rare, a connection idle for more than 3 s (libcurl counts whole seconds: up to 4 s) is
  /// closed rather than reused, below common servers' keep-alive time-outs of 5 s.
  /// The pool holds up to 64 connections, in use or idle; past that, the oldest idle one is closed
  /// when a transfer ends. Idle connections otherwise stay open until the client is destroyed, the
  /// bridge closes them or they are found too old.
  /// WebSocket streams always open connections of their own. False (the default): every attempt
  /// opens and closes its own connection.
  bool reuse_connections = false;

  /// Called on the calling thread after every HTTP attempt of a verb or facade call whose
  /// transfer ran (set-up failures and refused arguments are not attempts), before the back-off
  /// that follows it: once for every copy of the request that left the client, including one
  /// that libcurl sends again on its own (see reuse_connections). An attempt ended by
  /// interrupt_check is not reported. Runs inside the call, so the call takes as long as the hook
  /// does. Called concurrently from every thread using the client: it must be safe to run on
  /// several threads at once. It must not throw; if it does, the exception propagates out of the
  /// call unchanged, and no further attempt is made. Empty (the default): nothing is called.
  std::function<void(const AttemptReport&)> on_attempt;

  /// Polled on the calling thread while an HTTP verb, a facade call or a stream handshake of the
  /// client is under way: during each transfer (many times a second while bytes move, about once
  /// a second while waiting, and at once when a signal handled on that thread interrupts the
  /// wait) and at least every 50 ms of a back-off sleep. It exists so that a pending call can end
  /// on a user's interrupt: a SIGINT handler sets a flag, the check throws when it is set. To end
  /// the call, throw: the exception leaves the call unchanged, the transfer is abandoned, the
  /// attempt is not reported to on_attempt and no further attempt is made. Not polled by an open
  /// WebSocketStream. Called concurrently from every thread using the client: it must be safe to
  /// run on several threads at once. Empty (the default): nothing is polled.
  std::function<void()> interrupt_check;

  /// The most bytes one HTTP answer's body may hold; 0 (the default) for no limit. An answer that
  /// announces a longer body (Content-Length) ends its transfer as soon as that header arrives,
  /// and one whose body grows beyond the cap (e.g. an endless chunked body) ends it as soon as the
  /// byte past the cap arrives; either way the call throws std::runtime_error
  /// "HTTP response exceeds N bytes" (N the cap) without further attempts.
  std::size_t max_response_bytes = 0;

  /// The most bytes one message of a stream opened by the client may hold (one data frame for
  /// WebSocketStream::receive(), the whole joined message for receive(wait)); 0 (the default) for
  /// no limit. See WebSocketStream::receive for what happens to a longer one.
  std::size_t max_message_bytes = 0;
};

}  // namespace strandel
