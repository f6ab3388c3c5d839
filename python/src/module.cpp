// The module `strandel`: the library's client, facades, frames and streams for Python.
//
// Exceptions: strandel::HTTPError becomes strandel.HTTPError (a RuntimeError with status_code and
// body), std::invalid_argument ValueError, nlohmann/json's exceptions ValueError with their text,
// and every other std::runtime_error RuntimeError with the library's text.

#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <strandel/http.hpp>
#include <strandel/json.hpp>

#include "bindings.hpp"

namespace py = pybind11;

namespace strandel::python {
namespace {

// Classes written in Python: the exception (so that it is an ordinary RuntimeError subclass) and
// the headers mapping (so that it has every Mapping method).
constexpr const char* kPythonClasses = R"PY(
import collections.abc as _abc

_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


class HTTPError(RuntimeError):
    """A bridge answer outside 200..299. str(error) is "Bridge returned status N"; status_code is
    N and body the answer's bytes, unaltered."""

    def __init__(self, message, status_code, body):
        super().__init__(message)
        self.status_code = status_code
        self.body = body

    def __reduce__(self):
        return (type(self), (self.args[0], self.status_code, self.body))


class Headers(_abc.Mapping):
    """Response headers. Iterates over the names as received (names differing only in case are
    separate entries); a lookup ignores ASCII case and gives the value of the first matching name
    in byte order."""

    __slots__ = ("_items", "_folded")

    def __init__(self, items=()):
        self._items = dict(items)
        self._folded = {}
        for name in sorted(self._items):
            self._folded.setdefault(name.translate(_ASCII_LOWER), self._items[name])

    def __getitem__(self, name):
        if isinstance(name, str):
            folded = name.translate(_ASCII_LOWER)
            if folded in self._folded:
                return self._folded[folded]
        raise KeyError(name)

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)

    def __repr__(self):
        return "Headers(%r)" % (self._items,)
)PY";

// Owned for the life of the process: the module is never unloaded, and a static py::object would
// be released after the interpreter is gone.
PyObject* httpErrorType = nullptr;

void translateException(std::exception_ptr thrown) {
  try {
    if (thrown) std::rethrow_exception(thrown);
  } catch (const strandel::HTTPError& error) {
    const py::object instance =
        py::handle(httpErrorType)(error.what(), error.statusCode(), py::bytes(error.body()));
    PyErr_SetObject(httpErrorType, instance.ptr());
  } catch (const nlohmann::json::exception& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  }
}

}  // namespace

std::chrono::milliseconds toMilliseconds(double seconds, const char* name) {
  if (!std::isfinite(seconds)) {
    throw std::invalid_argument(std::string(name) + " must be a finite number of seconds");
  }
  constexpr double kMaxMilliseconds = std::numeric_limits<int>::max();
  const double milliseconds = std::ceil(seconds * 1000.0);
  if (milliseconds > kMaxMilliseconds)
    return std::chrono::milliseconds(std::numeric_limits<int>::max());
  return std::chrono::milliseconds(static_cast<long long>(milliseconds));
}

}  // namespace strandel::python

PYBIND11_MODULE(strandel, module) {
  using namespace strandel::python;
  module.doc() =
      "Client for the NVIDIA Isaac Sim bridge: articulations, surface grippers, cameras, streams.";
  module.attr("__version__") = STRANDEL_VERSION;

  py::exec(kPythonClasses, module.attr("__dict__"));
  httpErrorType = py::object(module.attr("HTTPError")).release().ptr();
  py::register_exception_translator(&translateException);

  bindFrame(module);
  bindStream(module);
  bindFacades(module);
  bindClient(module);
}
