#include "stream_command.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "body_text.hpp"
#include "interrupt.hpp"
#include "new_file.hpp"
#include "rate_stats.hpp"
#include "recording.hpp"

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
  std::size_t window = RateStats::kDefaultWindow;
  bool reconnect = false;
  double idle_timeout_seconds = 0.0;
  std::string out;  // empty or "-": the messages go to stdout as they are
  bool force = false;

  bool recording() const { return !out.empty() && out != "-"; }
};

/// Where the messages go: a recording file (JSON Lines stamped with time and offset, reopens
/// included) or stdout (each message as it is, unless --rate prints statistics instead). A write
/// error is kept until throwIfFailed, since a reopen is told inside the library's receive call,
/// which does not let the hook's exceptions through.
class MessageSink {
 public:
  explicit MessageSink(const StreamRequest& request) : request_(request) {}

  /// Creates the recording file (after the stream opened, so that a bridge that cannot be
  /// reached leaves no file behind and a replaced file is kept). Throws Failure(kUsage).
  void open() {
    if (!request_.recording()) {
      if (!request_.rate) file_.emplace(NewFile::standardOutput());
      return;
    }
    try {
      file_.emplace(request_.out,
                    request_.force ? NewFile::Existing::Truncate : NewFile::Existing::Refuse);
    } catch (const std::exception& e) {
      std::error_code ignored;
      const bool file_there = std::filesystem::symlink_status(request_.out, ignored).type() ==
                              std::filesystem::file_type::regular;
      throw Failure(kUsage,
                    "cannot create '" + request_.out + "': " + e.what() +
                        (file_there && !request_.force ? " (--force replaces a file)" : ""));
    }
  }

  void message(const std::string& compact_json) {
    if (!file_) return;
    write(request_.recording() ? messageLine(timeline_.now(), compact_json) : compact_json + "\n");
    ++messages_;
  }

  /// Ends a recording with the line saying how it ended (`end.messages` is filled in here); a
  /// recording ends once. Throws Failure(kUsage) when the line cannot be written.
  void end(RecordingEnd end) {
    if (!file_ || !request_.recording() || ended_) return;
    ended_ = true;
    end.messages = messages_;
    write(endLine(timeline_.now(), end));
  }

  /// end() on a path that already fails (perhaps for want of room on the disk): a failure to
  /// write the line is dropped, and the file still ends with a whole line.
  void endIgnoringErrors(RecordingEnd end) noexcept {
    try {
      this->end(std::move(end));
    } catch (...) {}
  }

  /// Records a reopen; never throws (see throwIfFailed).
  void reconnected(const strandel::ReconnectReport& report) noexcept {
    if (!file_ || !request_.recording() || failure_) return;
    try {
      write(reconnectLine(timeline_.now(), report));
    } catch (const Failure& e) {
      failure_ = e.what();
    } catch (const std::exception& e) {
      failure_ = e.what();  // no memory
    }
  }

  void throwIfFailed() const {
    if (failure_) throw Failure(kUsage, *failure_);
  }

  /// Closes the recording file; throws Failure(kUsage) when closing reports a failed write.
  void close() {
    if (!file_) return;
    try {
      file_->close();
    } catch (const std::exception& e) {
      throw Failure(kUsage, "cannot write " + name() + ": " + e.what());
    }
  }

 private:
  std::string name() const {
    return request_.recording() ? "'" + request_.out + "'" : "to standard output";
  }
  void write(const std::string& line) {
    try {
      file_->write(line);
    } catch (const std::exception& e) {
      throw Failure(kUsage, "cannot write " + name() + ": " + e.what());
    }
  }

  const StreamRequest& request_;
  std::optional<NewFile> file_;
  Timeline timeline_;
  std::optional<std::string> failure_;
  long long messages_ = 0;
  bool ended_ = false;
};

/// The lines of --rate on stdout: formatRate once a second and a summary at the end.
class RateReport {
 public:
  RateReport(std::size_t window, Clock::time_point start)
      : stats_(window), start_(start), next_(start + std::chrono::seconds(1)) {}

  void onMessage(Clock::time_point at) { stats_.add(at); }

  /// When the next once-a-second line is due.
  Clock::time_point due() const { return next_; }

  /// Prints the line once it is due; the next one is due a second later (or a second from now
  /// when the wait overran by more than that).
  void reportIfDue(Clock::time_point now) {
    if (now < next_) return;
    print(formatRate(stats_.summary()));
    next_ += std::chrono::seconds(1);
    if (next_ <= now) next_ = now + std::chrono::seconds(1);
  }

  /// Prints "summary after S s: " and the rate line. Throws Failure(kUsage) when stdout refuses.
  void summary(Clock::time_point now) {
    char head[64];
    std::snprintf(head, sizeof head,
                  "summary after %.2f s: ", std::chrono::duration<double>(now - start_).count());
    print(head + formatRate(stats_.summary()));
  }

