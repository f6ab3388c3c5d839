#pragma once

// `strandel view`: a live view of the simulation in the browser.

#include "bridge_options.hpp"
#include "command.hpp"

namespace strandel_cli {

/// Adds `view`: serves one page on --host:--port (127.0.0.1:8212 by default; port 0 picks a free
/// one) that shows, live, the camera's rgb picture and its depth in false colour, plots of the
/// streamed joint positions over the last --window seconds, the bridge's URL, the streams' rate
/// statistics, and whether the bridge is reachable. Its first line on stdout is
/// "strandel view: URL (bridge BRIDGE-URL)". It serves until SIGINT or SIGTERM and then returns
/// kSuccess; while it serves, a bridge that goes away is retried (captures every second, streams
/// reopened) and shown again as soon as it is back. It answers only requests whose Host names it
/// (localhost, 127.0.0.1, [::1], its address, with its port) and opens its WebSocket only to its
/// own page or to clients that send no Origin (programs); others get 403 (ViewServer). The camera
/// is captured only while a page or a fetch of frame/KIND.jpg wants pictures. A --host other than
/// loopback is served with a warning on stderr, after the first line.
///
/// Throws UsageError for a --stream path that is not a stream path, Failure(kUsage) "strandel
/// view: cannot listen on HOST:PORT: REASON" when the address cannot be bound (a host that is not
/// an IP address literal included). A missing Chart.js (--chart-js) is told on stderr; the page
/// then lists the latest joint values without plots.
void addViewCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands);

}  // namespace strandel_cli
