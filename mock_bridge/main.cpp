// strandel-mock-bridge: a local stand-in for the Isaac Sim bridge. See --help and
// docs/bridge-protocol.md.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/system_error.hpp>

#include "options.hpp"
#include "server.hpp"

namespace {

constexpr auto kStopGrace = std::chrono::seconds(3);

}  // namespace

int main(int argc, char** argv) {
  using namespace strandel::mock_bridge;
  Options options;
  try {
    options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::cerr << "strandel-mock-bridge: " << e.what() << "\n";
    return 2;
  }
  if (options.help) {
    std::cout << usageText();
    return 0;
  }
  std::signal(SIGPIPE, SIG_IGN);

  // The io_context outlives the server, so that nothing a handler owns outlives its services.
  boost::asio::io_context ioc;
  std::optional<Server> server;
  try {
    server.emplace(ioc, options);
  } catch (const boost::system::system_error& e) {
    std::cerr << "strandel-mock-bridge: cannot listen on " << options.host << " port "
              << options.port << ": " << e.code().message() << "\n";
    return 1;
  }
  server->start();
  std::cout << "listening on " << server->url() << std::endl;

  bool stopping = false;
  std::chrono::steady_clock::time_point deadline;
  boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int signal) {
    if (ec) return;
    std::cerr << "strandel-mock-bridge: signal " << signal << ", stopping" << std::endl;
    stopping = true;
    deadline = std::chrono::steady_clock::now() + kStopGrace;
    server->stop();
  });

  // Runs until stop() has let every operation finish; a connection that refuses to finish within
  // the grace period ends the process without the usual clean-up.
  while (!ioc.stopped()) {
    ioc.run_for(std::chrono::milliseconds(200));
    if (stopping && !ioc.stopped() && std::chrono::steady_clock::now() > deadline) {
      std::cerr << "strandel-mock-bridge: connections did not close in time" << std::endl;
      std::_Exit(1);
    }
  }
  std::cerr << "strandel-mock-bridge: stopped" << std::endl;
  return 0;
}