  /// The summary on a path that already fails: a failure to print it is dropped.
  void summaryIgnoringErrors(Clock::time_point now) noexcept {
    try {
      summary(now);
    } catch (...) {}
  }

 private:
  void print(const std::string& line) {
    try {
      out_.write(line + "\n");
    } catch (const std::exception& e) {
      throw Failure(kUsage, std::string("cannot write to standard output: ") + e.what());
    }
  }

  RateStats stats_;
  Clock::time_point start_;
  Clock::time_point next_;
  NewFile out_ = NewFile::standardOutput();
};

std::string closeText(const strandel::WebSocketStream& stream) {
  std::string text;
  if (stream.closeCode()) text = std::to_string(*stream.closeCode());
  if (!stream.closeReason().empty()) text += (text.empty() ? "" : " ") + stream.closeReason();
  return text.empty() ? "" : " (" + text + ")";
}

/// The options of a stream opened with --reconnect: it reopens after a transport failure, an idle
/// time-out or the bridge's close frame, and says so on stderr (and in the recording) each time. A
/// refused reopen (e.g. 404 once the articulation is gone) ends it with the HandshakeError.
strandel::StreamOptions reconnectingOptions(const StreamRequest& request, const std::string& label,
                                            MessageSink& sink) {
  strandel::StreamOptions options;
  options.reconnect = true;
  options.reconnect_after_close = true;
  options.idle_timeout =
      std::chrono::milliseconds(std::llround(request.idle_timeout_seconds * 1000.0));
  options.on_reconnect = [label, &sink](const strandel::ReconnectReport& report) {
    sink.reconnected(report);
    std::cout.flush();
    std::cerr << label << ": reconnected (" << report.reconnects << " so far) after "
              << report.downtime.count() << " ms: " << report.reason << std::endl;
  };
  return options;
}

strandel::WebSocketStream openStream(strandel::IsaacSimClient& client, const StreamPath& path,
                                     const StreamRequest& request, const std::string& label,
                                     MessageSink& sink) {
  const bool positions = path.kind == StreamPath::Kind::JointPositions;
  if (!request.reconnect) {
    return positions ? client.openJointPositionStream(path.articulation_id)
                     : client.openArticulationStateStream(path.articulation_id);
  }
  const strandel::StreamOptions options = reconnectingOptions(request, label, sink);
  return positions ? client.openJointPositionStream(path.articulation_id, options)
                   : client.openArticulationStateStream(path.articulation_id, options);
}

/// Receives until --count, --seconds, SIGINT or (without --reconnect) the bridge's close, which
/// ends the recording ("closed") and throws Failure(kTransport). Messages go to `sink`, their
/// arrivals to `rate` when given. Returns the cause of a normal end: "count", "seconds" or
/// "interrupted".
std::string receiveMessages(strandel::WebSocketStream& stream, const StreamRequest& request,
                            const std::string& label, MessageSink& sink, RateReport* rate) {
  const auto deadline = request.seconds > 0
                            ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(request.seconds))
                            : Clock::time_point::max();
  long long received = 0;
  for (;;) {
    if (interrupted()) return "interrupted";
    if (request.count != 0 && received >= request.count) return "count";
    const auto now = Clock::now();
    if (now >= deadline) return "seconds";
    if (rate) rate->reportIfDue(now);
    const auto until = std::min(deadline, rate ? rate->due() : Clock::time_point::max());
    const auto wait = std::min<Clock::duration>(until - now, kInterruptCheck);
    std::optional<std::string> message;
    try {
      message = stream.receive(std::chrono::ceil<std::chrono::milliseconds>(wait));
    } catch (const Interrupted&) {
      return "interrupted";  // Ctrl-C during a reopen's handshake ends the open stream as ever
    }
    sink.throwIfFailed();
    if (!message) {
      // A close from the bridge ends the stream (unless it reopens): what came before it has
      // been written.
      if (!request.reconnect && stream.peerClosed()) {
        RecordingEnd closed;
        closed.cause = "closed";
        closed.close_code = stream.closeCode();
        closed.close_reason = stream.closeReason();
        sink.endIgnoringErrors(std::move(closed));
        throw Failure(kTransport, label + ": the bridge closed the stream after " +
                                      std::to_string(received) + " messages" + closeText(stream));
      }
      continue;
    }
    ++received;
    if (rate) rate->onMessage(Clock::now());
    const std::optional<std::string> line = compactLine(*message);
    if (!line) {
      throw Failure(kMalformed,
                    label + ": message " + std::to_string(received) + " is not JSON: " + *message);
    }
    sink.message(*line);
  }
}

