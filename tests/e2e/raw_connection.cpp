#include "raw_connection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace strandel::e2e {

RawConnection::RawConnection(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  timeval timeout{20, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error(std::string("connect: ") + std::strerror(error));
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool RawConnection::fill() {
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

bool RawConnection::fillTo(std::size_t count) {
  while (pending_.size() < count)
    if (!fill()) return false;
  return true;
}

std::optional<RawResponse> RawConnection::readResponse() {
  std::size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos)
    if (!fill()) return std::nullopt;
  RawResponse response;
  response.head = pending_.substr(0, end + 4);
  pending_.erase(0, end + 4);
  if (response.head.rfind("HTTP/1.1 ", 0) == 0)
    response.status = std::atoi(response.head.c_str() + 9);
  std::size_t length = 0;
  for (const char* key : {"Content-Length: ", "content-length: "}) {
    const std::size_t at = response.head.find(key);
    if (at != std::string::npos)
      length = std::strtoul(response.head.c_str() + at + std::strlen(key), nullptr, 10);
  }
  while (pending_.size() < length)
    if (!fill()) return std::nullopt;
  response.body = pending_.substr(0, length);
  pending_.erase(0, length);
  return response;
}

std::string RawConnection::readSome(std::size_t count) {
  if (pending_.empty()) fill();
  std::string out = pending_.substr(0, count);
  pending_.erase(0, out.size());
  return out;
}

std::optional<RawFrame> RawConnection::readFrame() {
  if (!fillTo(2)) return std::nullopt;
  const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(pending_[i]); };
  RawFrame frame;
  frame.fin = (byte(0) & 0x80) != 0;
  frame.opcode = byte(0) & 0x0F;
  std::uint64_t length = byte(1) & 0x7F;
  const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
  if (!fillTo(2 + extended)) return std::nullopt;
  if (extended > 0) length = 0;
  for (std::size_t i = 0; i < extended; ++i) length = (length << 8) | byte(2 + i);
  if (!fillTo(2 + extended + length)) return std::nullopt;
  frame.payload = pending_.substr(2 + extended, length);
  pending_.erase(0, 2 + extended + length);
  return frame;
}

void RawConnection::reset() {
  if (fd_ < 0) return;
  linger option{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  ::close(fd_);
  fd_ = -1;
}

std::string httpRequest(std::string_view method, std::string_view target, std::string_view body,
                        bool keep_alive) {
  std::string request =
      std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!keep_alive) request += "Connection: close\r\n";
  if (!body.empty() || method == "POST" || method == "PUT" || method == "PATCH")
    request +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n";
  request += body;
  return request;
}

std::string webSocketFrame(int opcode, std::string_view payload) {
  std::string frame(1, static_cast<char>(0x80 | opcode));
  const std::uint64_t length = payload.size();
  const int extended = length < 126 ? 0 : length < 65536 ? 2 : 8;
  frame += static_cast<char>(0x80 | (extended == 0 ? length : extended == 2 ? 126 : 127));
  for (int i = extended - 1; i >= 0; --i) frame += static_cast<char>((length >> (8 * i)) & 0xFF);
  const char mask[4] = {0x1b, 0x2c, 0x3d, 0x4e};
  frame.append(mask, 4);
  for (std::size_t i = 0; i < payload.size(); ++i)
    frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  return frame;
}

RefusingPort::RefusingPort() {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot reserve a port");
  }
  port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() { ::close(fd_); }

}  // namespace strandel::e2e
