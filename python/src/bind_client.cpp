// strandel.IsaacSimClient, its options, its raw verbs, strandel.Response and
// strandel.AttemptReport.

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <strandel/client.hpp>
#include <strandel/client_options.hpp>
#include <strandel/http.hpp>

#include "bindings.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace strandel::python {
namespace {

/// Header bytes as str: HTTP header text is Latin-1, so every byte maps to one character.
py::str latin1(const std::string& bytes) {
  PyObject* text =
      PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

py::object headersOf(const HttpResponse& response, py::handle headers_type) {
  py::list items;
  for (const auto& [name, value] : response.headers)
    items.append(py::make_tuple(latin1(name), latin1(value)));
  return headers_type(items);
}

/// The identity (PyThread_get_thread_ident) of the interpreter's main thread, the one thread on
/// which Python runs signal handlers; set once by bindClient.
unsigned long mainThread = 0;

/// The interrupt check of every client (ClientOptions::interrupt_check), called with the GIL
/// released. On the main thread it takes the GIL and runs the pending signal handlers; what they
/// raise (KeyboardInterrupt for Ctrl-C) leaves the call as py::error_already_set and is raised by
/// the call in Python. On any other thread it does nothing and takes no lock.
void runSignalHandlersOnMainThread() {
  if (PyThread_get_thread_ident() != mainThread) return;
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

const char* failureName(AttemptFailure failure) {
  switch (failure) {
    case AttemptFailure::none:
      return "none";
    case AttemptFailure::transport:
      return "transport";
    case AttemptFailure::timeout:
      return "timeout";
    case AttemptFailure::response_too_large:
      return "response_too_large";
  }
  return "unknown";
}

/// None, or the statuses of an iterable of ints, in its order; TypeError for anything else.
std::optional<std::vector<long>> retryStatusesArgument(const py::handle& value) {
  constexpr const char* kExpected = "retry_statuses must be None or an iterable of ints";
  if (value.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value) ||
      !py::isinstance<py::iterable>(value)) {
    throw py::type_error(kExpected);
  }
  std::vector<long> statuses;
  for (const py::handle status : value) {
    try {
      statuses.push_back(status.cast<long>());
    } catch (const py::cast_error&) {
      throw py::type_error(kExpected);
    }
  }
  return statuses;
}

/// ClientOptions::on_attempt calling `on_attempt` (None: no hook) with the GIL taken and a
/// strandel.AttemptReport; what it raises leaves the call unchanged.
std::function<void(const AttemptReport&)> attemptHook(const py::handle& on_attempt) {
  if (on_attempt.is_none()) return {};
  if (!PyCallable_Check(on_attempt.ptr()))
    throw py::type_error("on_attempt must be None or callable");
  auto callable = sharedCallable(py::reinterpret_borrow<py::object>(on_attempt));
  return [callable](const AttemptReport& report) {
    py::gil_scoped_acquire gil;
    (*callable)(report);
  };
}

/// The keyword options of IsaacSimClient and with_options. A member left as Ellipsis keeps the
/// value of the options it is applied to.
struct OptionArguments {
  py::object timeout = py::ellipsis();
  py::object max_retries = py::ellipsis();
  py::object reuse_connections = py::ellipsis();
  py::object max_response_bytes = py::ellipsis();
  py::object max_message_bytes = py::ellipsis();
  py::object retry_statuses = py::ellipsis();
  py::object initial_backoff = py::ellipsis();
  py::object max_backoff = py::ellipsis();
  py::object seeded_jitter = py::ellipsis();
  py::object on_attempt = py::ellipsis();
};

/// `value` as T; TypeError naming the argument when it is not one.
template <typename T>
T argument(const py::object& value, const char* name, const char* expected) {
  try {
    return value.cast<T>();
  } catch (const py::cast_error&) {
    throw py::type_error(std::string(name) + " must be " + expected + ", not " +
                         py::type::handle_of(value).attr("__name__").cast<std::string>());
  }
}

/// `options` with every argument given in `given` applied; throws ValueError and TypeError for
/// arguments out of range or of the wrong type (the client's constructor checks the rest).
ClientOptions withArguments(ClientOptions options, const OptionArguments& given) {
  const auto isGiven = [](const py::object& value) { return !value.is(py::ellipsis()); };
  if (isGiven(given.timeout)) {
    options.timeout =
        toMilliseconds(argument<double>(given.timeout, "timeout", "a float"), "timeout");
  }
  if (isGiven(given.max_retries))
    options.max_retries = argument<int>(given.max_retries, "max_retries", "an int");
  if (isGiven(given.reuse_connections)) {
    options.reuse_connections =
        argument<bool>(given.reuse_connections, "reuse_connections", "a bool");
  }
  if (isGiven(given.max_response_bytes)) {
    options.max_response_bytes =
        argument<std::size_t>(given.max_response_bytes, "max_response_bytes", "an int >= 0");
  }
  if (isGiven(given.max_message_bytes)) {
    options.max_message_bytes =
        argument<std::size_t>(given.max_message_bytes, "max_message_bytes", "an int >= 0");
  }
  if (isGiven(given.retry_statuses))
    options.retry_statuses = retryStatusesArgument(given.retry_statuses);
  if (isGiven(given.initial_backoff)) {
    options.initial_backoff = toSignedMilliseconds(
        argument<double>(given.initial_backoff, "initial_backoff", "a float"), "initial_backoff");
  }
  if (isGiven(given.max_backoff)) {
    options.max_backoff = toSignedMilliseconds(
        argument<double>(given.max_backoff, "max_backoff", "a float"), "max_backoff");
  }
  if (isGiven(given.seeded_jitter))
    options.seeded_jitter = argument<bool>(given.seeded_jitter, "seeded_jitter", "a bool");
  if (isGiven(given.on_attempt)) options.on_attempt = attemptHook(given.on_attempt);
  options.interrupt_check = &runSignalHandlersOnMainThread;
  return options;
}

std::unique_ptr<Client> makeClient(std::string label, std::string base_url,
                                   std::string websocket_base_url, double timeout, int max_retries,
                                   bool reuse_connections, std::size_t max_response_bytes,
                                   std::size_t max_message_bytes, const py::object& retry_statuses,
                                   double initial_backoff, double max_backoff, bool seeded_jitter,
                                   const py::object& on_attempt) {
  OptionArguments given;
  given.timeout = py::float_(timeout);
  given.max_retries = py::int_(max_retries);
  given.reuse_connections = py::bool_(reuse_connections);
  given.max_response_bytes = py::int_(max_response_bytes);
  given.max_message_bytes = py::int_(max_message_bytes);
  given.retry_statuses = retry_statuses;
  given.initial_backoff = py::float_(initial_backoff);
  given.max_backoff = py::float_(max_backoff);
  given.seeded_jitter = py::bool_(seeded_jitter);
  given.on_attempt = on_attempt;
  return std::make_unique<Client>(std::move(label), std::move(base_url),
                                  std::move(websocket_base_url),
                                  withArguments(ClientOptions(), given));
}

/// A client sharing the pool of `from` (or none), with `given` applied to its options. Throws
/// ValueError when reuse_connections asks for another setting than the shared pool has.
std::unique_ptr<Client> withOptions(const Client& from, const OptionArguments& given) {
  ClientOptions options = withArguments(from.options, given);
  if (options.reuse_connections != from.options.reuse_connections) {
    throw py::value_error(
        "with_options shares this client's connections: reuse_connections cannot change (create "
        "a new IsaacSimClient instead)");
  }
  return std::make_unique<Client>(from, std::move(options));
}

void bindAttemptReport(py::module_& module) {
  py::class_<AttemptReport>(module, "AttemptReport",
                            "What one HTTP attempt of a call did, as handed to on_attempt.")
      .def_readonly("method", &AttemptReport::method,
                    "\"GET\", \"POST\", \"PUT\", \"PATCH\" or \"DELETE\".")
      .def_property_readonly(
          "url", [](const AttemptReport& r) { return lenientText(r.url); },
          "The full URL of the request.")
      .def_readonly("attempt", &AttemptReport::attempt,
                    "1 for the first attempt, 2 for the first retry, ...")
      .def_readonly("status", &AttemptReport::status,
                    "The answer's HTTP status; 0 when the attempt got no complete answer.")
      .def_property_readonly(
          "failure", [](const AttemptReport& r) { return failureName(r.failure); },
          "How the attempt ended without a complete answer: \"none\" (it got one), \"transport\", "
          "\"timeout\" or \"response_too_large\".")
      .def_property_readonly(
          "error", [](const AttemptReport& r) { return lenientText(r.error); },
          "'' when the attempt got a complete answer; otherwise the error that ended it.")
      .def_property_readonly(
          "duration",
          [](const AttemptReport& r) { return static_cast<double>(r.duration.count()) / 1e6; },
          "Wall-clock seconds the attempt took.")
      .def_property_readonly(
          "next_delay",
          [](const AttemptReport& r) -> std::optional<double> {
            if (!r.next_delay) return std::nullopt;
            return static_cast<double>(r.next_delay->count()) / 1e3;
          },
          "Seconds of back-off before the next attempt; None when this attempt is the last.")
      .def("__repr__", [](const AttemptReport& r) {
        return "<strandel.AttemptReport " + r.method + " attempt " + std::to_string(r.attempt) +
               ", status " + std::to_string(r.status) + ", failure " + failureName(r.failure) + ">";
      });
}

}  // namespace

void bindClient(py::module_& module) {
  const py::object headers_type = module.attr("Headers");
  bindAttemptReport(module);
  mainThread =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

  py::class_<HttpResponse>(
      module, "Response", "The final attempt of one HTTP exchange: status, body bytes and headers.")
      .def_readonly("status", &HttpResponse::status, "HTTP status of the final attempt.")
      .def_property_readonly(
          "body", [](const HttpResponse& r) { return py::bytes(r.body); },
          "The body bytes exactly as received.")
      .def_property_readonly(
          "headers", [headers_type](const HttpResponse& r) { return headersOf(r, headers_type); },
          "The headers as a Headers mapping (lookup ignores ASCII case).")
      .def("json", &HttpResponse::json,
           "The body parsed as one strict JSON text; ValueError when it is not.")
      .def("__repr__", [](const HttpResponse& r) {
        return "<strandel.Response status " + std::to_string(r.status) + ", " +
               std::to_string(r.body.size()) + " bytes>";
      });

  py::class_<Client> client(
      module, "IsaacSimClient",
      "One bridge: its HTTP and WebSocket base URLs, the time-out of one transfer attempt "
      "(seconds) "
      "and the number of retries after the first attempt. Makes no connection until used. Its "
      "calls may run from several threads at once; each releases the GIL while it waits. On the "
      "main thread Ctrl-C (KeyboardInterrupt) ends a call within a fraction of a second, during a "
      "transfer or the back-off between attempts, without further attempts. "
      "Keyword-only: reuse_connections keeps connections to the bridge open between calls; "
      "max_response_bytes and max_message_bytes cap an HTTP body and a stream message (0: no "
      "limit; a longer one raises ResponseTooLargeError / MessageTooLargeError); retry_statuses "
      "(an iterable of ints; None: 408, 409, 429, 500 and 502 up) are the statuses retried; "
      "initial_backoff and max_backoff (seconds) the first back-off and its cap, each delay "
      "multiplied by a jitter factor between 0.75 and 1, drawn from a generator of the client's "
      "own with seeded_jitter; on_attempt is called after every HTTP attempt with an "
      "AttemptReport, on the calling thread with the GIL taken, possibly from several threads at "
      "once; what it raises ends the call unchanged, without further attempts.");
  client
      .def(py::init(&makeClient), "label"_a, "base_url"_a, "websocket_base_url"_a,
           "timeout"_a = 10.0, "max_retries"_a = 3, py::kw_only(), "reuse_connections"_a = false,
           "max_response_bytes"_a = 0, "max_message_bytes"_a = 0, "retry_statuses"_a = py::none(),
           "initial_backoff"_a = 0.5, "max_backoff"_a = 8.0, "seeded_jitter"_a = false,
           "on_attempt"_a = py::none())
      .def(
          "with_options",
          [](const Client& self, py::object timeout, py::object max_retries,
             py::object reuse_connections, py::object max_response_bytes,
             py::object max_message_bytes, py::object retry_statuses, py::object initial_backoff,
             py::object max_backoff, py::object seeded_jitter, py::object on_attempt) {
            return withOptions(
                self, OptionArguments{std::move(timeout), std::move(max_retries),
                                      std::move(reuse_connections), std::move(max_response_bytes),
                                      std::move(max_message_bytes), std::move(retry_statuses),
                                      std::move(initial_backoff), std::move(max_backoff),
                                      std::move(seeded_jitter), std::move(on_attempt)});
          },
          py::kw_only(), "timeout"_a = py::ellipsis(), "max_retries"_a = py::ellipsis(),
          "reuse_connections"_a = py::ellipsis(), "max_response_bytes"_a = py::ellipsis(),
          "max_message_bytes"_a = py::ellipsis(), "retry_statuses"_a = py::ellipsis(),
          "initial_backoff"_a = py::ellipsis(), "max_backoff"_a = py::ellipsis(),
          "seeded_jitter"_a = py::ellipsis(), "on_attempt"_a = py::ellipsis(),
          "A second client for the same bridge sharing this one's connection pool (or none), with "
          "the keyword options of the constructor; an option not given keeps this client's value. "
          "reuse_connections follows the shared pool: ValueError when it asks for another "
          "setting. Cheap: makes no connection. Either client may outlive the other.")
      .def_property_readonly(
          "base_url", [](const Client& c) { return c.client.baseUrl(); },
          "The HTTP base URL, ending in '/'.")
      .def_property_readonly(
          "websocket_base_url", [](const Client& c) { return c.client.websocketBaseUrl(); },
          "The WebSocket base URL, ending in '/'.")
      .def_property_readonly(
          "articulations", [](Client& c) -> Articulation& { return c.client.articulations; },
          py::return_value_policy::reference_internal)
      .def_property_readonly(
          "surface_grippers", [](Client& c) -> SurfaceGripper& { return c.client.surfaceGrippers; },
          py::return_value_policy::reference_internal)
      .def_property_readonly(
          "cameras", [](Client& c) -> Camera& { return c.client.cameras; },
          py::return_value_policy::reference_internal)
      .def("get", method(&IsaacSimClient::get), "path"_a, WithoutGil(),
           "GET base_url + path; the final response whatever its status.")
      .def("post", method(&IsaacSimClient::post), "path"_a, "body"_a = std::string(), WithoutGil(),
           "POST base_url + path with body (str or bytes) as application/json.")
      .def("put", method(&IsaacSimClient::put), "path"_a, "body"_a = std::string(), WithoutGil(),
           "PUT base_url + path with body (str or bytes) as application/json.")
      .def("patch", method(&IsaacSimClient::patch), "path"_a, "body"_a = std::string(),
           WithoutGil(), "PATCH base_url + path with body (str or bytes) as application/json.")
      .def("delete", method(&IsaacSimClient::deleteRequest), "path"_a, WithoutGil(),
           "DELETE base_url + path.");
  defStreamOpener(
      client, "open_joint_position_stream",
      static_cast<OpenStreamWith IsaacSimClient::*>(&IsaacSimClient::openJointPositionStream),
      "Opens the articulation's joint-position stream; with reconnect=True one that "
      "reopens its connection (see Stream).");
  defStreamOpener(
      client, "open_articulation_state_stream",
      static_cast<OpenStreamWith IsaacSimClient::*>(&IsaacSimClient::openArticulationStateStream),
      "Opens the articulation's state stream; with reconnect=True one that reopens "
      "its connection (see Stream).");
  client.def("__repr__", [](const Client& c) {
    return "<strandel.IsaacSimClient " + c.client.baseUrl() + ">";
  });
}

}  // namespace strandel::python
