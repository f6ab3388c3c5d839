#pragma once

// What a subcommand of `strandel` is: an action that returns an exit status or throws a Failure
// or UsageError, which main() turns into text on stderr and the matching status.

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

namespace CLI {
class App;
}

namespace strandel_cli {

/// What the process returns. The --help footer and the README list the same values.
enum ExitStatus : int {
  kSuccess = 0,
  /// The bridge answered an HTTP request, or refused a stream's handshake, with a status outside
  /// 200..299.
  kRefused = 1,
  /// The command line cannot be used.
  kUsage = 2,
  /// No answer: the connection failed or timed out (a WebSocket handshake included), or an open
  /// stream's connection failed or the bridge closed it.
  kTransport = 3,
  /// An answer that is not what was asked for: a stream message that is not JSON, a camera
  /// answer that is not a well-formed frame.
  kMalformed = 4,
  /// Ctrl-C (SIGINT) ended a request, handshake or capture before it completed, as 128 + SIGINT
  /// (the status a shell shows for a command SIGINT ended). Ctrl-C ending a stream that is open
  /// is its normal end and gives kSuccess, as does Ctrl-C ending a capture series that has at least
  /// one complete frame.
  kInterrupted = 130,
};

/// Ends the command with `status`; what() is printed on stderr as it stands, followed by `detail`
/// (the bridge's body, for a refusal) on a line of its own when that is not empty.
class Failure : public std::runtime_error {
 public:
  Failure(ExitStatus status, const std::string& message, std::string detail = {})
      : std::runtime_error(message), status_(status), detail_(std::move(detail)) {}
  ExitStatus status() const noexcept { return status_; }
  const std::string& detail() const noexcept { return detail_; }

 private:
  ExitStatus status_;
  std::string detail_;
};

/// A command line that parsed but cannot be used (a stream path of another form, a body that is
/// not JSON). main() prints what() and the subcommand's usage, and returns kUsage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The action of each subcommand, keyed by the subcommand's parser; main() runs the one the
/// command line chose after parsing it completely.
using Commands = std::map<const CLI::App*, std::function<int()>>;

}  // namespace strandel_cli
