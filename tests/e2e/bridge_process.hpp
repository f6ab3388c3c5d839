#pragma once

// Child processes for the end-to-end tests: the stand-in bridge started on 127.0.0.1 with a free
// port, and programs run to completion with their output captured. Every wait is bounded, so a
// hung child fails the test instead of hanging it. Not thread-safe; one test thread uses each.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace strandel::e2e {

/// How the bridge is started beyond its arguments.
struct BridgeLaunch {
  /// Limit on the bridge's open descriptors (RLIMIT_NOFILE, soft and hard), set right after it
  /// starts and before it announces its port; 0 leaves the inherited limit.
  rlim_t open_files = 0;
  /// A file (created or truncated) that receives the bridge's stderr; empty leaves stderr shared
  /// with the test.
  std::string stderr_path;
  /// The port to listen on, e.g. that of a bridge stopped to be restarted; 0 (the default) lets
  /// the system choose a free one.
  std::uint16_t port = 0;
};

/// The stand-in bridge as a child process, listening on 127.0.0.1 with a port the system chose
/// (or the one BridgeLaunch names).
class BridgeProcess {
 public:
  /// Starts the bridge with "--host 127.0.0.1 --port P" (P is launch.port, 0 unless set) and
  /// `extra_args`, and reads the port from its first line "listening on http://127.0.0.1:PORT/".
  /// Throws std::runtime_error when the bridge cannot be started, its limit cannot be set, or it
  /// does not print that line within 30 seconds (e.g. when the port is taken).
  explicit BridgeProcess(const std::vector<std::string>& extra_args = {},
                         const BridgeLaunch& launch = {});
  /// Stops the bridge if it still runs.
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  std::uint16_t port() const { return port_; }
  /// The child's process id, e.g. to read /proc/PID.
  pid_t pid() const { return pid_; }
  /// "http://127.0.0.1:PORT/".
  std::string httpUrl() const;
  /// "ws://127.0.0.1:PORT/".
  std::string wsUrl() const;
  /// True while the child has not exited.
  bool running();
  /// CPU time (user and system, in seconds) the running bridge has used so far, from
  /// /proc/PID/stat. Throws std::runtime_error when it cannot be read.
  double cpuSeconds() const;

  /// Sends SIGTERM and waits up to 20 seconds. Returns the exit code, 128 + the signal number
  /// when a signal ended it, or -1 when it had to be killed after the wait.
  int stop();

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  int exitStatus_ = -1;
};

/// What a finished program printed and how it ended.
struct ProgramResult {
  /// The exit code, 128 + signal, or -1 when it was killed after `bound`.
  int exit_code = -1;
  /// stdout and stderr interleaved.
  std::string output;
};

/// Runs `argv` (argv[0] is the executable's path) to completion, at most for `bound`. With
/// `input`, the program reads that text (at most 64 KiB) on its stdin, then end of file; without
/// it, the program shares the test's stdin.
ProgramResult runProgram(const std::vector<std::string>& argv, std::chrono::seconds bound,
                         const std::optional<std::string>& input = std::nullopt);

/// The path of the stand-in bridge executable this test binary was built with.
std::string bridgeExecutable();

}  // namespace strandel::e2e
