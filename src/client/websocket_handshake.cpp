#include "websocket_handshake.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include <strandel/errors.hpp>

#include "curl_handle.hpp"
#include "ignore_case.hpp"
#include "stream/receive_buffer_limit.hpp"
#include "transfer_guard.hpp"

namespace strandel::detail {
namespace {

using Clock = std::chrono::steady_clock;

// `url` with its WebSocket scheme replaced by the matching HTTP one (ws -> http, wss -> https); a
// URL without a scheme is returned as it is and read as http.
std::string httpUrlOf(const std::string& url) {
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos) return url;
  const std::string_view scheme(url.data(), colon);
  const char* replacement = equalsIgnoreCase(scheme, "wss") ? "https" : "http";
  return replacement + url.substr(colon);
}

// Where the body of the plain GET goes: kept only while the answer's status is the refusal's.
struct RefusalBody {
  CURL* handle;
  long expected_status;
  std::string body;
};

std::size_t keepRefusalBody(char* data, std::size_t size, std::size_t count, void* user) {
  const std::size_t n = size * count;
  auto& target = *static_cast<RefusalBody*>(user);
  long status = 0;
  curl_easy_getinfo(target.handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != target.expected_status) return 0;  // another answer: ends the transfer unread
  const std::size_t room = HandshakeError::kMaxBodyBytes - target.body.size();
  target.body.append(data, std::min(n, room));
  return n <= room ? n : 0;  // the cap reached: the rest is not read
}

// libcurl hands the body of an answer that refuses the upgrade to nobody: it ends the handshake
// once the headers are in. The body is therefore read by one plain GET of the same resource over
// http(s), within `budget`; it is kept when that answer has the refusal's status (a plain request
// may well be answered otherwise, e.g. 426 by a bridge that would have upgraded) and is
// otherwise empty. Throws what `interrupt_check` throws.
std::string fetchRefusalBody(const std::string& url, long status, Clock::duration budget,
                             const std::function<void()>* interrupt_check) {
  const auto budget_ms = std::chrono::duration_cast<std::chrono::milliseconds>(budget);
  if (budget_ms.count() <= 0) return {};
  CurlHandle handle;
  RefusalBody target{handle.get(), status, {}};
  TransferGuard guard(interrupt_check);
  const std::string http_url = httpUrlOf(url);
  handle.setOption(CURLOPT_URL, http_url.c_str());
  handle.restrictSchemes("http,https", "http");
  handle.setOption(CURLOPT_TIMEOUT_MS, static_cast<long>(budget_ms.count()));
  handle.setOption(CURLOPT_WRITEFUNCTION, &keepRefusalBody);
  handle.setOption(CURLOPT_WRITEDATA, static_cast<void*>(&target));
  guard.installOn(handle);
  handle.perform();
  guard.rethrowIfFailed();
  if (handle.responseCode() != status) return {};
  return std::move(target.body);
}

}  // namespace

CURL* openWebSocket(const std::string& url, std::chrono::milliseconds timeout,
                    const std::function<void()>* interrupt_check) {
  CurlHandle handle;
  TransferGuard guard(interrupt_check);
  handle.setOption(CURLOPT_URL, url.c_str());
  handle.setOption(CURLOPT_CONNECT_ONLY, 2L);
  handle.setOption(CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  // Only WebSocket: a URL of another scheme fails here instead of running a plain transfer.
  // Without a scheme the URL is read as ws, since the opener speaks nothing else; libcurl's own
  // guess (http, or another scheme from the host name) could only fail.
  handle.restrictSchemes("ws,wss", "ws");
  // The stream answers pings itself, without ever blocking inside a receive.
  handle.setOption(CURLOPT_WS_OPTIONS, static_cast<long>(CURLWS_NOAUTOPONG));
  handle.setSocketOptions(&limitReceiveBuffer);
  guard.installOn(handle);

  const auto started = Clock::now();
  const CURLcode code = handle.perform();
  guard.rethrowIfFailed();
  if (code != CURLE_OK) {
    const long status = handle.responseCode();
    std::string body;
    // 1xx (an upgrade that went wrong after its 101) carries no body; 0 means no answer at all.
    if (status >= 200) {
      body = fetchRefusalBody(url, status, timeout - (Clock::now() - started), interrupt_check);
    }
    throw HandshakeError(url, curl_easy_strerror(code), status, std::move(body));
  }
  TransferGuard::removeFrom(handle);
  return handle.release();
}

}  // namespace strandel::detail
