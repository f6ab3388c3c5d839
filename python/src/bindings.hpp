#pragma once

// The pieces of the module `strandel`, each defined in its own bind_*.cpp, and the helpers they
// share. Every call that may touch the network runs with the GIL released; arguments are converted
// before and results after, with the GIL held.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <pybind11/pybind11.h>

#include <strandel/client.hpp>
#include <strandel/stream_options.hpp>
#include <strandel/websocket_stream.hpp>

#include "client_object.hpp"
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

/// The Python object that holds a C++ object of type Class: the object itself, except for the
/// IsaacSimClient inside a strandel.IsaacSimClient.
template <typename Class>
struct Holder {
  using Self = Class;
  static Class& target(Class& self) noexcept { return self; }
};
template <>
struct Holder<IsaacSimClient> {
  using Self = Client;
  static IsaacSimClient& target(Client& self) noexcept { return self.client; }
};

/// method() for members of one signature.
template <typename Signature>
struct Method;
template <typename Result, typename... Args>
struct Method<Result(Args...)> {
  template <typename Class>
  static auto bind(Result (Class::*member)(Args...)) {
    return [member](typename Holder<Class>::Self& self, typename Owned<Args>::type... args) {
      return (Holder<Class>::target(self).*member)(args...);
    };
  }
};

/// `member` as a function pybind11 can bind, typically with WithoutGil: the Python object holding
/// the C++ one first (Holder), then the member's parameters with string views taken as owned
/// strings; the result as it is. An overloaded member is chosen by naming its signature:
/// method<json(std::string_view)>(&Class::member). Stream openers bind with defStreamOpener.
template <typename Signature, typename Class>
auto method(Signature Class::*member) {
  return Method<Signature>::bind(member);
}

/// The signature of the stream openers taking the identifier and stream options.
using OpenStreamWith = WebSocketStream(std::string_view, const StreamOptions&);

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

/// Seconds as whole milliseconds rounded away from zero, so that a small negative time stays
/// negative for the library's own check (and its text); otherwise as toMilliseconds.
std::chrono::milliseconds toSignedMilliseconds(double seconds, const char* name);

/// Bytes as str, decoded as UTF-8 with U+FFFD for every byte that is not.
pybind11::str lenientText(const std::string& bytes);

/// `callable` for a std::function that may be copied, called and destroyed on any thread: its
/// copies share the one reference, and the last of them releases it with the GIL taken (or leaks
/// it once the interpreter is gone). Calls must take the GIL themselves.
std::shared_ptr<pybind11::object> sharedCallable(pybind11::object callable);

/// The callable a stream reports its reopens to (None when unset), shared by the stream's options
/// and its Python object, through whose on_reconnect attribute it can be replaced at any time.
/// Read and written with the GIL held.
using ReconnectHandler = std::shared_ptr<pybind11::object>;

/// A handler holding `callable`; throws TypeError "on_reconnect must be None or callable".
ReconnectHandler reconnectHandler(const pybind11::object& callable);

/// Stream options from the keyword arguments of a stream opener (seconds as toSignedMilliseconds
/// gives them, for the opener's own checks). Each reopen calls the handler's callable of the
/// moment, when it is not None, with the GIL taken and a strandel.ReconnectReport; what it raises
/// leaves the receive call that reopened.
StreamOptions streamOptions(bool reconnect, double idle_timeout,
                            const ReconnectHandler& on_reconnect, bool reconnect_after_close,
                            double initial_backoff, double max_backoff);

/// Binds `name` on `bound` (the class of Holder<Class>::Self): opens a stream with `open`, the
/// articulation's identifier and the keyword-only stream options of streamOptions, with the GIL
/// released while it connects.
template <typename Class, typename Bound>
void defStreamOpener(Bound& bound, const char* name, OpenStreamWith Class::*open, const char* doc) {
  namespace py = pybind11;
  using namespace pybind11::literals;
  bound.def(
      name,
      [open](typename Holder<Class>::Self& self, const std::string& articulation_id, bool reconnect,
             double idle_timeout, const py::object& on_reconnect, bool reconnect_after_close,
             double initial_backoff, double max_backoff) {
        ReconnectHandler handler = reconnectHandler(on_reconnect);
        const StreamOptions options = streamOptions(
            reconnect, idle_timeout, handler, reconnect_after_close, initial_backoff, max_backoff);
        Class& object = Holder<Class>::target(self);
        WebSocketStream stream =
            withoutGil([&] { return (object.*open)(articulation_id, options); });
        return std::make_unique<Stream>(std::move(stream), !(reconnect && reconnect_after_close),
                                        std::move(handler));
      },
      "articulation_id"_a, py::kw_only(), "reconnect"_a = false, "idle_timeout"_a = 0.0,
      "on_reconnect"_a = py::none(), "reconnect_after_close"_a = false, "initial_backoff"_a = 0.1,
      "max_backoff"_a = 2.0, doc);
}

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
