#include "json_convert.hpp"

#include <string>

namespace py = pybind11;

namespace strandel::python {
namespace {

/// Holds one level of the interpreter's recursion budget, so that deep values raise
/// RecursionError instead of exhausting the C stack.
class RecursionLevel {
 public:
  explicit RecursionLevel(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
  }
  ~RecursionLevel() { Py_LeaveRecursiveCall(); }
  RecursionLevel(const RecursionLevel&) = delete;
  RecursionLevel& operator=(const RecursionLevel&) = delete;
};

py::object steal(PyObject* object) {
  if (object == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(object);
}

py::object text(const std::string& value) {
  return steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr));
}

json integerFromPython(py::handle object) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow == 0) return json(static_cast<std::int64_t>(value));
  if (overflow > 0) {
    const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(object.ptr());
    if (!PyErr_Occurred()) return json(static_cast<std::uint64_t>(unsigned_value));
    PyErr_Clear();
  }
  throw py::value_error("int " + py::repr(object).cast<std::string>() + " does not fit in 64 bits");
}

}  // namespace

py::object toPython(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
      return py::none();
    case json::value_t::boolean:
      return py::bool_(value.get<bool>());
    case json::value_t::number_integer:
      return steal(PyLong_FromLongLong(value.get<std::int64_t>()));
    case json::value_t::number_unsigned:
      return steal(PyLong_FromUnsignedLongLong(value.get<std::uint64_t>()));
    case json::value_t::number_float:
      return steal(PyFloat_FromDouble(value.get<double>()));
    case json::value_t::string:
      return text(value.get_ref<const std::string&>());
    case json::value_t::binary: {
      const auto& bytes = value.get_binary();
      return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case json::value_t::array: {
      RecursionLevel level(" while converting JSON to Python");
      py::list list(value.size());
      std::size_t i = 0;
      for (const json& element : value) list[i++] = toPython(element);
      return std::move(list);
    }
    case json::value_t::object: {
      RecursionLevel level(" while converting JSON to Python");
      py::dict dict;
      for (const auto& [key, element] : value.items()) {
        const py::object name = text(key);
        if (PyDict_SetItem(dict.ptr(), name.ptr(), toPython(element).ptr()) != 0) {
          throw py::error_already_set();
        }
      }
      return std::move(dict);
    }
  }
  return py::none();
}

json fromPython(py::handle object) {
  if (object.is_none()) return nullptr;
  if (PyBool_Check(object.ptr())) return object.ptr() == Py_True;
  if (PyLong_Check(object.ptr())) return integerFromPython(object);
  if (PyFloat_Check(object.ptr())) return PyFloat_AS_DOUBLE(object.ptr());
  if (PyUnicode_Check(object.ptr())) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    return std::string(data, static_cast<std::size_t>(size));
  }
  if (PyDict_Check(object.ptr())) {
    RecursionLevel level(" while converting Python to JSON");
    json result = json::object();
    for (const auto& [key, element] : py::reinterpret_borrow<py::dict>(object)) {
      if (!PyUnicode_Check(key.ptr())) {
        throw py::type_error("JSON object keys must be str, not " +
                             py::type::handle_of(key).attr("__name__").cast<std::string>());
      }
      result[fromPython(key).get_ref<const std::string&>()] = fromPython(element);
    }
    return result;
  }
  if (PyList_Check(object.ptr()) || PyTuple_Check(object.ptr())) {
    RecursionLevel level(" while converting Python to JSON");
    json result = json::array();
    for (const py::handle element : py::reinterpret_borrow<py::sequence>(object)) {
      result.push_back(fromPython(element));
    }
    return result;
  }
  if (py::hasattr(object, "tolist") && !PyBytes_Check(object.ptr())) {
    RecursionLevel level(" while converting Python to JSON");
    return fromPython(object.attr("tolist")());
  }
  if (PyIndex_Check(object.ptr())) return integerFromPython(steal(PyNumber_Index(object.ptr())));
  throw py::type_error("cannot send a " +
                       py::type::handle_of(object).attr("__name__").cast<std::string>() +
                       " as JSON");
}

}  // namespace strandel::python
