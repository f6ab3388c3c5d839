#pragma once

#include <atomic>
#include <utility>

#include <strandel/websocket_stream.hpp>

namespace strandel::python {

/// The Python object behind strandel.Stream: one WebSocketStream. Calls run with the GIL released,
/// so two Python threads could otherwise reach the stream at once; a call that finds another one
/// running raises RuntimeError "the stream is in use by another thread" instead.
class Stream {
 public:
  explicit Stream(WebSocketStream stream) noexcept : stream_(std::move(stream)) {}
  /// Closes the stream (up to its close bound), with the GIL released when this thread holds it.
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

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
  std::atomic<bool> busy_{false};
};

}  // namespace strandel::python
