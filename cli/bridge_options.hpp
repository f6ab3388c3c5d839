#pragma once

// The options every subcommand shares (--url, --ws-url, --timeout, --retries), the client built
// from them, and the one place that turns the library's exceptions into exit statuses.

#include <memory>
#include <string>
#include <string_view>

#include <strandel/isaacsim_client.hpp>

#include "command.hpp"

namespace strandel_cli {

/// The bridge named on the command line. An empty ws_url stands for the one derived from url
/// (strandel::websocketUrlFor).
struct BridgeOptions {
  std::string url = "http://127.0.0.1:8211/";
  std::string ws_url;
  double timeout_seconds = 10.0;
  int retries = 0;
  /// Keep HTTP connections open between requests (ClientOptions::reuse_connections), for a
  /// command that makes many; not a command-line option.
  bool reuse_connections = false;
};

/// Declares the shared options on `app` (the top-level parser); `options` must outlive parsing.
/// --url takes its default from the environment variable STRANDEL_URL when that is set.
void addBridgeOptions(CLI::App& app, BridgeOptions& options);

/// A client for the bridge whose every transfer and stream handshake ends with Interrupted once
/// SIGINT arrived; SIGINT is caught from this call on (catchInterrupts). Throws Failure(kUsage)
/// when the library refuses the options.
std::unique_ptr<strandel::IsaacSimClient> makeClient(const BridgeOptions& options);

/// The URL a verb of `client` sends `path` to: the base URL and the path without its leading
/// slashes, as the library joins them.
std::string requestUrl(const strandel::IsaacSimClient& client, std::string_view path);

/// Rethrows the exception being handled (call only inside a catch block) as a Failure whose text
/// is `label` + ": " + the library's text, chosen by the exception's kind: HTTPError gives
/// kRefused with the bridge's body as detail; HandshakeError gives kRefused with the body when the
/// bridge answered the upgrade (statusCode() not 0; " (status N)" follows the text) and
/// kTransport when it did not; TransportError (TimeoutError included) gives kTransport;
/// FrameFormatError and a JSON library error give kMalformed; std::invalid_argument gives kUsage;
/// Interrupted gives kInterrupted; any other exception (a libcurl set-up failure, no memory)
/// gives kTransport. A Failure passes unchanged. With `refusal_reader`, a HandshakeError whose
/// body is empty takes its detail from refusalReason first.
[[noreturn]] void rethrowAsFailure(const std::string& label,
                                   const BridgeOptions* refusal_reader = nullptr);

/// The bridge's reason for refusing a stream, for a command about to report the refusal and exit:
/// refusal.body() when the handshake delivered one, otherwise the body of one plain GET of the
/// stream's URL over http(s) (no retries, the bridge's time-out), kept only when that GET is
/// answered with the refusal's status. Empty when there is no such answer or the refusal had no
/// status. Never throws; never call it inside a reconnect loop.
std::string refusalReason(const BridgeOptions& bridge, const strandel::HandshakeError& refusal);

}  // namespace strandel_cli
