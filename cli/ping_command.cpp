#include "ping_command.hpp"

#include <chrono>
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "interrupt.hpp"

namespace strandel_cli {
namespace {

std::string milliseconds(std::chrono::steady_clock::duration elapsed) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms",
                std::chrono::duration<double, std::milli>(elapsed).count());
  return text;
}

int runPing(const BridgeOptions& bridge) {
  const auto client = makeClient(bridge);
  const std::string url = requestUrl(*client, "");
  const auto start = std::chrono::steady_clock::now();
  try {
    const strandel::HttpResponse response = client->get("");
    const std::string elapsed = milliseconds(std::chrono::steady_clock::now() - start);
    std::cout << url << ": answered " << response.status << " in " << elapsed << std::endl;
    if (response.status < 200 || response.status > 299) {
      throw Failure(kRefused, "GET " + url + ": " + strandel::HTTPError(response.status, {}).what(),
                    response.body);
    }
    return kSuccess;
  } catch (const Failure&) {
    throw;
  } catch (const Interrupted&) {
    rethrowAsFailure("GET " + url);
  } catch (...) {
    std::cout << url << ": no answer after "
              << milliseconds(std::chrono::steady_clock::now() - start) << std::endl;
    rethrowAsFailure("GET " + url);
  }
}

}  // namespace

void addPingCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands) {
  CLI::App* sub = app.add_subcommand(
      "ping",
      "Send one GET of the bridge's root and print whether it answered and the round trip in ms.\n"
      "Exit status 0 for a 2xx answer, 1 for another answer, 3 for no answer, 130 for Ctrl-C.");
  sub->footer("Example:\n  strandel ping --url http://127.0.0.1:8211/");
  commands[sub] = [&bridge] { return runPing(bridge); };
}

}  // namespace strandel_cli
