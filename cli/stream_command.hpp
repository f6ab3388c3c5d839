#pragma once

// `strandel stream PATH`: the messages of one articulation stream, printed or recorded, and
// their rate.

#include <optional>
#include <string>
#include <string_view>

#include "bridge_options.hpp"
#include "command.hpp"

namespace strandel_cli {

/// The two stream paths the client's public openers reach.
struct StreamPath {
  enum class Kind { JointPositions, ArticulationState };
  std::string articulation_id;
  Kind kind = Kind::JointPositions;
};

/// "articulations/ID/stream_joint_positions" or "articulations/ID/stream_articulation_state"
/// (leading slashes allowed; ID non-empty without '/'); an empty optional for any other path.
std::optional<StreamPath> parseStreamPath(std::string_view path);

/// Adds `stream`: prints each message as one line of compact JSON until --count messages arrived,
/// --seconds passed or SIGINT came; then closes the stream and returns kSuccess. With --out FILE
/// the messages are recorded into FILE instead, one line per message,
/// {"time":ISO-UTC-MICROSECONDS,"offset":SECONDS,"message":MESSAGE}, each written whole (a line a
/// failed write cut is cut off the file), and a last line saying how it ended (endLine in
/// recording.hpp: the messages written and the cause: "count", "seconds", "interrupted",
/// "closed" with the bridge's close code and reason, or "error" with the text printed on stderr,
/// written as well as it can be when a write failed); FILE is
/// created after the handshake, never through a symbolic link, and an existing FILE is refused
/// with Failure(kUsage) unless --force (which empties it). With --rate the statistics of RateStats
/// over the last --window intervals are printed on stdout once a second and once more when the
/// stream ends, whatever ends it (instead of the messages, unless they are recorded). A message
/// nested deeper than kMaxShownDepth is written as received, without the whitespace between its
/// tokens. A message that is not JSON throws Failure(kMalformed); the bridge closing the stream
/// first, or a failed receive, Failure(kTransport); SIGINT before the handshake completed,
/// Failure(kInterrupted); a handshake the bridge refused, Failure(kRefused) with its body; a
/// failed write (of the recording or stdout), Failure(kUsage) "cannot write 'FILE': REASON".
///
/// With --reconnect the stream is opened with StreamOptions::reconnect and reconnect_after_close
/// (and --idle-timeout as idle_timeout): a failed receive, an idle time-out or the bridge's close
/// frame reopens it instead of ending the command, and each reopen prints one line on stderr,
/// "LABEL: reconnected (N so far) after MS ms: REASON", and a recording gets the line
/// {"time":...,"offset":...,"reconnect":{"reconnects":N,"downtime_ms":MS,"reason":REASON}}.
/// Messages are counted across reopens. A reopen the bridge refuses with a 4xx status other than
/// 408 and 429 throws Failure(kRefused); SIGINT during a reopen ends the command as SIGINT on an
/// open stream does (kSuccess).
void addStreamCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands);

}  // namespace strandel_cli
