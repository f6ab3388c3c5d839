#pragma once

// The bound on what one curl_ws_recv call may take from a stream's socket.
//
// libcurl's curl_ws_recv, when its own queue is empty, keeps reading from the socket for as long
// as every read of its 64 KB chunk comes back full, and its queue has only a soft limit. Against a
// peer that sends faster than the stream is read, one call then never returns and its memory grows
// without bound. A kernel receive buffer smaller than that chunk makes every read come back short,
// so one call takes at most about one buffer's worth of bytes from the socket. The price is
// throughput under a flood of small messages: the peer can have less in flight at once.
//
// Not covered: libcurl answers pings inside curl_ws_recv and keeps reading while they come, so a
// peer that floods pings still holds one call for as long as the flood lasts.

#include <curl/curl.h>

namespace strandel::detail {

/// SO_RCVBUF asked of the kernel for every stream socket, in bytes (Linux doubles it for its own
/// bookkeeping; the payload it holds stays below libcurl's 64 KB chunk).
inline constexpr int kStreamReceiveBufferBytes = 32768;

/// CURLOPT_SOCKOPTFUNCTION callback that sets SO_RCVBUF to kStreamReceiveBufferBytes on the
/// stream's socket before it connects. Returns CURL_SOCKOPT_ERROR, which fails the connection,
/// when the kernel refuses: a stream without the bound is not opened. Ignores `clientp`.
int limitReceiveBuffer(void* clientp, curl_socket_t socket, curlsocktype purpose);

}  // namespace strandel::detail
