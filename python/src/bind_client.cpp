// strandel.IsaacSimClient, its raw verbs and strandel.Response.

#include <cstddef>
#include <memory>
#include <string>

#include <pybind11/pybind11.h>

#include <strandel/client.hpp>
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

std::unique_ptr<IsaacSimClient> makeClient(std::string label, std::string base_url,
                                           std::string websocket_base_url, double timeout,
                                           int max_retries, bool reuse_connections,
                                           std::size_t max_response_bytes,
                                           std::size_t max_message_bytes) {
  ClientOptions options;
  options.timeout = toMilliseconds(timeout, "timeout");
  options.max_retries = max_retries;
  options.reuse_connections = reuse_connections;
  options.max_response_bytes = max_response_bytes;
  options.max_message_bytes = max_message_bytes;
  options.interrupt_check = &runSignalHandlersOnMainThread;
  return std::make_unique<IsaacSimClient>(std::move(label), std::move(base_url),
                                          std::move(websocket_base_url), std::move(options));
}

}  // namespace

void bindClient(py::module_& module) {
  const py::object headers_type = module.attr("Headers");
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

  py::class_<IsaacSimClient>(
      module, "IsaacSimClient",
      "One bridge: its HTTP and WebSocket base URLs, the time-out of one transfer attempt "
      "(seconds) "
      "and the number of retries after the first attempt. Makes no connection until used. Its "
      "calls may run from several threads at once; each releases the GIL while it waits. On the "
      "main thread Ctrl-C (KeyboardInterrupt) ends a call within a fraction of a second, during a "
      "transfer or the back-off between attempts, without further attempts. "
      "Keyword-only: reuse_connections keeps connections to the bridge open between calls; "
      "max_response_bytes and max_message_bytes cap an HTTP body and a stream message (0: no "
      "limit; a longer one raises RuntimeError).")
      .def(py::init(&makeClient), "label"_a, "base_url"_a, "websocket_base_url"_a,
           "timeout"_a = 10.0, "max_retries"_a = 3, py::kw_only(), "reuse_connections"_a = false,
           "max_response_bytes"_a = 0, "max_message_bytes"_a = 0)
      .def_property_readonly("base_url", &IsaacSimClient::baseUrl,
                             "The HTTP base URL, ending in '/'.")
      .def_property_readonly("websocket_base_url", &IsaacSimClient::websocketBaseUrl,
                             "The WebSocket base URL, ending in '/'.")
      .def_property_readonly(
          "articulations", [](IsaacSimClient& c) -> Articulation& { return c.articulations; },
          py::return_value_policy::reference_internal)
      .def_property_readonly(
          "surface_grippers",
          [](IsaacSimClient& c) -> SurfaceGripper& { return c.surfaceGrippers; },
          py::return_value_policy::reference_internal)
      .def_property_readonly(
          "cameras", [](IsaacSimClient& c) -> Camera& { return c.cameras; },
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
           "DELETE base_url + path.")
      .def("open_joint_position_stream",
           method<OpenStream>(&IsaacSimClient::openJointPositionStream), "articulation_id"_a,
           WithoutGil(), "Opens the articulation's joint-position stream.")
      .def("open_articulation_state_stream",
           method<OpenStream>(&IsaacSimClient::openArticulationStateStream), "articulation_id"_a,
           WithoutGil(), "Opens the articulation's state stream.")
      .def("__repr__",
           [](const IsaacSimClient& c) { return "<strandel.IsaacSimClient " + c.baseUrl() + ">"; });
}

}  // namespace strandel::python
