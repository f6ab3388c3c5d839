#include "bridge_options.hpp"

#include <cmath>
#include <exception>
#include <stdexcept>
#include <utility>

#include <CLI/CLI.hpp>

#include "interrupt.hpp"

namespace strandel_cli {

void addBridgeOptions(CLI::App& app, BridgeOptions& options) {
  app.add_option("--url", options.url, "the bridge's HTTP base URL")
      ->envname("STRANDEL_URL")
      ->capture_default_str();
  app.add_option(
      "--ws-url", options.ws_url,
      "the bridge's WebSocket base URL (default: --url with http replaced by ws, https by wss)");
  app.add_option("--timeout", options.timeout_seconds,
                 "time-out of one transfer attempt, in seconds")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
  app.add_option("--retries", options.retries,
                 "retries of an HTTP request (a capture too; never a stream's handshake) after a "
                 "failed transfer or an answer of status 408, 409, 429, 500 or 502 and up, with "
                 "back-off")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
}

std::unique_ptr<strandel::IsaacSimClient> makeClient(const BridgeOptions& options) {
  const std::string ws_url =
      options.ws_url.empty() ? strandel::websocketUrlFor(options.url) : options.ws_url;
  const auto timeout =
      std::chrono::milliseconds(std::max(1LL, std::llround(options.timeout_seconds * 1000.0)));
  strandel::ClientOptions client_options;
  client_options.timeout = timeout;
  client_options.max_retries = options.retries;
  client_options.reuse_connections = options.reuse_connections;
  client_options.interrupt_check = throwIfInterrupted;
  catchInterrupts();
  try {
    return std::make_unique<strandel::IsaacSimClient>("strandel", options.url, ws_url,
                                                      std::move(client_options));
  } catch (const std::invalid_argument& e) {
    throw Failure(kUsage, e.what());
  }
}

std::string requestUrl(const strandel::IsaacSimClient& client, std::string_view path) {
  const std::size_t first = path.find_first_not_of('/');
  return client.baseUrl() +
         std::string(first == std::string_view::npos ? std::string_view() : path.substr(first));
}

std::string refusalReason(const BridgeOptions& bridge, const strandel::HandshakeError& refusal) {
  if (!refusal.body().empty() || refusal.statusCode() < 200) return refusal.body();
  const std::string& url = refusal.url();
  const std::size_t colon = url.find("://");
  const std::size_t path = colon == std::string::npos ? url.npos : url.find('/', colon + 3);
  if (path == std::string::npos) return {};
  const std::string scheme = url.substr(0, colon) == "wss" ? "https" : "http";
  BridgeOptions once = bridge;
  once.url = scheme + url.substr(colon, path + 1 - colon);
  once.ws_url = url.substr(0, path + 1);
  once.retries = 0;
  try {
    const auto reader = makeClient(once);
    strandel::HttpResponse answer = reader->get(std::string_view(url).substr(path + 1));
    if (answer.status == refusal.statusCode()) return std::move(answer.body);
  } catch (...) {  // no reason to be had: the refusal is reported without one
  }
  return {};
}

void rethrowAsFailure(const std::string& label, const BridgeOptions* refusal_reader) {
  // Most derived kinds first: each catch names one kind of the library, never a message text.
  try {
    throw;
  } catch (const Failure&) {
    throw;
  } catch (const Interrupted& e) {
    throw Failure(kInterrupted, label + ": " + e.what());
  } catch (const strandel::HTTPError& e) {
    throw Failure(kRefused, label + ": " + e.what(), e.body());
  } catch (const strandel::HandshakeError& e) {
    if (e.statusCode() == 0) throw Failure(kTransport, label + ": " + e.what());
    throw Failure(kRefused,
                  label + ": " + e.what() + " (status " + std::to_string(e.statusCode()) + ")",
                  refusal_reader ? refusalReason(*refusal_reader, e) : e.body());
  } catch (const strandel::TransportError& e) {  // TimeoutError included
    throw Failure(kTransport, label + ": " + e.what());
  } catch (const strandel::FrameFormatError& e) {
    throw Failure(kMalformed, label + ": " + e.what());
  } catch (const nlohmann::json::exception& e) {
    throw Failure(kMalformed, label + ": " + e.what());
  } catch (const std::invalid_argument& e) {
    throw Failure(kUsage, label + ": " + e.what());
  } catch (const std::exception& e) {
    throw Failure(kTransport, label + ": " + e.what());
  }
}

}  // namespace strandel_cli
