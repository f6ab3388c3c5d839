#pragma once

// The HTTP request engine: the retry loop of one logical exchange and the transfer of one attempt.
// Stateless; concurrent calls share nothing but the generator behind the back-off jitter and, when
// a request names one, the connection pool of its client.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include <strandel/client_options.hpp>
#include <strandel/http.hpp>

#include "backoff.hpp"

namespace strandel::detail {

/// What a client fixes for every request it makes.
struct RequestSettings {
  /// Time-out of one attempt's whole transfer; positive.
  std::chrono::milliseconds timeout;
  /// Retries after the first attempt; not negative.
  int max_retries;
  /// Called after every attempt (see ClientOptions::on_attempt); null or empty for none.
  const std::function<void(const AttemptReport&)>* on_attempt = nullptr;
  /// The most bytes an answer's body may hold; 0 for no limit.
  std::size_t max_response_bytes = 0;
  /// The share object whose connection cache the attempts use; null for a connection per attempt.
  CURLSH* connections = nullptr;
  /// Polled during every transfer and back-off (see ClientOptions::interrupt_check); null or
  /// empty for none.
  const std::function<void()>* interrupt_check = nullptr;
  /// The statuses that are retried; null for isRetryableStatus.
  const std::vector<long>* retry_statuses = nullptr;
  /// The back-off between attempts.
  BackoffPolicy backoff = {};
};

/// Waits out one back-off delay between two attempts; called on the thread running the request.
using Sleeper = std::function<void(std::chrono::milliseconds)>;

/// Where one exchange's answer goes. The body string's capacity is reused: each attempt clears it
/// (keeping its memory) and a Content-Length reserves only when the capacity is short.
struct ResponseTarget {
  /// Receives the final attempt's status; never null.
  long* status;
  /// Receives the final attempt's body; never null.
  std::string* body;
  /// Receives the final attempt's headers as HttpResponse::headers does; null to keep none.
  std::map<std::string, std::string>* headers = nullptr;
};

/// One logical exchange: up to settings.max_retries + 1 attempts, each with its own easy handle and
/// settings.timeout, retrying transfer failures and retryable statuses after the back-off
/// backoffDelay(attempt), waited through `sleep` (in slices of at most kMaxSleepSlice with the
/// interrupt check between them when there is a check). Only http and https URLs are used; a URL
/// without a scheme is read as http. Every copy of the request that leaves counts as an attempt
/// and is reported: when libcurl sends the request again because a reused connection closed
/// without answering, the dead copy is reported (status 0, libcurl's text for CURLE_GOT_NOTHING,
/// next delay 0) and counts against the budget; a POST, PUT or PATCH with no attempt left is not
/// sent again and the exchange fails as the dead copy did, while GET and DELETE are. Returns the
/// last attempt's response whatever its status. Throws std::invalid_argument
/// "Unsupported HTTP method: " + method (before any transfer), std::runtime_error
/// "HTTP request failed: " + libcurl's text when the last attempt's transfer fails,
/// "HTTP response exceeds N bytes" at once when a body passes settings.max_response_bytes, the
/// set-up errors of CurlHandle, and whatever `sleep`, the attempt hook or the interrupt check
/// throws (which ends the exchange at once, unchanged; an attempt the check ends is not
/// reported).
HttpResponse performRequest(std::string_view method, const std::string& url, std::string_view body,
                            const RequestSettings& settings, const Sleeper& sleep);

/// The same exchange with its answer written into `target` (the status, body and headers of the
/// last attempt; on a throw, whatever the last attempt left there).
void performRequest(std::string_view method, const std::string& url, std::string_view body,
                    const RequestSettings& settings, const Sleeper& sleep,
                    const ResponseTarget& target);

/// libcurl write callback: appends size * count bytes to the std::string at `user`.
std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user);

/// libcurl header callback: stores one header line into the HttpResponse at `user` (name as
/// received, leading spaces of the value dropped, trailing CR/LF dropped, last duplicate wins;
/// lines without a colon ignored). A Content-Length line reserves room for the body.
std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* user);

/// 408, 409, 429, 500 and every status from 502 up.
bool isRetryableStatus(long status) noexcept;

/// Whether `status` is retried under `settings`: its retry_statuses, or isRetryableStatus.
bool retriesStatus(const RequestSettings& settings, long status) noexcept;

}  // namespace strandel::detail
