#pragma once

// RAII owners for libcurl handles and the one checked way to set an option. Shared by the request
// engine and the WebSocket streams.

#include <memory>
#include <stdexcept>
#include <string>

#include <curl/curl.h>

namespace strandel::detail {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
/// Owns one easy handle; released with curl_easy_cleanup on every path.
using CurlEasyHandle = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
/// Owns one header list; released with curl_slist_free_all on every path.
using CurlHeaderList = std::unique_ptr<curl_slist, CurlSlistDeleter>;

/// A new easy handle with the options every handle of the library carries: CURLOPT_NOSIGNAL
/// (libcurl leaves the process's signal dispositions alone, so concurrent transfers cannot lose an
/// application's SIGPIPE handler; sends on Linux use MSG_NOSIGNAL, so a reset peer is an error
/// code, never a signal) and CURLOPT_PATH_AS_IS (the path goes out as built, dot segments
/// unresolved). Throws std::runtime_error "Failed to initialize libcurl" when libcurl has none, and
/// the errors of setOption.
CurlEasyHandle makeEasyHandle();

/// curl_easy_setopt that throws std::runtime_error "curl_easy_setopt failed: " + libcurl's text.
template <typename Value>
void setOption(CURL* handle, CURLoption option, Value value) {
  const CURLcode code = curl_easy_setopt(handle, option, value);
  if (code != CURLE_OK) {
    throw std::runtime_error(std::string("curl_easy_setopt failed: ") + curl_easy_strerror(code));
  }
}

}  // namespace strandel::detail
