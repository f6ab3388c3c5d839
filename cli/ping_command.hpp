#pragma once

// `strandel ping`: whether the bridge answers, and how fast.

#include "bridge_options.hpp"
#include "command.hpp"

namespace strandel_cli {

/// Adds `ping`: one GET of the bridge's root, with the round trip in milliseconds on stdout.
/// Returns kSuccess for a 2xx answer, kRefused for any other answer and kTransport for none.
void addPingCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands);

}  // namespace strandel_cli
