#pragma once

// The stand-in's network side: one TCP acceptor on one io_context serving HTTP/1.1 (keep-alive)
// and WebSocket upgrades on the same port, which moves bytes between the connections and the
// bridge (bridge.hpp); a timer that ticks the bridge's clock; per-request fault injection and
// latency. Everything runs on the thread that runs the io_context.
// When the process runs out of descriptors (or memory) for a new connection, accepting pauses for
// 50 ms at a time, leaving the connection in the listen queue, and resumes once some are free;
// such failures are reported on stderr at most once a second.
// Resources are bounded by the options: a connection beyond max_connections is answered 503 and
// closed; an answer whose body would pass max_unsent_bytes on its connection, or (when larger
// than kAlwaysSentBytes) max_total_unsent_bytes over all connections, is replaced by a 503 (the
// request was carried out), and a stream message is dropped like a skipped tick; a request must be
// complete within request_timeout_ms of its first byte (a new connection's first request, of the
// connection), and a kept-alive connection is closed after 60 s without one.

#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "options.hpp"

namespace strandel::mock_bridge {

struct ServerState;

class Server {
 public:
  /// Binds and listens at once; throws boost::system::system_error when the address cannot be
  /// bound. Nothing is served until start().
  Server(boost::asio::io_context& ioc, const Options& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// The bound port (the one the system chose when the options asked for 0).
  std::uint16_t port() const;
  /// "http://HOST:PORT/" with an IPv6 host in brackets.
  std::string url() const;

  /// Starts accepting connections and stepping the simulation.
  void start();
  /// Stops accepting, closes every connection, cancels every timer and drops pending answers, so
  /// that the io_context runs out of work. Safe to call more than once.
  void stop();

 private:
  std::shared_ptr<ServerState> impl_;
};

}  // namespace strandel::mock_bridge
