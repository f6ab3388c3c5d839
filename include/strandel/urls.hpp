#pragma once

/// Helpers for the URLs a client is built from.

#include <string>
#include <string_view>

#include <strandel/export.hpp>

namespace strandel {

/// The WebSocket base URL that goes with the HTTP base URL `http_url`: a scheme "http" becomes
/// "ws" and "https" becomes "wss" (the scheme, the text before the first ':', compared ignoring
/// ASCII case and written in lower case), the rest kept byte for byte, e.g.
/// "https://sim-host:8211/" gives "wss://sim-host:8211/". A URL without a scheme or with another
/// one is returned unchanged; the client built from it judges it (libcurl refuses a scheme other
/// than ws or wss when a stream opens). Throws only std::bad_alloc.
///
/// Thread-safety: a pure function; any number of threads may call it at once.
STRANDEL_API std::string websocketUrlFor(std::string_view http_url);

}  // namespace strandel
