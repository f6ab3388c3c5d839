#pragma once

// Small helpers shared by the suites.

#include <chrono>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <strandel/http.hpp>
#include <strandel/stream_options.hpp>

#include "support/scripted_peer.hpp"

namespace strandel::testing_util {

/// What a test's interrupt check throws to end a call.
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted by the test") {}
};

/// what() of the exception of type E that f throws; a marker text when f throws nothing or
/// something else, so that comparing with the expected text fails visibly.
template <typename E, typename F>
std::string thrownText(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const E& e) {
    return e.what();
  } catch (...) {
    return "<an exception of another type>";
  }
  return "<no exception>";
}

/// A response with the given status and body, as the request engine returns it.
inline HttpResponse responseWith(long status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

/// Method, target, Content-Type ("" when absent) and body of one request, compared as a whole.
using Wire = std::tuple<std::string, std::string, std::string, std::string>;

inline constexpr char kJsonContentType[] = "application/json";

inline Wire wire(const RecordedRequest& request) {
  return {request.method, request.target, request.header("Content-Type").value_or(""),
          request.body};
}

/// Options of a reconnecting stream (50 ms initial back-off) whose reports land in `reports`.
inline StreamOptions reconnecting(std::vector<ReconnectReport>& reports) {
  StreamOptions options;
  options.reconnect = true;
  options.initial_backoff = std::chrono::milliseconds(50);
  options.on_reconnect = [&reports](const ReconnectReport& report) { reports.push_back(report); };
  return options;
}

}  // namespace strandel::testing_util
