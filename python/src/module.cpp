// The extension `strandel._core`: the library's client, facades, frames and streams for Python,
// re-exported by the package `strandel` (python/strandel/__init__.py). Its classes and functions
// carry the package's name (strandel.IsaacSimClient, strandel.HTTPError), the name users import,
// print and pickle them by.
//
// Exceptions: each error kind of the library becomes the Python class of the same name (written
// in Python below, each a subclass of strandel.Error and of RuntimeError, with the C++ accessors
// as attributes in snake_case): HTTPError, TransportError and its TimeoutError (also a builtin
// TimeoutError), HandshakeError, ResponseTooLargeError, MessageTooLargeError, FrameFormatError,
// StreamClosedError and PeerClosedError. std::invalid_argument becomes ValueError, nlohmann/json's
// exceptions ValueError with their text, and every other std::runtime_error RuntimeError with the
// library's text.

#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <strandel/errors.hpp>
#include <strandel/http.hpp>
#include <strandel/json.hpp>
#include <strandel/urls.hpp>

#include "bindings.hpp"

namespace py = pybind11;

namespace strandel::python {
namespace {

// Classes written in Python: the exception (so that it is an ordinary RuntimeError subclass) and
// the headers mapping (so that it has every Mapping method).
constexpr const char* kPythonClasses = R"PY(
import builtins as _builtins
import collections.abc as _abc

_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def _excerpt(body, limit=200):
    """The start of an answer's body for an error text: at most `limit` characters of its bytes
    decoded as UTF-8 (undecodable bytes replaced), runs of white space as one space."""
    if isinstance(body, (bytes, bytearray, memoryview)):
        text = bytes(body[:4 * limit + 4]).decode("utf-8", "replace")
    else:
        text = str(body)
    text = " ".join(text.split())
    return text if len(text) <= limit else text[:limit] + "..."


class Error(Exception):
    """The base of every error kind of this module: `except strandel.Error` catches them all. Each
    kind also derives from RuntimeError (and TimeoutError from the builtin TimeoutError). Misuse
    raises builtin exceptions instead: ValueError, TypeError, BufferError."""


class HTTPError(Error, RuntimeError):
    """A bridge answer outside 200..299. args[0] is "Bridge returned status N"; str(error) adds the
    request's method and URL when known and the start of the answer's body. status_code is N,
    body the answer's bytes unaltered, method and url those of the facade call that got the answer
    (None when not known)."""

    def __init__(self, message, status_code, body, method=None, url=None):
        super().__init__(message)
        self.status_code = status_code
        self.body = body
        self.method = method
        self.url = url

    def __str__(self):
        text = str(self.args[0]) if self.args else ""
        request = [str(part) for part in (self.method, self.url) if part is not None]
        if request:
            text += " for " + " ".join(request)
        excerpt = _excerpt(self.body) if self.body else ""
        return text + ": " + excerpt if excerpt else text

    def __reduce__(self):
        return (type(self), (self.args[0], self.status_code, self.body, self.method, self.url))


class TransportError(Error, RuntimeError):
    """An HTTP exchange whose last attempt got no complete answer, or a stream's failed send or
    receive. curl_code is libcurl's code of the failure, url the request's or stream's URL,
    attempts the attempts made (1 for a stream)."""

    def __init__(self, message, curl_code, url, attempts):
        super().__init__(message)
        self.curl_code = curl_code
        self.url = url
        self.attempts = attempts

    def __reduce__(self):
        return (type(self), (self.args[0], self.curl_code, self.url, self.attempts))


class TimeoutError(TransportError, _builtins.TimeoutError):
    """A TransportError because the time-out passed; also a builtin TimeoutError (an OSError whose
    errno, strerror and filename stay None)."""


class HandshakeError(Error, RuntimeError):
    """A stream that could not be opened. url is the stream's URL, status_code the HTTP status the
    bridge refused the upgrade with (0 when none arrived), body what libcurl handed on of the
    refusal's bytes (often b"": the handshake is one request and is never repeated to read it).
    str(error) adds " (status N)" when there is a status."""

    def __init__(self, message, url, status_code, body):
        super().__init__(message)
        self.url = url
        self.status_code = status_code
        self.body = body

    def __str__(self):
        text = str(self.args[0]) if self.args else ""
        return text + " (status %d)" % self.status_code if self.status_code else text

    def __reduce__(self):
        return (type(self), (self.args[0], self.url, self.status_code, self.body))


class _LimitError(Error, RuntimeError):
    def __init__(self, message, limit):
        super().__init__(message)
        self.limit = limit

    def __reduce__(self):
        return (type(self), (self.args[0], self.limit))


class ResponseTooLargeError(_LimitError):
    """An HTTP answer's body passed max_response_bytes (limit); never retried."""


class MessageTooLargeError(_LimitError):
    """A stream message passed max_message_bytes (limit); the stream goes on after it."""


class FrameFormatError(Error, RuntimeError):
    """A 2xx capture answer that is not a well-formed binary camera frame."""


class StreamClosedError(Error, RuntimeError):
    """A call on a stream that is closed, that can no longer send, or that is reconnecting."""


class PeerClosedError(Error, RuntimeError):
    """A send after the bridge closed the stream; close_code is its close frame's code or None."""

    def __init__(self, message, close_code):
        super().__init__(message)
        self.close_code = close_code

