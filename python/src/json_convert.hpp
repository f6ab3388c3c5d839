#pragma once

// Conversions between JSON values and plain Python objects, and the pybind11 type caster built on
// them: a bound function takes or returns strandel::json (or std::optional<json>, None meaning
// absent) directly. Both directions need the GIL; pybind11 holds it while it converts arguments
// and results, also for functions bound with py::call_guard<py::gil_scoped_release>.

#include <pybind11/pybind11.h>

#include <strandel/json.hpp>

namespace strandel::python {

/// The value as dict, list, str, int, float, bool or None (binary values as bytes). Object keys
/// keep their order. Throws pybind11::error_already_set (RecursionError) for nesting deeper than
/// the interpreter's recursion limit.
pybind11::object toPython(const json& value);

/// The object as JSON: None, bool, int (within 64 bits, signed or unsigned), float, str, dict with
/// str keys, list or tuple; objects with tolist() (numpy arrays and scalars) and integer-like
/// objects (__index__) by their Python value. Throws pybind11::type_error for anything else and for
/// a non-str key, pybind11::value_error for an int beyond 64 bits, and error_already_set for
/// RecursionError and str that cannot be encoded as UTF-8.
json fromPython(pybind11::handle object);

}  // namespace strandel::python

namespace pybind11::detail {

/// JSON arguments and results, named `object` in signatures. An argument is converted by
/// fromPython, and its errors leave the call as they are (TypeError "cannot send a set as JSON",
/// not pybind11's "incompatible function arguments"); a result by toPython.
template <>
struct type_caster<strandel::json> {
  PYBIND11_TYPE_CASTER(strandel::json, handle_type_name<object>::name);

  bool load(handle source, bool /*convert*/) {
    value = strandel::python::fromPython(source);
    return true;
  }

  static handle cast(const strandel::json& source, return_value_policy /*policy*/,
                     handle /*parent*/) {
    return strandel::python::toPython(source).release();
  }
};

}  // namespace pybind11::detail
