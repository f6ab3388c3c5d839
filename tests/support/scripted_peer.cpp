#include "support/scripted_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace strandel::testing_util {
namespace {

constexpr auto kPollSlice = std::chrono::milliseconds(20);

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Reads until the end of the header block; false when the client went away or the peer stops.
bool readHead(int fd, std::string& buffer, std::size_t& head_end, const ScriptedPeer& peer) {
  char chunk[8192];
  while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (peer.stopping()) return false;
    if (!waitReadable(fd, kPollSlice)) continue;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
  head_end += 4;
  return true;
}

RecordedRequest parseHead(std::string_view head) {
  RecordedRequest request;
  std::size_t line_end = head.find("\r\n");
  const std::string_view request_line = head.substr(0, line_end);
  const std::size_t sp1 = request_line.find(' ');
  const std::size_t sp2 = request_line.find(' ', sp1 + 1);
  request.method = std::string(request_line.substr(0, sp1));
  request.target = std::string(request_line.substr(sp1 + 1, sp2 - sp1 - 1));
  std::size_t pos = line_end + 2;
  while (pos < head.size()) {
    line_end = head.find("\r\n", pos);
    const std::string_view line = head.substr(pos, line_end - pos);
    pos = line_end + 2;
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    std::string_view value =
        colon == std::string_view::npos ? std::string_view{} : line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    request.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return request;
}

std::string buildAnswer(const ScriptedAnswer& answer) {
  if (answer.raw) return *answer.raw;
  std::string out = "HTTP/1.1 " + std::to_string(answer.status) + " " + answer.reason + "\r\n";
  for (const auto& line : answer.header_lines) out += line + "\r\n";
  if (answer.content_length)
    out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
  if (answer.ending == ScriptedAnswer::Ending::Close) out += "Connection: close\r\n";
  out += "\r\n";
  out += answer.body;
  return out;
}

void resetConnection(int fd) {
  linger option{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoreCase(key, name)) return value;
  }
  return std::nullopt;
}

ScriptedAnswer ScriptedAnswer::status_only(int status, std::string body) {
  ScriptedAnswer answer;
  answer.status = status;
  answer.reason = "Scripted";
  answer.body = std::move(body);
  return answer;
}

ScriptedAnswer ScriptedAnswer::json(int status, std::string body) {
  ScriptedAnswer answer = status_only(status, std::move(body));
  answer.header_lines.push_back("Content-Type: application/json");
  return answer;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 50);
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool waitReadable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  const int rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
  return rc > 0;
}

std::uint16_t unusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

ScriptedPeer::ScriptedPeer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket failed");
  const int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 256) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("bind/listen failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedPeer::~ScriptedPeer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ::shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listen_fd_);
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& t : connections) t.join();
}

std::string ScriptedPeer::baseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string ScriptedPeer::wsBaseUrl() const {
  return "ws://127.0.0.1:" + std::to_string(port_) + "/";
}

void ScriptedPeer::enqueue(ScriptedAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(answer));
}

void ScriptedPeer::enqueue(std::vector<ScriptedAnswer> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& a : answers) queue_.push_back(std::move(a));
}

void ScriptedPeer::setDefault(ScriptedAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(answer);
}

void ScriptedPeer::setConnectionHandler(ConnectionHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> ScriptedPeer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t ScriptedPeer::acceptCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

std::size_t ScriptedPeer::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool ScriptedPeer::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

bool ScriptedPeer::stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

ScriptedAnswer ScriptedPeer::nextAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return default_;
  ScriptedAnswer answer = std::move(queue_.front());
  queue_.pop_front();
  return answer;
}

void ScriptedPeer::acceptLoop() {
  for (;;) {
    const int fd = ::accept(listen_fd_, nullptr, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    ++accepted_;
    connections_.emplace_back([this, fd] {
      serve(fd);
      ::close(fd);
    });
  }
}

void ScriptedPeer::serve(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string buffer;
  // One request per turn; only a kept-alive answer leads to another turn.
  for (;;) {
    std::size_t head_end = 0;
    if (!readHead(fd, buffer, head_end, *this)) return;
    RecordedRequest request = parseHead(std::string_view(buffer).substr(0, head_end));
    ConnectionHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handler = handler_;
    }
    // The answer is taken once the head is in, since it may cut the body short.
    const ScriptedAnswer answer = handler ? ScriptedAnswer{} : nextAnswer();

    std::size_t length = 0;
    if (auto value = request.header("Content-Length")) length = std::stoull(*value);
    if (auto expect = request.header("Expect");
        expect && equalsIgnoreCase(*expect, "100-continue")) {
      writeAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    if (answer.action == ScriptedAnswer::Action::ResetWhileReceiving) {
      length = std::min(length, answer.reset_after);
    }
    request.body = buffer.substr(head_end);
    char chunk[65536];
    while (request.body.size() < length) {
      if (stopping()) return;
      if (!waitReadable(fd, kPollSlice)) continue;
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      request.body.append(chunk, static_cast<std::size_t>(n));
    }
    // Bytes past this request's body belong to the next request on the connection.
    buffer = request.body.size() > length ? request.body.substr(length) : std::string();

    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    arrived_.notify_all();
    if (handler) {
      handler(fd, request);
      return;
    }

    const auto until = std::chrono::steady_clock::now() + answer.delay;
    while (std::chrono::steady_clock::now() < until && !stopping())
      std::this_thread::sleep_for(kPollSlice);

    switch (answer.action) {
      case ScriptedAnswer::Action::Respond:
        writeAll(fd, buildAnswer(answer));
        switch (answer.ending) {
          case ScriptedAnswer::Ending::Close:
            ::shutdown(fd, SHUT_WR);
            // Drain until the client closes so that the answer is not cut short by a reset.
            while (!stopping() && waitReadable(fd, std::chrono::milliseconds(200))) {
              if (::recv(fd, chunk, sizeof chunk, 0) <= 0) break;
            }
            return;
          case ScriptedAnswer::Ending::KeepAlive:
            continue;
          case ScriptedAnswer::Ending::CloseQuietly:
            return;
          case ScriptedAnswer::Ending::ResetWhenIdle: {
            const auto reset_at = std::chrono::steady_clock::now() + answer.idle_reset;
            while (std::chrono::steady_clock::now() < reset_at && !stopping()) {
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            resetConnection(fd);
            return;
          }
        }
        return;
      case ScriptedAnswer::Action::CloseWithoutAnswer:
        return;
      case ScriptedAnswer::Action::Stall:
        while (!stopping()) {
          if (waitReadable(fd, kPollSlice) && ::recv(fd, chunk, sizeof chunk, 0) <= 0) break;
        }
        return;
      case ScriptedAnswer::Action::ResetAfter: {
        const std::string bytes = buildAnswer(answer);
        writeAll(fd, std::string_view(bytes).substr(0, std::min(answer.reset_after, bytes.size())));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        resetConnection(fd);
        return;
      }
      case ScriptedAnswer::Action::ResetWhileReceiving:
        resetConnection(fd);
        return;
    }
    return;
  }
}

}  // namespace strandel::testing_util
