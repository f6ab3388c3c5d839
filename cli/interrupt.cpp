#include "interrupt.hpp"

#include <csignal>

namespace strandel_cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
bool g_catching = false;

extern "C" void onInterrupt(int) { g_interrupted = 1; }

}  // namespace

void catchInterrupts() {
  if (g_catching) return;
  g_catching = true;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

bool interrupted() noexcept { return g_interrupted != 0; }

void throwIfInterrupted() {
  if (interrupted()) throw Interrupted();
}

}  // namespace strandel_cli
