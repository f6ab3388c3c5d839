#pragma once

// Ctrl-C while a command runs: the first SIGINT asks the command to stop at the next point where it
// looks (every transfer and handshake of a client made by makeClient, and every wait of a stream);
// a second one ends the process at once, as SIGINT does by default.

#include <stdexcept>

namespace strandel_cli {

/// What a client call throws from its interrupt check once SIGINT arrived; rethrowAsFailure turns
/// it into Failure(kInterrupted).
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("interrupted") {}
};

/// Installs the SIGINT handler for the rest of the process (calling it again does nothing). The
/// handler only records the signal and restores the default disposition. It is installed without
/// SA_RESTART, so that a wait in poll() or a read returns early with EINTR and the waiting call
/// looks at the flag at once.
void catchInterrupts();

/// Whether SIGINT arrived since catchInterrupts. Async-signal-safe to set, cheap to read.
bool interrupted() noexcept;

/// Throws Interrupted when SIGINT arrived; the interrupt check given to every client.
void throwIfInterrupted();

}  // namespace strandel_cli
