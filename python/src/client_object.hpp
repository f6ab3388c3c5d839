#pragma once

#include <string>
#include <utility>

#include <strandel/client.hpp>
#include <strandel/client_options.hpp>

namespace strandel::python {

/// The object behind strandel.IsaacSimClient: the C++ client and the options it was built with,
/// which with_options starts from. Neither copyable nor movable, as the client.
struct Client {
  /// A new client; throws what IsaacSimClient's constructor with options throws.
  Client(std::string label, std::string base_url, std::string websocket_base_url,
         ClientOptions client_options)
      : options(std::move(client_options)),
        client(std::move(label), std::move(base_url), std::move(websocket_base_url), options) {}
  /// A client for the bridge of `from`, sharing its connection pool (IsaacSimClient::withOptions).
  Client(const Client& from, ClientOptions client_options)
      : options(std::move(client_options)), client(from.client.withOptions(options)) {}

  /// The options `client` was built with; read only.
  const ClientOptions options;
  IsaacSimClient client;
};

}  // namespace strandel::python