    def __reduce__(self):
        return (type(self), (self.args[0], self.close_code))


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

// The exception classes, owned for the life of the process: the module is never unloaded, and a
// static py::object would be released after the interpreter is gone.
struct ErrorTypes {
  PyObject* http = nullptr;
  PyObject* transport = nullptr;
  PyObject* timeout = nullptr;
  PyObject* handshake = nullptr;
  PyObject* responseTooLarge = nullptr;
  PyObject* messageTooLarge = nullptr;
  PyObject* frameFormat = nullptr;
  PyObject* streamClosed = nullptr;
  PyObject* peerClosed = nullptr;
} errorTypes;

PyObject* ownedType(py::module_& module, const char* name) {
  return py::object(module.attr(name)).release().ptr();
}

/// Sets the Python error `type`(what, details...); when making it fails, that failure instead.
template <typename... Details>
void raise(PyObject* type, const char* what, Details&&... details) {
  try {
    const py::object instance =
        py::handle(type)(lenientText(what), std::forward<Details>(details)...);
    PyErr_SetObject(type, instance.ptr());
  } catch (py::error_already_set& failure) {
    failure.restore();
  }
}

/// Most derived kinds first; what is not listed here is left to pybind11's own translation.
void translateException(std::exception_ptr thrown) {
  const ErrorTypes& types = errorTypes;
  try {
    if (thrown) std::rethrow_exception(thrown);
  } catch (const strandel::HTTPRequestError& error) {
    raise(types.http, error.what(), error.statusCode(), py::bytes(error.body()),
          lenientText(error.method()), lenientText(error.url()));
  } catch (const strandel::HTTPError& error) {
    raise(types.http, error.what(), error.statusCode(), py::bytes(error.body()));
  } catch (const strandel::TimeoutError& error) {
    raise(types.timeout, error.what(), error.curlCode(), lenientText(error.url()),
          error.attempts());
  } catch (const strandel::TransportError& error) {
    raise(types.transport, error.what(), error.curlCode(), lenientText(error.url()),
          error.attempts());
  } catch (const strandel::HandshakeError& error) {
    raise(types.handshake, error.what(), lenientText(error.url()), error.statusCode(),
          py::bytes(error.body()));
  } catch (const strandel::ResponseTooLargeError& error) {
    raise(types.responseTooLarge, error.what(), error.limit());
  } catch (const strandel::MessageTooLargeError& error) {
    raise(types.messageTooLarge, error.what(), error.limit());
  } catch (const strandel::FrameFormatError& error) {
    raise(types.frameFormat, error.what());
  } catch (const strandel::StreamClosedError& error) {
    raise(types.streamClosed, error.what());
  } catch (const strandel::PeerClosedError& error) {
    const std::optional<int> code = error.closeCode();
    raise(types.peerClosed, error.what(),
          code ? py::object(py::int_(*code)) : py::object(py::none()));
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

std::chrono::milliseconds toSignedMilliseconds(double seconds, const char* name) {
  if (!(seconds < 0)) return toMilliseconds(seconds, name);
  return -toMilliseconds(-seconds, name);
}

py::str lenientText(const std::string& bytes) {
  PyObject* text =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

std::shared_ptr<py::object> sharedCallable(py::object callable) {
  return std::shared_ptr<py::object>(new py::object(std::move(callable)), [](py::object* held) {
    if (Py_IsInitialized() == 0) {
      static_cast<void>(held->release());  // the interpreter is gone; nothing can be released
    } else {
      py::gil_scoped_acquire gil;
      *held = py::object();
    }
    delete held;
  });
}

}  // namespace strandel::python

PYBIND11_MODULE(_core, module) {
  using namespace strandel::python;
  // Types, functions and the classes written in Python take their __module__ from the module's
  // name while they are made: it reads "strandel" until the end of this function.
  const py::object ownName = module.attr("__name__");
  module.attr("__name__") = "strandel";
  module.doc() =
      "Client for the NVIDIA Isaac Sim bridge: articulations, surface grippers, cameras, streams.";
  module.attr("__version__") = STRANDEL_VERSION;

  py::exec(kPythonClasses, module.attr("__dict__"));
  errorTypes.http = ownedType(module, "HTTPError");
  errorTypes.transport = ownedType(module, "TransportError");
  errorTypes.timeout = ownedType(module, "TimeoutError");
  errorTypes.handshake = ownedType(module, "HandshakeError");
  errorTypes.responseTooLarge = ownedType(module, "ResponseTooLargeError");
  errorTypes.messageTooLarge = ownedType(module, "MessageTooLargeError");
  errorTypes.frameFormat = ownedType(module, "FrameFormatError");
  errorTypes.streamClosed = ownedType(module, "StreamClosedError");
  errorTypes.peerClosed = ownedType(module, "PeerClosedError");
  py::register_exception_translator(&translateException);

  bindFrame(module);
  bindStream(module);
  bindFacades(module);
  bindClient(module);
  module.def(
      "websocket_url_for",
      [](const std::string& http_url) { return strandel::websocketUrlFor(http_url); },
      py::arg("http_url"),
      "The WebSocket base URL that goes with the HTTP base URL `http_url`: the scheme http becomes "
      "ws and https becomes wss (compared ignoring ASCII case, written in lower case), the rest is "
      "kept as it is, e.g. 'https://sim-host:8211/' gives 'wss://sim-host:8211/'. A URL without a "
      "scheme or with another one comes back unchanged.");
  module.attr("__name__") = ownName;
}
