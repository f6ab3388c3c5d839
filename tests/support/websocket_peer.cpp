#include "support/websocket_peer.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>
#include <thread>
#include <utility>

#include <openssl/evp.h>

namespace strandel::testing_util {
namespace {

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr auto kSlice = std::chrono::milliseconds(20);

bool containsIgnoreCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    bool same = true;
    for (std::size_t j = 0; j < word.size() && same; ++j) {
      same = std::tolower(static_cast<unsigned char>(text[i + j])) ==
             std::tolower(static_cast<unsigned char>(word[j]));
    }
    if (same) return true;
  }
  return false;
}

// Parses one complete client frame at the front of `bytes`; consumes it and returns true, or
// returns false while the frame is still incomplete.
bool takeFrame(std::string& bytes, ClientFrame& frame) {
  if (bytes.size() < 2) return false;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  std::size_t pos = 2;
  std::uint64_t length = byte(1) & 0x7F;
  if (length == 126) {
    if (bytes.size() < 4) return false;
    length = (std::uint64_t{byte(2)} << 8) | byte(3);
    pos = 4;
  } else if (length == 127) {
    if (bytes.size() < 10) return false;
    length = 0;
    for (std::size_t i = 2; i < 10; ++i) length = (length << 8) | byte(i);
    pos = 10;
  }
  const bool masked = (byte(1) & 0x80) != 0;
  unsigned char mask[4] = {0, 0, 0, 0};
  if (masked) {
    if (bytes.size() < pos + 4) return false;
    for (std::size_t i = 0; i < 4; ++i) mask[i] = byte(pos + i);
    pos += 4;
  }
  if (bytes.size() - pos < length) return false;
  frame.fin = (byte(0) & 0x80) != 0;
  frame.opcode = static_cast<Opcode>(byte(0) & 0x0F);
  frame.masked = masked;
  frame.payload.assign(bytes, pos, static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < frame.payload.size(); ++i) {
    frame.payload[i] =
        static_cast<char>(static_cast<unsigned char>(frame.payload[i]) ^ mask[i % 4]);
  }
  bytes.erase(0, pos + static_cast<std::size_t>(length));
  return true;
}

}  // namespace

struct WebSocketSession::State {
  std::vector<ClientFrame> frames;
  bool disconnected = false;
  bool reset = false;
  std::string pending;  // bytes of a client frame not yet whole; the script's thread only
  std::atomic<std::uint64_t> written{0};
};

std::string serverFrame(Opcode opcode, std::string_view payload, bool fin) {
  std::string frame;
  frame.reserve(payload.size() + 10);
  frame.push_back(static_cast<char>((fin ? 0x80 : 0x00) | static_cast<unsigned>(opcode)));
  const std::uint64_t length = payload.size();
  if (length < 126) {
    frame.push_back(static_cast<char>(length));
  } else if (length <= 0xFFFF) {
    frame.push_back(static_cast<char>(126));
    frame.push_back(static_cast<char>(length >> 8));
    frame.push_back(static_cast<char>(length & 0xFF));
  } else {
    frame.push_back(static_cast<char>(127));
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
  }
  frame.append(payload);
  return frame;
}

std::string websocketAccept(std::string_view key) {
  const std::string input = std::string(key) + kAcceptGuid;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &digest_length, EVP_sha1(), nullptr) != 1) {
    throw std::runtime_error("SHA-1 failed");
  }
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int encoded_length = EVP_EncodeBlock(encoded, digest, static_cast<int>(digest_length));
  return std::string(reinterpret_cast<const char*>(encoded),
                     static_cast<std::size_t>(encoded_length));
}

std::string upgradeAnswer(std::string_view key) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         websocketAccept(key) + "\r\n\r\n";
}

WebSocketSession::WebSocketSession(int fd, RecordedRequest request, WebSocketPeer& peer,
                                   std::shared_ptr<State> state)
    : fd_(fd), request_(std::move(request)), peer_(peer), state_(std::move(state)) {}

bool WebSocketSession::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (peer_.stopping()) return false;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(kSlice.count()));
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    state_->written.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
  }
  return true;
}

bool WebSocketSession::writeSplit(std::string_view bytes, std::size_t split,
                                  std::chrono::milliseconds pause_between) {
  split = std::min(split, bytes.size());
  if (!write(bytes.substr(0, split))) return false;
  pause(pause_between);
  return write(bytes.substr(split));
}

