#pragma once

// `strandel get|post|put|patch|delete PATH [BODY]`: one HTTP request, its answer on stdout.

#include "bridge_options.hpp"
#include "command.hpp"

namespace strandel_cli {

/// Adds the five verb subcommands to `app`. Each prints a 2xx answer's body (see formatBody) on
/// stdout and returns kSuccess; any other status throws Failure(kRefused) with the body as detail.
/// BODY is JSON text, "@file" for a file's content or "-" for standard input; text that is not
/// JSON throws UsageError.
void addHttpCommands(CLI::App& app, const BridgeOptions& bridge, Commands& commands);

}  // namespace strandel_cli
