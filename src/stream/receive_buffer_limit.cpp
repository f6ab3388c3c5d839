#include "receive_buffer_limit.hpp"

#include <sys/socket.h>

namespace strandel::detail {

int limitReceiveBuffer(void* /*clientp*/, curl_socket_t socket, curlsocktype /*purpose*/) {
  const int size = kStreamReceiveBufferBytes;
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
    return CURL_SOCKOPT_ERROR;
  return CURL_SOCKOPT_OK;
}

}  // namespace strandel::detail
