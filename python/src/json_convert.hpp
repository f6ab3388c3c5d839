#pragma once

// Conversions between JSON values and plain Python objects. Both directions need the GIL.

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
