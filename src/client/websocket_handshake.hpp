#pragma once

// The opening of a WebSocket stream: connection and upgrade handshake through libcurl's
// connect-only WebSocket mode, and the bridge's refusal kept for the caller.

#include <chrono>
#include <functional>
#include <string>

#include <curl/curl.h>

namespace strandel::detail {

/// Connects to `url` (scheme ws or wss; a URL without one is read as ws) and performs the upgrade
/// within `timeout`, with the stream socket's receive buffer bounded (limitReceiveBuffer) and
/// automatic pongs off. Returns the easy handle, owned by the caller, ready for curl_ws_send and
/// curl_ws_recv; it keeps no callback data that dies with this call. Throws HandshakeError for a
/// failed connection or upgrade (see IsaacSimClient::openJointPositionStream), the set-up errors
/// of CurlHandle, and what `interrupt_check` (null or empty for none) throws, unchanged.
CURL* openWebSocket(const std::string& url, std::chrono::milliseconds timeout,
                    const std::function<void()>* interrupt_check);

}  // namespace strandel::detail
