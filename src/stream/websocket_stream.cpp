#include <strandel/websocket_stream.hpp>

#include <stdexcept>
#include <string>
#include <utility>

#include <curl/curl.h>

#include <strandel/errors.hpp>

#include "websocket_connection.hpp"

namespace strandel {
namespace {

void requireNonNegative(std::chrono::milliseconds wait) {
  if (wait < std::chrono::milliseconds::zero()) {
    throw std::invalid_argument("wait must not be negative");
  }
}

}  // namespace

WebSocketStream::WebSocketStream(void* handle, std::string url,
                                 std::chrono::milliseconds send_timeout,
                                 std::size_t max_message_bytes) {
  CURL* const curl = static_cast<CURL*>(handle);
  try {
    connection_ = std::make_unique<detail::WebSocketConnection>(curl, std::move(url), send_timeout,
                                                                max_message_bytes);
  } catch (...) {
    curl_easy_cleanup(curl);
    throw;
  }
}

WebSocketStream::WebSocketStream(WebSocketStream&& other) noexcept = default;

WebSocketStream& WebSocketStream::operator=(WebSocketStream&& other) noexcept {
  if (this != &other) {
    close();
    connection_ = std::move(other.connection_);
  }
  return *this;
}

WebSocketStream::~WebSocketStream() = default;

void WebSocketStream::send(std::string_view message) {
  if (!isOpen()) throw StreamClosedError("send() called on a closed WebSocketStream");
  connection_->send(message);
}

std::optional<std::string> WebSocketStream::receive() {
  if (!isOpen()) throw StreamClosedError("receive() called on a closed WebSocketStream");
  return connection_->receiveFrame();
}

std::optional<std::string> WebSocketStream::receive(std::chrono::milliseconds wait) {
  requireNonNegative(wait);
  if (!isOpen()) throw StreamClosedError("receive() called on a closed WebSocketStream");
  return connection_->receiveMessage(wait);
}

bool WebSocketStream::peerClosed() const noexcept {
  return connection_ && connection_->peerClosed();
}

std::optional<int> WebSocketStream::closeCode() const noexcept {
  return connection_ ? connection_->closeCode() : std::nullopt;
}

const std::string& WebSocketStream::closeReason() const noexcept {
  static const std::string kNone;
  return connection_ ? connection_->closeReason() : kNone;
}

std::size_t WebSocketStream::reconnects() const noexcept {
  return connection_ ? connection_->reconnects() : 0;
}

void WebSocketStream::close() noexcept {
  if (connection_) connection_->close();
}

bool WebSocketStream::isOpen() const noexcept { return connection_ && connection_->isOpen(); }

std::vector<std::size_t> waitForAny(const std::vector<WebSocketStream*>& streams,
                                    std::chrono::milliseconds wait) {
  requireNonNegative(wait);
  std::vector<const detail::WebSocketConnection*> connections;
  connections.reserve(streams.size());
  for (const WebSocketStream* stream : streams) {
    connections.push_back(stream != nullptr ? stream->connection_.get() : nullptr);
  }
  return detail::waitForAnyConnection(connections, wait);
}

std::vector<std::size_t> waitForAny(std::vector<WebSocketStream>& streams,
                                    std::chrono::milliseconds wait) {
  std::vector<WebSocketStream*> pointers;
  pointers.reserve(streams.size());
  for (WebSocketStream& stream : streams) pointers.push_back(&stream);
  return waitForAny(pointers, wait);
}

}  // namespace strandel
