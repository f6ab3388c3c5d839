#pragma once

// One libcurl easy handle with the header list it points at, and the one checked way to set its
// options. The request engine takes one per attempt, a stream opener one per handshake.

#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

#include <curl/curl.h>

namespace strandel::detail {

/// Owns one easy handle and the header list set on it; both are released on every path, the
/// handle before the list. Movable, not copyable. Not thread-safe: one thread at a time uses it.
class CurlHandle {
 public:
  /// A new easy handle with the options every handle of the library carries: CURLOPT_NOSIGNAL
  /// (libcurl leaves the process's signal dispositions alone, so concurrent transfers cannot lose
  /// an application's SIGPIPE handler; sends on Linux use MSG_NOSIGNAL, so a reset peer is an error
  /// code, never a signal), CURLOPT_PATH_AS_IS (the path goes out as built, dot segments
  /// unresolved), and a write callback that takes every byte and keeps none, so that no body can
  /// reach the process's standard output (libcurl's default for a handle without a write callback)
  /// unless a user of the handle sets a callback of its own. Headers reach nobody either: without
  /// a header callback and CURLOPT_HEADERDATA, libcurl passes them to no one. (No header callback
  /// is set here: on a connect-only WebSocket handle of libcurl 8.14, one made the stream miss a
  /// close frame that arrived together with the end of the connection.) Throws
  /// std::runtime_error "Failed to initialize libcurl" when libcurl has none, and the errors of
  /// setOption.
  CurlHandle();
  CurlHandle(CurlHandle&&) noexcept = default;
  CurlHandle(const CurlHandle&) = delete;
  CurlHandle& operator=(const CurlHandle&) = delete;
  CurlHandle& operator=(CurlHandle&&) = delete;
  ~CurlHandle() = default;

  /// curl_easy_setopt that throws std::runtime_error "curl_easy_setopt failed: " + libcurl's text.
  template <typename Value>
  void setOption(CURLoption option, Value value) {
    const CURLcode code = curl_easy_setopt(handle_.get(), option, value);
    if (code != CURLE_OK) {
      throw std::runtime_error(std::string("curl_easy_setopt failed: ") + curl_easy_strerror(code));
    }
  }

  /// Makes `lines` (e.g. "Content-Type: application/json") the extra request header lines
  /// (CURLOPT_HTTPHEADER), in order, replacing a list set before; the list lives as long as this
  /// handle. A line "Name:" with nothing after the colon removes a header libcurl would add.
  /// Throws std::runtime_error "curl_slist_append failed: out of memory", and the errors of
  /// setOption.
  void setHeaderLines(std::initializer_list<const char*> lines);

  /// Lets the transfer use only the schemes in `allowed` (CURLOPT_PROTOCOLS_STR, e.g. "http,https")
  /// and reads a URL without a scheme as `default_scheme` (CURLOPT_DEFAULT_PROTOCOL) instead of
  /// guessing one from the host name. A URL of another scheme then fails the transfer with
  /// CURLE_UNSUPPORTED_PROTOCOL before any connection. Throws the errors of setOption.
  void restrictSchemes(const char* allowed, const char* default_scheme);

  /// Installs `callback` as CURLOPT_SOCKOPTFUNCTION: libcurl calls it on every socket it creates,
  /// before connecting. Throws the errors of setOption.
  void setSocketOptions(curl_sockopt_callback callback);

  /// Runs the transfer (curl_easy_perform) and returns libcurl's result.
  CURLcode perform() noexcept;

  /// The last response's HTTP status (CURLINFO_RESPONSE_CODE); 0 when there was none.
  long responseCode() const noexcept;

  /// The owned easy handle, for libcurl calls this type does not wrap.
  CURL* get() const noexcept { return handle_.get(); }

  /// Gives up ownership of the easy handle; the caller must curl_easy_cleanup it. A header list is
  /// first detached from the handle and freed. Leaves this object empty.
  CURL* release() noexcept;

 private:
  struct EasyDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
  };
  struct ListDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
  };

  // Declared before the handle, so that it is destroyed after it.
  std::unique_ptr<curl_slist, ListDeleter> headers_;
  std::unique_ptr<CURL, EasyDeleter> handle_;
};

}  // namespace strandel::detail
