// strandel.Stream (a WebSocket stream of the bridge) and strandel.wait_for_any.
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
      peer_closed = use.stream().peerClosed();
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
  py::class_<Stream>(
      module, "Stream",
      "One WebSocket stream of the bridge, independent of the client that opened it. Use it from "
      "one thread at a time. Messages come whole, whatever fragments the peer sent them in. "
      "`with stream:` closes it on exit; `for message in stream:` yields each message decoded as "
      "JSON and stops once the peer has closed the stream.")
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
          "close_reason",
          [](Stream& self) {
            const std::string reason = Stream::Use(self).stream().closeReason();
            PyObject* text = PyUnicode_DecodeUTF8(
                reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace");
            if (text == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::str>(text);
          },
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
          if (Stream::Use(self).stream().peerClosed()) throw py::stop_iteration();
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
