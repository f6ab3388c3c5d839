// strandel.Stream (a WebSocket stream of the bridge), its options, strandel.ReconnectReport and
// strandel.wait_for_any.
//
// Waiting calls sleep with the GIL released, in slices of at most kSlice; between slices they run
// the interpreter's signal handlers, so Ctrl-C (KeyboardInterrupt) ends a long wait promptly.

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <strandel/json.hpp>
#include <strandel/stream_options.hpp>
#include <strandel/websocket_stream.hpp>

#include "bindings.hpp"
#include "stream_object.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace strandel::python {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kSlice(100);

/// Raises the pending exception when a signal handler raised one (KeyboardInterrupt for Ctrl-C).
void runSignalHandlers() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

milliseconds timeoutArgument(double seconds) {
  if (seconds < 0) throw std::invalid_argument("timeout must not be negative");
  return toMilliseconds(seconds, "timeout");
}

milliseconds leftUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
  return std::clamp(left, milliseconds(0), kSlice);
}

/// Whether the stream has ended with the bridge's close frame (one that reopens after it has not).
bool endedByPeer(Stream& owner) {
  return owner.endsAtPeerClose() && Stream::Use(owner).stream().peerClosed();
}

/// The stream's next whole message within `wait`, in slices; empty at once when the peer has
/// closed the stream.
std::optional<std::string> receiveWithin(Stream& owner, milliseconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    std::optional<std::string> message;
    bool peer_closed = false;
    {
      Stream::Use use(owner);
      const milliseconds slice = leftUntil(deadline);
      message = withoutGil([&] { return use.stream().receive(slice); });
      peer_closed = owner.endsAtPeerClose() && use.stream().peerClosed();
    }
    if (message || peer_closed || Clock::now() >= deadline) return message;
    runSignalHandlers();
  }
}

py::object textOrNone(const std::optional<std::string>& message) {
  if (!message) return py::none();
  return py::str(*message);
}

/// The positions of the ready streams within `wait`, in slices.
std::vector<std::size_t> waitForAnyWithin(const py::sequence& streams, milliseconds wait) {
  std::vector<Stream*> owners;
  for (const py::handle item : streams) {
    if (!item.is_none() && !py::isinstance<Stream>(item)) {
      throw py::type_error("wait_for_any takes Stream objects and None, not " +
                           py::type::handle_of(item).attr("__name__").cast<std::string>());
    }
    owners.push_back(item.is_none() ? nullptr : item.cast<Stream*>());
  }
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    std::vector<std::size_t> ready;
    {
      std::vector<std::unique_ptr<Stream::Use>> uses;
      std::vector<WebSocketStream*> pointers;
      for (std::size_t i = 0; i < owners.size(); ++i) {
        // A stream listed twice is taken once and waited on at both positions.
        const auto first = std::find(owners.begin(), owners.begin() + i, owners[i]);
        if (owners[i] == nullptr) {
          pointers.push_back(nullptr);
        } else if (first != owners.begin() + i) {
          pointers.push_back(pointers[first - owners.begin()]);
        } else {
          uses.push_back(std::make_unique<Stream::Use>(*owners[i]));
          pointers.push_back(&uses.back()->stream());
        }
      }
      const milliseconds slice = leftUntil(deadline);
      ready = withoutGil([&] { return waitForAny(pointers, slice); });
    }
    if (!ready.empty() || Clock::now() >= deadline) return ready;
    runSignalHandlers();
  }
}

}  // namespace

ReconnectHandler reconnectHandler(const py::object& callable) {
  if (!callable.is_none() && !PyCallable_Check(callable.ptr()))
    throw py::type_error("on_reconnect must be None or callable");
  return sharedCallable(callable);
}

StreamOptions streamOptions(bool reconnect, double idle_timeout,
                            const ReconnectHandler& on_reconnect, bool reconnect_after_close,
                            double initial_backoff, double max_backoff) {
  StreamOptions options;
  options.reconnect = reconnect;
  options.idle_timeout = toSignedMilliseconds(idle_timeout, "idle_timeout");
  options.reconnect_after_close = reconnect_after_close;
  options.initial_backoff = toSignedMilliseconds(initial_backoff, "initial_backoff");
  options.max_backoff = toSignedMilliseconds(max_backoff, "max_backoff");
  if (reconnect && on_reconnect) {
    options.on_reconnect = [handler = on_reconnect](const ReconnectReport& report) {
      py::gil_scoped_acquire gil;
      // A copy: the callable may replace itself while it runs.
      const py::object callable = *handler;
      if (!callable.is_none()) callable(report);
    };
  }
  return options;
}

Stream::~Stream() {
  if (PyGILState_Check()) {
    py::gil_scoped_release release;
    stream_.close();
  } else {
    stream_.close();
  }
}

Stream::Use::Use(Stream& owner) : owner_(owner) {
  if (owner_.busy_.exchange(true, std::memory_order_acquire)) {
    throw std::runtime_error("the stream is in use by another thread");
  }
}

