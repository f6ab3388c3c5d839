#pragma once

// The pieces of the module `strandel`, each defined in its own bind_*.cpp, and the helpers they
// share. Every call that may touch the network runs with the GIL released; arguments are converted
// before and results after, with the GIL held.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include <strandel/websocket_stream.hpp>

#include "json_convert.hpp"  // every file that binds json must see its caster
#include "stream_object.hpp"

namespace strandel::python {

/// Releases the GIL around the C++ call only (arguments and results convert with it held).
using WithoutGil = pybind11::call_guard<pybind11::gil_scoped_release>;

/// The type a bound function takes for a parameter of type T: string views as owned strings (the
/// call runs without the GIL, and a view into a bytearray would not survive another thread
/// resizing it), every other type as it is.
template <typename T>
struct Owned {
  using type = T;
};
template <>
struct Owned<std::string_view> {
  using type = std::string;
};
template <>
struct Owned<std::optional<std::string_view>> {
  using type = std::optional<std::string>;
};

/// method() for members of one signature.
template <typename Signature>
struct Method;
template <typename Result, typename... Args>
struct Method<Result(Args...)> {
  template <typename Class>
  static auto bind(Result (Class::*member)(Args...)) {
    return [member](Class& self, typename Owned<Args>::type... args) {
      if constexpr (std::is_same_v<Result, WebSocketStream>) {
        return std::make_unique<Stream>((self.*member)(args...));
      } else {
        return (self.*member)(args...);
      }
    };
  }
};

/// `member` as a function pybind11 can bind, typically with WithoutGil: the object first, then
/// the member's parameters with string views taken as owned strings; a WebSocketStream result
/// comes back as the strandel.Stream that owns it, any other result as it is. An overloaded
/// member is chosen by naming its signature: method<json(std::string_view)>(&Class::member).
template <typename Signature, typename Class>
auto method(Signature Class::*member) {
  return Method<Signature>::bind(member);
}

/// The signature of the stream openers taking only the articulation's identifier.
using OpenStream = WebSocketStream(std::string_view);

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
