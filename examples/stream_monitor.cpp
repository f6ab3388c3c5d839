// stream_monitor: watches an articulation's stream for a while and reports what arrives: every
// Nth message, the message rate and any gaps in the sequence numbers. Without --articulation it
// creates a default arm, sets it moving, and removes it at the end.

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include <strandel/isaacsim_client.hpp>

#include "example_support.hpp"

namespace {

using strandel::json;
using Clock = std::chrono::steady_clock;

void run(const strandel_examples::CommandLine& line) {
  auto client = line.makeClient();
  strandel_examples::Cleanup cleanup;
  const std::string kind = line.text("--kind");
  if (kind != "positions" && kind != "state")
    throw std::runtime_error("--kind must be positions or state, not '" + kind + "'");

  std::string id = line.text("--articulation");
  if (id.empty()) {
    id = client->articulations.create("/World/stream_monitor_arm").at("articulation_id");
    cleanup.add([&client, id] { client->articulations.remove(id); });
    std::cout << "stream_monitor: created articulation '" << id << "' to watch\n";
  }
  strandel::WebSocketStream stream = kind == "positions"
                                         ? client->articulations.streamJointPositions(id)
                                         : client->articulations.streamArticulationState(id);
  std::cout << "stream_monitor: watching the " << kind << " stream of '" << id << "' on "
            << client->websocketBaseUrl() << "\n";
  if (!cleanup.empty()) {
    // Something to watch: send targets through the stream itself.
    stream.send(R"({"joint_positions":[0.8,0.4,0.9],"indices":[0,1,2]})");
  }

  const auto seconds = std::chrono::duration<double>(line.number("--seconds"));
  const int every = std::max(1, line.integer("--print-every"));
  long long received = 0;
  long long gaps = 0;
  std::optional<unsigned long long> last;
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration_cast<Clock::duration>(seconds);
  for (auto now = start; now < until; now = Clock::now()) {
    // Sleeps until a message is complete or the watch ends; no polling loop.
    const std::optional<std::string> message =
        stream.receive(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    if (!message) {
      if (stream.peerClosed()) {
        std::cout << "  the bridge closed the stream (" << stream.closeCode().value_or(0) << " "
                  << stream.closeReason() << ")\n";
        break;
      }
      continue;
    }
    const json update = json::parse(*message);
    if (update.contains("error")) {
      std::cout << "  the bridge refused a message: " << update.dump() << "\n";
      continue;
    }
    const unsigned long long sequence = update.value("sequence", 0ull);
    if (last && sequence != *last + 1) ++gaps;
    last = sequence;
    if (received++ % every == 0) std::cout << "  " << update.dump() << "\n";
  }
  stream.close();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("stream_monitor: %lld messages in %.2f s (%.1f per second), %lld sequence gaps\n",
              received, elapsed, received / elapsed, gaps);
  if (received == 0)
    throw std::runtime_error("no message arrived within " + line.text("--seconds") + " s");
}

}  // namespace

int main(int argc, char** argv) {
  strandel_examples::CommandLine line(
      "stream_monitor",
      "Watches an articulation's joint-position or state stream and reports what arrives.",
      {{"--articulation", "", "identifier of the articulation to watch (default: create one)"},
       {"--kind", "state", "positions or state"},
       {"--seconds", "3", "how long to watch"},
       {"--print-every", "15", "print every Nth message"}});
  line.parse(argc, argv);
  return strandel_examples::runExample(line, [&] { run(line); });
}
