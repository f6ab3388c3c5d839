#include "websocket_handshake.hpp"

#include <algorithm>
#include <utility>

#include <strandel/errors.hpp>

#include "curl_handle.hpp"
#include "stream/receive_buffer_limit.hpp"
#include "transfer_guard.hpp"

namespace strandel::detail {
namespace {

// Keeps what libcurl delivers of the answer's body, up to HandshakeError::kMaxBodyBytes. libcurl
// usually ends a refused upgrade once the headers are in, so this is often nothing: the handshake
// stays one request, and nobody asks the bridge again for the body.
std::size_t keepRefusalBody(char* data, std::size_t size, std::size_t count, void* user) {
  const std::size_t n = size * count;
  if (!user) return n;  // after the handshake: nothing more is kept
  auto& body = *static_cast<std::string*>(user);
  // Past the cap the rest is taken and dropped, so that the failure stays libcurl's own.
  body.append(data, std::min(n, HandshakeError::kMaxBodyBytes - body.size()));
  return n;
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
  std::string body;
  handle.setOption(CURLOPT_WRITEFUNCTION, &keepRefusalBody);
  handle.setOption(CURLOPT_WRITEDATA, static_cast<void*>(&body));
  guard.installOn(handle);

  const CURLcode code = handle.perform();
  guard.rethrowIfFailed();
  if (code != CURLE_OK) {
    const long status = handle.responseCode();
    // 1xx (an upgrade that went wrong after its 101) carries no body; 0 means no answer at all.
    if (status < 200) body.clear();
    throw HandshakeError(url, curl_easy_strerror(code), status, std::move(body));
  }
  // The handle outlives `body`: nothing later may be written into it.
  handle.setOption(CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
  TransferGuard::removeFrom(handle);
  return handle.release();
}

}  // namespace strandel::detail
