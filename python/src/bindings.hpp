#pragma once

// The pieces of the module `strandel`, each defined in its own bind_*.cpp, and the helpers they
// share. Every call that may touch the network runs with the GIL released; arguments are converted
// before and results after, with the GIL held.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <pybind11/pybind11.h>

namespace strandel::python {

/// Runs `call` with the GIL released and returns what it returns (exceptions pass through, the
/// GIL is taken back on every path).
template <typename Call>
decltype(auto) withoutGil(Call&& call) {
  pybind11::gil_scoped_release release;
  return std::forward<Call>(call)();
}

/// Seconds as whole milliseconds, rounded up so that a small positive time never becomes zero,
/// and capped at about 24 days. Throws std::invalid_argument "<name> must be a finite number of
/// seconds" for NaN and infinities.
std::chrono::milliseconds toMilliseconds(double seconds, const char* name);

/// The view of an optional string argument.
inline std::optional<std::string_view> view(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

void bindClient(pybind11::module_& module);
void bindFacades(pybind11::module_& module);
void bindFrame(pybind11::module_& module);
void bindStream(pybind11::module_& module);

}  // namespace strandel::python