/// The end of a recording that an error ended: the text strandel prints on stderr for it.
RecordingEnd errorEnd(const Failure& failure) {
  RecordingEnd end;
  end.cause = "error";
  end.error = failure.what();
  if (!failure.detail().empty()) *end.error += "\n" + failure.detail();
  return end;
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

  MessageSink sink(request);
  std::optional<strandel::WebSocketStream> stream;
  try {
    stream.emplace(openStream(*client, *path, request, label, sink));
  } catch (...) {
    rethrowAsFailure(label, &bridge);
  }
  sink.open();
  std::optional<RateReport> rate;
  if (request.rate) rate.emplace(request.window, Clock::now());
  try {
    try {
      RecordingEnd end;
      end.cause = receiveMessages(*stream, request, label, sink, rate ? &*rate : nullptr);
      stream->close();
      sink.end(std::move(end));
    } catch (...) {
      rethrowAsFailure(label, &bridge);
    }
  } catch (const Failure& failure) {
    // However the stream ended, the recording says how and the statistics of what came are
    // printed.
    sink.endIgnoringErrors(errorEnd(failure));
    if (rate) rate->summaryIgnoringErrors(Clock::now());
    throw;
  }
  sink.close();
  if (rate) rate->summary(Clock::now());
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
          "Print the messages of an articulation stream, one compact JSON text per line, or "
          "record\n"
          "them into a file (--out), until --count messages arrived, --seconds passed or Ctrl-C.\n"
          "PATH is articulations/ID/") +
          kJointPositions + "\nor articulations/ID/" + kArticulationState +
          ", below the WebSocket URL.\n"
          "When the bridge refuses the stream and strandel exits on it, one plain GET of the same\n"
          "URL over http(s) reads the bridge's reason for the message (never between reopens).\n"
          "A recording has one JSON line per message, one per reopen (--reconnect) and, last, one\n"
          "saying how it ended:\n"
          "  {\"time\":\"2026-12-07T18:49:19.123456Z\",\"offset\":0.012345,\"message\":{...}}\n"
          "  {\"time\":...,\"offset\":...,\"reconnect\":{\"reconnects\":N,\"downtime_ms\":M,"
          "\"reason\":...}}\n"
          "  {\"time\":...,\"offset\":...,\"end\":{\"messages\":N,\"cause\":...,\"close_code\":...,"
          "\"close_reason\":...,\"error\":...}}\n"
          "time is the UTC wall clock when it arrived, offset the seconds since the first line on "
          "a\n"
          "steady clock. cause is count, seconds, interrupted (Ctrl-C), closed (by the\n"
          "bridge, with close_code and close_reason) or error (with the error's text); keys\n"
          "that do not apply are null. Each line is written whole, and a line that a failed\n"
          "write cut short is cut off again, so a recording holds whole lines only, however\n"
          "it ended. A failed write (disk full) ends strandel with status 2.\n"
          "--rate prints, once a second and when the stream ends (however it ends), the average\n"
          "rate and the min, max and standard deviation of the intervals between messages over "
          "the\n"
          "last --window intervals, and the largest gap since the start; on stdout instead of the\n"
          "messages, or beside a recording.");
  auto request = std::make_shared<StreamRequest>();
  sub->add_option("PATH", request->path, "the stream's path")->required();
  sub->add_option("-n,--count", request->count, "stop after this many messages (default: no limit)")
      ->check(CLI::Range(1LL, static_cast<long long>(1) << 62));
  sub->add_option("-s,--seconds", request->seconds,
                  "stop after this many seconds (default: no limit)")
      ->check(CLI::Range(0.001, 1e9));
  CLI::Option* out =
      sub->add_option("-o,--out", request->out,
                      "record the messages into FILE as JSON Lines with time and offset; FILE "
                      "must not exist (see --force); '-' prints them as they are on stdout (the "
                      "default)")
          ->type_name("FILE");
  sub->add_flag("--force", request->force,
                "with --out FILE: replace an existing file (a symbolic link is still refused)")
      ->needs(out);
  CLI::Option* rate =
      sub->add_flag("--rate", request->rate,
                    "print the message rate and interval statistics once a second and a summary "
                    "at the end, instead of the messages (beside them with --out FILE)");
  sub->add_option("--window", request->window,
                  "with --rate: the statistics cover the last N intervals (default: 10000)")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}))
      ->needs(rate);
  CLI::Option* reconnect = sub->add_flag(
      "--reconnect", request->reconnect,
      "reopen the stream whenever its connection ends (the bridge restarting, dropped or closing "
      "it), each reopen told on stderr (and in the recording) with the count so far and the "
      "reason; a reopen the bridge refuses (e.g. 404 once the articulation is gone) ends it with "
      "status 1");
  sub->add_option("--idle-timeout", request->idle_timeout_seconds,
                  "with --reconnect: reopen after this many seconds without a message")
      ->check(CLI::Range(0.001, 1e6))
      ->needs(reconnect);
  sub->footer(
      "Examples:\n  strandel stream articulations/arm/stream_joint_positions --count 5\n"
      "  strandel stream articulations/arm/stream_articulation_state --rate --seconds 10\n"
      "  strandel stream articulations/arm/stream_joint_positions --out run.jsonl --rate\n"
      "  strandel stream articulations/arm/stream_joint_positions --reconnect --idle-timeout 2");
  commands[sub] = [request, &bridge] { return runStream(*request, bridge); };
}

}  // namespace strandel_cli
