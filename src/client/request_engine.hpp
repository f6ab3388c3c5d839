#pragma once

// Pieces of the HTTP request engine that are tested on their own.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include <strandel/http.hpp>

namespace strandel::detail {

/// One logical exchange: up to max_retries + 1 attempts, each with its own easy handle and a
/// per-attempt time-out, retrying transfer failures and retryable statuses with back-off. Returns
/// the last attempt's response whatever its status. Throws std::invalid_argument
/// "Unsupported HTTP method: " + method (before any transfer), std::runtime_error
/// "HTTP request failed: " + libcurl's text when the last attempt's transfer fails, and the
/// set-up errors of makeEasyHandle / setOption.
HttpResponse performRequest(std::string_view method, const std::string& url, std::string_view body,
                            std::chrono::milliseconds timeout, int max_retries);

/// libcurl write callback: appends size * count bytes to the std::string at `user`.
std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user);

/// libcurl header callback: stores one header line into the HttpResponse at `user` (name as
/// received, leading spaces of the value dropped, trailing CR/LF dropped, last duplicate wins;
/// lines without a colon ignored). A Content-Length line reserves room for the body.
std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* user);

/// 408, 409, 429, 500 and every status from 502 up.
bool isRetryableStatus(long status) noexcept;

/// `base` (ending in '/') followed by `path` without any of its leading slashes.
std::string joinUrl(std::string_view base, std::string_view path);

/// True when both byte strings have the same length and agree under ASCII case folding.
bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept;

}  // namespace strandel::detail
