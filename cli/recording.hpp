#pragma once

// The recording formats the command line writes: JSON Lines whose every line is written whole
// with one write call, each stamped with the wall clock (UTC, microseconds) and a monotonic offset
// from the first line of its file.
//
//   stream:  {"time":"2026-12-07T18:49:19.123456Z","offset":0.012345,"message":MESSAGE}
//            {"time":"...","offset":...,"reconnect":{"reconnects":N,"downtime_ms":M,"reason":"..."}}
//            ... and last, however the recording ended:
//            {"time":"...","offset":...,"end":{"messages":N,"cause":"count|seconds|interrupted|
//             closed|error","close_code":C|null,"close_reason":"..."|null,"error":"..."|null}}
//   series:  {"frame":1,"dir":"000001","time":"...","offset":...,"sim_time":S,"files":[...]}
//
// Not thread-safe: each object here is used by one thread at a time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <strandel/stream_options.hpp>

namespace strandel_cli {

/// When one line was recorded: the wall clock and the offset from the first line.
struct Stamp {
  std::chrono::system_clock::time_point time;
  std::chrono::microseconds offset{0};
};

/// Stamps lines: the first stamp has offset 0, later ones the steady-clock time since it.
class Timeline {
 public:
  /// A stamp for a line recorded now.
  Stamp now();

 private:
  std::optional<std::chrono::steady_clock::time_point> origin_;
};

/// `time` as ISO 8601 in UTC with exactly six fractional digits and "Z",
/// e.g. "2026-12-07T18:49:19.123456Z".
std::string isoTimeUtc(std::chrono::system_clock::time_point time);

/// The leading keys every line shares, `"time":"...","offset":S.UUUUUU`, without braces.
std::string stampKeys(const Stamp& stamp);

/// A stream recording's line (newline included) for a message; `message_json` is one JSON text,
/// written as it stands.
std::string messageLine(const Stamp& stamp, std::string_view message_json);

/// A stream recording's line (newline included) for a reopen of the stream.
std::string reconnectLine(const Stamp& stamp, const strandel::ReconnectReport& report);

/// How a stream recording ended, for its last line.
struct RecordingEnd {
  /// The message lines written.
  long long messages = 0;
  /// "count", "seconds", "interrupted" (Ctrl-C), "closed" (the bridge closed the stream) or
  /// "error".
  std::string cause;
  /// With "closed": the bridge's close code, when its close frame held one, and its reason.
  std::optional<int> close_code;
  std::optional<std::string> close_reason;
  /// With "error": the error's text.
  std::optional<std::string> error;
};

/// A stream recording's last line (newline included): {STAMP,"end":{"messages":N,"cause":...,
/// "close_code":...,"close_reason":...,"error":...}}, every key present, null where it does not
/// apply.
std::string endLine(const Stamp& stamp, const RecordingEnd& end);

/// A camera series index's line (newline included) for frame number `frame` (1 for the first) in
/// the directory `dir`: `sim_time` is written as it stands when it is a number, else as null;
/// `files` are paths relative to the series directory.
std::string frameLine(std::size_t frame, const std::string& dir, const Stamp& stamp,
                      const nlohmann::json& sim_time, const std::vector<std::string>& files);

}  // namespace strandel_cli
