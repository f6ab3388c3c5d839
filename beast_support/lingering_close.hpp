#pragma once

// The end of an HTTP connection after an answer that closes it, shared by the project's two
// Boost.Beast servers (the stand-in bridge and the command line's live view). Header-only.

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>

namespace strandel::beast_support {

/// What a connection that is being closed lingers with: a buffer for the bytes it drops, their
/// count so far, and its bounds.
struct Lingering {
  std::chrono::steady_clock::duration time = std::chrono::seconds(2);
  std::size_t max_bytes = 64 * 1024;
  std::array<char, 4096> scratch{};
  std::size_t drained = 0;
};

namespace detail {

template <typename Owner, typename Stopped>
void drain(std::shared_ptr<Owner> owner, boost::beast::tcp_stream& stream, Lingering& lingering,
           Stopped stopped) {
  stream.async_read_some(boost::asio::buffer(lingering.scratch),
                         [owner = std::move(owner), &stream, &lingering, stopped](
                             boost::beast::error_code ec, std::size_t n) mutable {
                           lingering.drained += n;
                           if (ec || lingering.drained > lingering.max_bytes || stopped()) {
                             stream.close();
                             return;
                           }
                           drain(std::move(owner), stream, lingering, std::move(stopped));
                         });
}

}  // namespace detail

/// Ends the connection of `stream` after an answer that closes it: stops sending, then reads and
/// drops what the client still sends (for at most lingering.time and lingering.max_bytes, or
/// until stopped() is true) before closing, so that unread request bytes do not make the kernel
/// reset the connection and destroy the answer before the client has read it. `owner` keeps
/// `stream` and `lingering` alive until then. Runs on the stream's executor.
template <typename Owner, typename Stopped>
void closeLingering(std::shared_ptr<Owner> owner, boost::beast::tcp_stream& stream,
                    Lingering& lingering, Stopped stopped) {
  boost::beast::error_code ignored;
  stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  stream.expires_after(lingering.time);
  detail::drain(std::move(owner), stream, lingering, std::move(stopped));
}

}  // namespace strandel::beast_support
