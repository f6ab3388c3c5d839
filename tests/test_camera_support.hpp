#pragma once

// Helpers shared by the camera suites.

#include <string>
#include <utility>

#include <strandel/http.hpp>

namespace strandel::camera_testing {

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

}  // namespace strandel::camera_testing
