#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include <pybind11/pybind11.h>

#include <strandel/websocket_stream.hpp>

namespace strandel::python {

/// The Python object behind strandel.Stream: one WebSocketStream. Calls run with the GIL released,
/// so two Python threads could otherwise reach the stream at once; a call that finds another one
/// running raises RuntimeError "the stream is in use by another thread" instead.
class Stream {
 public:
  /// `ends_at_peer_close`: the bridge's close frame ends the stream (false for a stream opened
  /// with reconnect and reconnect_after_close, which reopens after it). `on_reconnect`: the
  /// handler the stream's options report reopens to (ReconnectHandler in bindings.hpp).
  explicit Stream(WebSocketStream stream, bool ends_at_peer_close = true,
                  std::shared_ptr<pybind11::object> on_reconnect = {}) noexcept
      : stream_(std::move(stream)),
        endsAtPeerClose_(ends_at_peer_close),
        onReconnect_(std::move(on_reconnect)) {}
  /// Closes the stream (up to its close bound), with the GIL released when this thread holds it.
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  /// Whether the bridge's close frame ends the stream (see the constructor).
  bool endsAtPeerClose() const noexcept { return endsAtPeerClose_; }

  /// The handler reopens are reported to; null for a stream made without one. Use with the GIL.
  const std::shared_ptr<pybind11::object>& onReconnect() const noexcept { return onReconnect_; }

  /// Exclusive use of the stream for the guard's lifetime.
  class Use {
   public:
    /// Throws std::runtime_error "the stream is in use by another thread".
    explicit Use(Stream& owner);
    ~Use() { owner_.busy_.store(false, std::memory_order_release); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    WebSocketStream& stream() noexcept { return owner_.stream_; }

   private:
    Stream& owner_;
  };

 private:
  WebSocketStream stream_;
  const bool endsAtPeerClose_;
  const std::shared_ptr<pybind11::object> onReconnect_;
  std::atomic<bool> busy_{false};
};

}  // namespace strandel::python