void bindStream(py::module_& module) {
  py::class_<ReconnectReport>(module, "ReconnectReport",
                              "What a reopen of a stream did, as handed to on_reconnect.")
      .def_readonly("reconnects", &ReconnectReport::reconnects,
                    "Reopens of the stream so far, this one included: 1 for the first.")
      .def_property_readonly(
          "reason", [](const ReconnectReport& r) { return lenientText(r.reason); },
          "What ended the previous connection: the receive failure's text, 'idle for N ms', or "
          "'closed by the bridge' with the close frame's code and reason.")
      .def_property_readonly(
          "downtime",
          [](const ReconnectReport& r) { return static_cast<double>(r.downtime.count()) / 1e3; },
          "Seconds from the receive call that noticed the end to the reopened connection.")
      .def("__repr__", [](const ReconnectReport& r) {
        return "<strandel.ReconnectReport " + std::to_string(r.reconnects) + ": " + r.reason + ">";
      });

  py::class_<Stream>(
      module, "Stream",
      "One WebSocket stream of the bridge, independent of the client that opened it. Use it from "
      "one thread at a time. Messages come whole, whatever fragments the peer sent them in. "
      "`with stream:` closes it on exit; `for message in stream:` yields each message decoded as "
      "JSON and stops once the peer has closed the stream. A stream opened with reconnect=True "
      "reopens its connection inside receive(timeout=...) and iteration (never in receive() "
      "without a timeout, which does not wait) after a failed read, after idle_timeout seconds "
      "without data, and with reconnect_after_close after the bridge's close frame (iteration "
      "then goes on); on_reconnect(report) is called after each reopen, and what it raises leaves "
      "that receive. send() while the connection is down raises StreamClosedError.")
      .def(
          "receive",
          [](Stream& self, std::optional<double> timeout) {
            if (!timeout) {
              Stream::Use use(self);
              return textOrNone(withoutGil([&] { return use.stream().receive(milliseconds(0)); }));
            }
            return textOrNone(receiveWithin(self, timeoutArgument(*timeout)));
          },
          "timeout"_a = py::none(),
          "The next whole message's text (its fragments joined), or None. Without timeout it never "
          "waits; with one (seconds) it waits up to that long. Once the peer has closed the stream "
          "it returns None at once and peer_closed is True.")
      .def(
          "send",
          [](Stream& self, const std::string& message) {
            Stream::Use use(self);
            withoutGil([&] { use.stream().send(message); });
          },
          "message"_a, "Sends the message as one text frame.")
      .def(
          "close",
          [](Stream& self) {
            Stream::Use use(self);
            withoutGil([&] { use.stream().close(); });
          },
          "Closes the stream (a closing handshake of at most 200 ms). Closing again does nothing.")
      .def_property_readonly(
          "peer_closed", [](Stream& self) { return Stream::Use(self).stream().peerClosed(); },
          "Whether the peer's close frame has arrived.")
      .def_property_readonly(
          "close_code", [](Stream& self) { return Stream::Use(self).stream().closeCode(); },
          "The status code of the peer's close frame, or None.")
      .def_property_readonly(
          "reconnects", [](Stream& self) { return Stream::Use(self).stream().reconnects(); },
          "How often the stream has reopened its connection (0 without reconnect).")
      .def_property_readonly(
          "ended", [](Stream& self) { return endedByPeer(self); },
          "Whether the bridge has closed the stream for good, so that iteration stops and receive "
          "returns None at once: peer_closed, except for a stream that reopens after a close.")
      .def_property(
          "on_reconnect",
          [](const Stream& self) {
            return self.onReconnect() ? *self.onReconnect() : py::object(py::none());
          },
          [](Stream& self, const py::object& callable) {
            if (!self.onReconnect()) throw std::logic_error("the stream has no reconnect handler");
            if (!callable.is_none() && !PyCallable_Check(callable.ptr()))
              throw py::type_error("on_reconnect must be None or callable");
            *self.onReconnect() = callable;
          },
          "The callable each reopen is reported to (a ReconnectReport), or None; it may be "
          "replaced at any time, e.g. by a recorder that chains to the one before it.")
      .def_property_readonly(
          "close_reason",
          [](Stream& self) { return lenientText(Stream::Use(self).stream().closeReason()); },
          "The reason text of the peer's close frame ('' when none).")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](Stream& self, const py::args&) {
             Stream::Use use(self);
             withoutGil([&] { use.stream().close(); });
             return false;
           })
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", [](Stream& self) {
        for (;;) {
          const std::optional<std::string> message = receiveWithin(self, kSlice);
          if (message) return json::parse(*message);
          if (endedByPeer(self)) throw py::stop_iteration();
          runSignalHandlers();
        }
      });

  module.def(
      "wait_for_any",
      [](const py::sequence& streams, double timeout) {
        return waitForAnyWithin(streams, timeoutArgument(timeout));
      },
      "streams"_a, "timeout"_a,
      "Waits up to timeout seconds until at least one of the streams (None entries are skipped) "
      "has something for its next receive; returns the positions of the ready ones, [] when the "
      "time passed first.");
}

}  // namespace strandel::python
