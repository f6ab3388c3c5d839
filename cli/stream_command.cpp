#include "stream_command.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "body_text.hpp"
#include "interrupt.hpp"

namespace strandel_cli {
namespace {

using Clock = std::chrono::steady_clock;

/// Longest single wait in receive: how soon SIGINT is noticed should it not cut the wait short.
constexpr auto kInterruptCheck = std::chrono::milliseconds(200);

constexpr char kJointPositions[] = "stream_joint_positions";
constexpr char kArticulationState[] = "stream_articulation_state";

struct StreamRequest {
  std::string path;
  long long count = 0;
  double seconds = 0.0;
  bool rate = false;
  bool reconnect = false;
  double idle_timeout_seconds = 0.0;
};

double millisecondsOf(Clock::duration elapsed) {
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

/// Message counts and arrival gaps for --rate: one line per second and a summary.
class RateMeter {
 public:
  explicit RateMeter(Clock::time_point start) : start_(start), windowStart_(start) {}

  void onMessage(Clock::time_point at) {
    if (total_ > 0) {
      windowGap_ = std::max(windowGap_, at - last_);
      largestGap_ = std::max(largestGap_, at - last_);
    }
    last_ = at;
    ++windowCount_;
    ++total_;
  }

  /// When the current one-second window ends.
  Clock::time_point windowEnd() const { return windowStart_ + std::chrono::seconds(1); }

  /// Prints the window's line once it has ended and starts the next one.
  void reportIfDue(Clock::time_point now) {
    if (now < windowEnd()) return;
    const double seconds = std::chrono::duration<double>(now - windowStart_).count();
    std::printf("%.1f msg/s, largest gap %s\n", static_cast<double>(windowCount_) / seconds,
                gapText(windowGap_).c_str());
    std::fflush(stdout);
    windowStart_ = now;
    windowCount_ = 0;
    windowGap_ = Clock::duration::zero();
  }

  void summary(Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::printf("%lld messages in %.2f s: average %.1f msg/s, largest gap %s\n", total_, seconds,
                seconds > 0 ? static_cast<double>(total_) / seconds : 0.0,
                gapText(largestGap_).c_str());
    std::fflush(stdout);
  }

 private:
  static std::string gapText(Clock::duration gap) {
    if (gap == Clock::duration::zero()) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", millisecondsOf(gap));
    return text;
  }

  Clock::time_point start_;
  Clock::time_point windowStart_;
  Clock::time_point last_{};  // arrival of the latest message, when total_ > 0
  long long windowCount_ = 0;
  long long total_ = 0;
  Clock::duration windowGap_ = Clock::duration::zero();
  Clock::duration largestGap_ = Clock::duration::zero();
};

std::string closeText(const strandel::WebSocketStream& stream) {
  std::string text;
  if (stream.closeCode()) text = std::to_string(*stream.closeCode());
  if (!stream.closeReason().empty()) text += (text.empty() ? "" : " ") + stream.closeReason();
  return text.empty() ? "" : " (" + text + ")";
}

/// The options of a stream opened with --reconnect: it reopens after a transport failure, an idle
/// time-out or the bridge's close frame, and says so on stderr each time. A refused reopen (e.g.
/// 404 once the articulation is gone) ends it with the HandshakeError.
strandel::StreamOptions reconnectingOptions(const StreamRequest& request,
                                            const std::string& label) {
  strandel::StreamOptions options;
  options.reconnect = true;
  options.reconnect_after_close = true;
  options.idle_timeout =
      std::chrono::milliseconds(std::llround(request.idle_timeout_seconds * 1000.0));
  options.on_reconnect = [label](const strandel::ReconnectReport& report) {
    std::cout.flush();
    std::cerr << label << ": reconnected (" << report.reconnects << " so far) after "
              << report.downtime.count() << " ms: " << report.reason << std::endl;
  };
  return options;
}

strandel::WebSocketStream openStream(strandel::IsaacSimClient& client, const StreamPath& path,
                                     const StreamRequest& request, const std::string& label) {
  const bool positions = path.kind == StreamPath::Kind::JointPositions;
  if (!request.reconnect) {
    return positions ? client.openJointPositionStream(path.articulation_id)
                     : client.openArticulationStateStream(path.articulation_id);
  }
  const strandel::StreamOptions options = reconnectingOptions(request, label);
  return positions ? client.openJointPositionStream(path.articulation_id, options)
                   : client.openArticulationStateStream(path.articulation_id, options);
}

int runStream(const StreamRequest& request, const BridgeOptions& bridge) {
  const std::optional<StreamPath> path = parseStreamPath(request.path);
  if (!path) {
    throw UsageError("cannot open the stream '" + request.path +
                     "': the path must be articulations/ID/" + kJointPositions +
                     " or articulations/ID/" + kArticulationState);
  }
  const auto client = makeClient(bridge);
  const bool positions = path->kind == StreamPath::Kind::JointPositions;
  const std::string label = "STREAM " + client->websocketBaseUrl() + "articulations/" +
                            path->articulation_id + "/" +
                            (positions ? kJointPositions : kArticulationState);

  try {
    strandel::WebSocketStream stream = openStream(*client, *path, request, label);
    const auto start = Clock::now();
    const auto deadline = request.seconds > 0
                              ? start + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(request.seconds))
                              : Clock::time_point::max();
    RateMeter meter(start);
    long long received = 0;
    while (!interrupted() && (request.count == 0 || received < request.count)) {
      const auto now = Clock::now();
      if (now >= deadline) break;
      if (request.rate) meter.reportIfDue(now);
      const auto until =
          std::min(deadline, request.rate ? meter.windowEnd() : Clock::time_point::max());
      const auto wait = std::min<Clock::duration>(until - now, kInterruptCheck);
      std::optional<std::string> message;
      try {
        message = stream.receive(std::chrono::ceil<std::chrono::milliseconds>(wait));
      } catch (const Interrupted&) {
        break;  // Ctrl-C during a reopen's handshake ends the open stream as it always does
      }
      if (!message) {
        // A close from the bridge ends the stream (unless it reopens): what came before it has
        // been printed.
        if (!request.reconnect && stream.peerClosed()) {
          throw Failure(kTransport, label + ": the bridge closed the stream after " +
                                        std::to_string(received) + " messages" + closeText(stream));
        }
        continue;
      }
      ++received;
      const std::optional<std::string> line = compactLine(*message);
      if (!line) {
        throw Failure(kMalformed, label + ": message " + std::to_string(received) +
                                      " is not JSON: " + *message);
      }
      if (request.rate) {
        meter.onMessage(Clock::now());
      } else {
        std::cout << *line << std::endl;
      }
    }
    stream.close();
    if (request.rate) meter.summary(Clock::now());
  } catch (...) {
    rethrowAsFailure(label);
  }
  return kSuccess;
}

}  // namespace

std::optional<StreamPath> parseStreamPath(std::string_view path) {
  const std::size_t first = path.find_first_not_of('/');
  if (first == std::string_view::npos) return std::nullopt;
  path.remove_prefix(first);
  constexpr std::string_view kPrefix = "articulations/";
  if (path.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  path.remove_prefix(kPrefix.size());
  const std::size_t slash = path.find('/');
  if (slash == 0 || slash == std::string_view::npos) return std::nullopt;
  StreamPath result;
  result.articulation_id = std::string(path.substr(0, slash));
  const std::string_view rest = path.substr(slash + 1);
  if (rest == kJointPositions) {
    result.kind = StreamPath::Kind::JointPositions;
  } else if (rest == kArticulationState) {
    result.kind = StreamPath::Kind::ArticulationState;
  } else {
    return std::nullopt;
  }
  return result;
}

void addStreamCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands) {
  CLI::App* sub = app.add_subcommand(
      "stream",
      std::string(
          "Print the messages of an articulation stream, one compact JSON text per line, until\n"
          "--count messages arrived, --seconds passed or Ctrl-C. PATH is articulations/ID/") +
          kJointPositions + "\nor articulations/ID/" + kArticulationState +
          ", below the WebSocket URL.");
  auto request = std::make_shared<StreamRequest>();
  sub->add_option("PATH", request->path, "the stream's path")->required();
  sub->add_option("-n,--count", request->count, "stop after this many messages (default: no limit)")
      ->check(CLI::Range(1LL, static_cast<long long>(1) << 62));
  sub->add_option("-s,--seconds", request->seconds,
                  "stop after this many seconds (default: no limit)")
      ->check(CLI::Range(0.001, 1e9));
  sub->add_flag(
      "--rate", request->rate,
      "print messages per second and the largest gap between messages once a second, and a summary "
      "at the end, instead of the messages");
  CLI::Option* reconnect = sub->add_flag(
      "--reconnect", request->reconnect,
      "reopen the stream whenever its connection ends (the bridge restarting, dropped or closing "
      "it), each reopen told on stderr with the count so far and the reason; a reopen the bridge "
      "refuses (e.g. 404 once the articulation is gone) ends it with status 1");
  sub->add_option("--idle-timeout", request->idle_timeout_seconds,
                  "with --reconnect: reopen after this many seconds without a message")
      ->check(CLI::Range(0.001, 1e6))
      ->needs(reconnect);
  sub->footer(
      "Examples:\n  strandel stream articulations/arm/stream_joint_positions --count 5\n"
      "  strandel stream articulations/arm/stream_articulation_state --rate --seconds 10\n"
      "  strandel stream articulations/arm/stream_joint_positions --reconnect --idle-timeout 2");
  commands[sub] = [request, &bridge] { return runStream(*request, bridge); };
}

}  // namespace strandel_cli
