#include <strandel/websocket_stream.hpp>

#include <poll.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <curl/curl.h>

namespace strandel {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes asked of curl_ws_recv per read.
constexpr std::size_t kChunkBytes = 4096;
// CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG: frames whose payload receive() drops.
constexpr int kControlFrameFlags = CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG;
// A frame's announced length reserves room up front only up to this many bytes; longer frames
// grow the buffer as their bytes arrive, so a hostile length cannot claim memory by itself.
constexpr curl_off_t kMaxFrameReservation = curl_off_t{16} << 20;

CURL* curlOf(void* handle) noexcept { return static_cast<CURL*>(handle); }

std::runtime_error curlFailure(const char* prefix, CURLcode code) {
  return std::runtime_error(std::string(prefix) + curl_easy_strerror(code));
}

// Blocks until the connection's socket can take more bytes or `deadline` has passed, whichever
// comes first. Spurious early returns are harmless: the caller offers its bytes again.
void waitUntilWritable(CURL* handle, Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return;
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD) {
    // No socket to watch: back off briefly instead of spinning.
    std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(1)));
    return;
  }
  const auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  pollfd entry{socket, POLLOUT, 0};
  ::poll(&entry, 1, static_cast<int>(std::min<decltype(left_ms)>(left_ms, INT_MAX)));
}

}  // namespace

WebSocketStream::WebSocketStream(void* handle, std::chrono::milliseconds send_timeout) noexcept
    : handle_(handle), sendTimeout_(send_timeout) {}

WebSocketStream::WebSocketStream(WebSocketStream&& other) noexcept { takeOver(other); }

WebSocketStream& WebSocketStream::operator=(WebSocketStream&& other) noexcept {
  if (this != &other) {
    close();
    takeOver(other);
  }
  return *this;
}

WebSocketStream::~WebSocketStream() { close(); }

void WebSocketStream::takeOver(WebSocketStream& other) noexcept {
  handle_ = std::exchange(other.handle_, nullptr);
  buffer_ = std::move(other.buffer_);
  other.buffer_.clear();
  sendTimeout_ = other.sendTimeout_;
}

void WebSocketStream::send(std::string_view message) {
  if (handle_ == nullptr) throw std::runtime_error("send() called on a closed WebSocketStream");
  CURL* const handle = curlOf(handle_);
  const auto deadline = Clock::now() + sendTimeout_;
  const char* const data = message.empty() ? "" : message.data();
  std::size_t count = 0;
  for (;;) {
    std::size_t sent = 0;
    const CURLcode code = curl_ws_send(handle, data + count, message.size() - count, &sent, 0, CURLWS_TEXT);
    count += sent;
    if (code == CURLE_OK && count == message.size()) return;
    if (code != CURLE_OK && code != CURLE_AGAIN) throw curlFailure("WebSocket send failed: ", code);
    if (code == CURLE_OK && sent > 0) continue;
    // Nothing was taken: the peer is not reading fast enough. Wait for room, within the bound.
    if (Clock::now() >= deadline) {
      throw std::runtime_error("WebSocket send timed out after " + std::to_string(sendTimeout_.count()) +
                               " ms");
    }
    waitUntilWritable(handle, deadline);
  }
}

std::optional<std::string> WebSocketStream::receive() {
  if (handle_ == nullptr) throw std::runtime_error("receive() called on a closed WebSocketStream");
  CURL* const handle = curlOf(handle_);
  char chunk[kChunkBytes];
  for (;;) {
    std::size_t received = 0;
    const curl_ws_frame* meta = nullptr;
    const CURLcode code = curl_ws_recv(handle, chunk, sizeof chunk, &received, &meta);
    if (code == CURLE_AGAIN) return std::nullopt;
    if (code != CURLE_OK) throw curlFailure("WebSocket receive failed: ", code);
    if (meta != nullptr && (meta->flags & kControlFrameFlags) != 0) continue;

    if (meta != nullptr && meta->offset == 0 && meta->bytesleft > 0) {
      // The first chunk of a longer frame: make room for the whole frame at once.
      const curl_off_t announced = static_cast<curl_off_t>(received) + meta->bytesleft;
      buffer_.reserve(static_cast<std::size_t>(std::min(announced, kMaxFrameReservation)));
    }
    buffer_.append(chunk, received);
    if (meta == nullptr || meta->bytesleft == 0) {
      std::optional<std::string> message(std::move(buffer_));
      buffer_.clear();
      return message;
    }
  }
}

void WebSocketStream::close() noexcept {
  if (handle_ == nullptr) return;
  CURL* const handle = curlOf(handle_);
  std::size_t sent = 0;
  // A close frame without status code; the connection is released whatever libcurl answers.
  static_cast<void>(curl_ws_send(handle, "", 0, &sent, 0, CURLWS_CLOSE));
  curl_easy_cleanup(handle);
  handle_ = nullptr;
}

}  // namespace strandel
