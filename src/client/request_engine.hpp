#pragma once

// The HTTP request engine: the retry loop of one logical exchange and the transfer of one attempt.
// Stateless; concurrent calls share nothing but the generator behind the back-off jitter.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <strandel/http.hpp>

namespace strandel::detail {

/// What a client fixes for every request it makes.
struct RequestSettings {
  /// Time-out of one attempt's whole transfer; positive.
  std::chrono::milliseconds timeout;
  /// Retries after the first attempt; not negative.
  int max_retries;
};

/// Waits out one back-off delay between two attempts; called on the thread running the request.
using Sleeper = std::function<void(std::chrono::milliseconds)>;

/// One logical exchange: up to settings.max_retries + 1 attempts, each with its own easy handle and
/// settings.timeout, retrying transfer failures and retryable statuses after
/// sleep(backoffDelay(attempt)). Returns the last attempt's response whatever its status. Throws
/// std::invalid_argument "Unsupported HTTP method: " + method (before any transfer),
/// std::runtime_error "HTTP request failed: " + libcurl's text when the last attempt's transfer
/// fails, the set-up errors of CurlHandle, and whatever `sleep` throws.
HttpResponse performRequest(std::string_view method, const std::string& url, std::string_view body,
                            const RequestSettings& settings, const Sleeper& sleep);

/// libcurl write callback: appends size * count bytes to the std::string at `user`.
std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user);

/// libcurl header callback: stores one header line into the HttpResponse at `user` (name as
/// received, leading spaces of the value dropped, trailing CR/LF dropped, last duplicate wins;
/// lines without a colon ignored). A Content-Length line reserves room for the body.
std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* user);

/// 408, 409, 429, 500 and every status from 502 up.
bool isRetryableStatus(long status) noexcept;

}  // namespace strandel::detail