void WebSocketSession::pause(std::chrono::milliseconds duration) {
  const auto until = std::chrono::steady_clock::now() + duration;
  while (!peer_.stopping()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, kSlice));
  }
}

bool WebSocketSession::awaitRelease() {
  std::unique_lock<std::mutex> lock(peer_.mutex_);
  while (peer_.releases_ == 0) {
    lock.unlock();
    if (peer_.stopping()) return false;
    lock.lock();
    peer_.changed_.wait_for(lock, kSlice);
  }
  --peer_.releases_;
  return true;
}

bool WebSocketSession::readAndRecord(bool answer_close, int flags) {
  std::string& pending = state_->pending;
  char chunk[65536];
  const ssize_t n = ::recv(fd_, chunk, sizeof chunk, flags);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (n <= 0) {
    if (n < 0 && errno == ECONNRESET) {
      std::lock_guard<std::mutex> lock(peer_.mutex_);
      state_->reset = true;
    }
    return false;
  }
  pending.append(chunk, static_cast<std::size_t>(n));
  ClientFrame frame;
  while (takeFrame(pending, frame)) {
    if (answer_close && frame.opcode == Opcode::Close)
      write(serverFrame(Opcode::Close, frame.payload));
    {
      std::lock_guard<std::mutex> lock(peer_.mutex_);
      state_->frames.push_back(std::move(frame));
    }
    peer_.changed_.notify_all();
    frame = ClientFrame{};
  }
  return true;
}

void WebSocketSession::recordUntilClosed(bool answer_close) {
  while (!peer_.stopping()) {
    if (!waitReadable(fd_, kSlice)) continue;
    if (!readAndRecord(answer_close, 0)) return;
  }
}

bool WebSocketSession::recordPending() { return readAndRecord(true, MSG_DONTWAIT); }

void WebSocketSession::holdWithoutReading() {
  while (!peer_.stopping()) {
    pollfd p{fd_, POLLRDHUP, 0};
    if (::poll(&p, 1, static_cast<int>(kSlice.count())) > 0 &&
        (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
      return;
    }
  }
}

WebSocketPeer::WebSocketPeer(Script script) : script_(std::move(script)) {
  http_.setConnectionHandler(
      [this](int fd, const RecordedRequest& request) { serve(fd, request); });
}

WebSocketPeer::~WebSocketPeer() = default;

void WebSocketPeer::sendWithUpgrade(std::string bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  upgradeTail_ = std::move(bytes);
}

void WebSocketPeer::serve(int fd, const RecordedRequest& request) {
  const auto upgrade = request.header("Upgrade");
  const auto key = request.header("Sec-WebSocket-Key");
  if (request.method != "GET" || !upgrade || !containsIgnoreCase(*upgrade, "websocket") || !key) {
    writeAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }

  auto state = std::make_shared<WebSocketSession::State>();
  std::string answer = upgradeAnswer(*key);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answer += upgradeTail_;
    sessions_.push_back(state);
  }
  changed_.notify_all();

  WebSocketSession session(fd, request, *this, state);
  if (session.write(answer)) {
    state->written.store(0, std::memory_order_relaxed);
    if (script_) {
      script_(session);
    } else {
      session.recordUntilClosed();
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state->disconnected = true;
  }
  changed_.notify_all();
}

std::shared_ptr<WebSocketSession::State> WebSocketPeer::stateOf(std::size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= sessions_.size()) return nullptr;
  return sessions_[index];
}

std::size_t WebSocketPeer::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}

bool WebSocketPeer::waitForConnections(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return sessions_.size() >= n; });
}

std::vector<ClientFrame> WebSocketPeer::frames(std::size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= sessions_.size()) return {};
  return sessions_[index]->frames;
}

bool WebSocketPeer::waitForFrames(std::size_t index, std::size_t n,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return index < sessions_.size() && sessions_[index]->frames.size() >= n;
  });
}

bool WebSocketPeer::waitForDisconnect(std::size_t index, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(
      lock, timeout, [&] { return index < sessions_.size() && sessions_[index]->disconnected; });
}

bool WebSocketPeer::endedByReset(std::size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index < sessions_.size() && sessions_[index]->reset;
}

std::uint64_t WebSocketPeer::bytesWritten(std::size_t index) const {
  const auto state = stateOf(index);
  return state ? state->written.load(std::memory_order_relaxed) : 0;
}

void WebSocketPeer::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++releases_;
  }
  changed_.notify_all();
}

}  // namespace strandel::testing_util
