// strandel.CameraFrame: a captured frame whose arrays are numpy views of the frame's own buffers.
//
// Ownership: the Python frame object owns the decoded CameraFrame. Every array it hands out views
// one output's bytes without copying and has the frame object as its base, so the bytes live as
// long as any array does, whatever happens to the client that captured them.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <strandel/camera_frame.hpp>

#include "bindings.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace strandel::python {
namespace {

// numpy refuses arrays with more dimensions than this (NPY_MAXDIMS of numpy 1.x).
constexpr std::size_t kMaxDimensions = 32;

/// numpy's type string for the twelve dtype names a frame may use, in the frame's byte order
/// (little-endian); nullptr for any other name.
const char* numpyTypeOf(const std::string& dtype) {
  static const struct {
    const char* frame;
    const char* numpy;
  } kTypes[] = {{"bool", "|b1"},    {"int8", "|i1"},    {"uint8", "|u1"},  {"int16", "<i2"},
                {"uint16", "<u2"},  {"float16", "<f2"}, {"int32", "<i4"},  {"uint32", "<u4"},
                {"float32", "<f4"}, {"int64", "<i8"},   {"uint64", "<u8"}, {"float64", "<f8"}};
  for (const auto& type : kTypes) {
    if (dtype == type.frame) return type.numpy;
  }
  return nullptr;
}

/// The shape the output's bytes can be viewed with: its own, when numpy knows its dtype and its
/// bytes are exactly product(shape) x itemsize; otherwise none. Products that overflow are none.
std::optional<std::vector<py::ssize_t>> viewShape(const CameraOutput& output) {
  const std::uint64_t item_size = output.itemSize();
  if (item_size == 0 || numpyTypeOf(output.dtype) == nullptr ||
      output.shape.size() > kMaxDimensions) {
    return std::nullopt;
  }
  constexpr auto kMaxExtent = static_cast<std::uint64_t>(std::numeric_limits<py::ssize_t>::max());
  std::uint64_t bytes_without_zeros = item_size;  // bounds every stride numpy will compute
  bool empty = false;
  std::vector<py::ssize_t> shape;
  shape.reserve(output.shape.size());
  for (const std::uint64_t extent : output.shape) {
    if (extent == 0) {
      empty = true;
    } else if (__builtin_mul_overflow(bytes_without_zeros, extent, &bytes_without_zeros) ||
               bytes_without_zeros > kMaxExtent) {
      return std::nullopt;
    }
    shape.push_back(static_cast<py::ssize_t>(extent));
  }
  const std::uint64_t bytes = empty ? 0 : bytes_without_zeros;
  if (bytes != output.data.size()) return std::nullopt;
  return shape;
}

/// A view of the output's bytes owned by `frame` (its base): typed and shaped when viewShape
/// allows, else one-dimensional uint8 over all of its bytes.
py::array arrayOf(const CameraOutput& output, py::handle frame) {
  // numpy allocates a buffer of its own for a null pointer; an empty output still views the frame.
  static const std::uint8_t kNoBytes = 0;
  const void* bytes = output.data.empty() ? &kNoBytes : output.data.data();
  if (const auto shape = viewShape(output)) {
    return py::array(py::dtype(numpyTypeOf(output.dtype)), *shape, {}, bytes, frame);
  }
  const std::vector<py::ssize_t> flat{static_cast<py::ssize_t>(output.data.size())};
  return py::array(py::dtype("|u1"), flat, {}, bytes, frame);
}

}  // namespace

void bindFrame(py::module_& module) {
  // pybind11 loads numpy's C API lazily, inside a function-local static whose initialisation
  // imports numpy. Threads making their first arrays at once could then wait on each other for
  // good: one holds the static's guard and waits for the GIL, which the import gave up meanwhile
  // to another thread that holds it and waits for the guard. Loading it here, under the import's
  // GIL, leaves nothing to initialise later. numpy is a dependency of the module: without it the
  // import raises ImportError.
  py::module_::import("numpy");
  static_cast<void>(py::detail::npy_api::get());

  py::class_<CameraFrame>(
      module, "CameraFrame",
      "A decoded camera frame: its structure (outputs appear as {'__ndarray__': index}) and its "
      "arrays. The arrays are numpy views of the frame's buffers (no copy), each keeping the frame "
      "alive; an array whose dtype numpy does not know, or whose byte count does not match its "
      "shape, comes as one-dimensional uint8.")
      .def_readonly("structure", &CameraFrame::structure,
                    "The frame's named content as plain Python values.")
      .def_property_readonly(
          "outputs",
          [](const py::object& self) {
            const auto& frame = self.cast<const CameraFrame&>();
            py::list arrays;
            for (const CameraOutput& output : frame.outputs) arrays.append(arrayOf(output, self));
            return arrays;
          },
          "The arrays in index order.")
      .def(
          "output",
          [](const py::object& self, const std::string& name) -> py::object {
            const auto& frame = self.cast<const CameraFrame&>();
            const CameraOutput* output = frame.output(name);
            if (output == nullptr) return py::none();
            return arrayOf(*output, self);
          },
          "name"_a,
          "The array whose placeholder is the top-level member `name` of structure, or None. "
          "ValueError when the placeholder's index is not a number.")
      .def("__repr__", [](const CameraFrame& frame) {
        return "<strandel.CameraFrame with " + std::to_string(frame.outputs.size()) + " outputs>";
      });
}

}  // namespace strandel::python
