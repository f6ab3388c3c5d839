// strandel.CameraFrame: a captured frame whose arrays are numpy views of the frame's own buffers.
//
// Ownership: the Python frame object owns the decoded CameraFrame. Every array it hands out views
// one output's bytes without copying. Its base is the frame's export owner: one small object per
// frame, made when the first array is handed out, that holds a reference to the frame (so the
// bytes live as long as any array does, whatever happens to the client that captured them) and
// tells the frame when the last array viewing it (or made from one) has gone. A capture into the
// frame is refused while the owner lives (see bind_facades.cpp).

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <strandel/camera_frame.hpp>

#include "bindings.hpp"
#include "frame_object.hpp"

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

/// Imports numpy and loads its C API, once; afterwards does nothing. Runs with the GIL held, before
/// the first array is made: the module itself imports without numpy. Raises ImportError "camera
/// frame arrays need numpy, which cannot be imported: <why>" (caused by numpy's own ImportError)
/// when it is missing, and then tries again at the next call.
///
/// pybind11 loads numpy's C API inside a function-local static whose initialisation imports numpy.
/// Were numpy imported there first, threads making their first arrays at once could wait on each
/// other for good: one holds the static's guard and waits for the GIL, which the import gave up
/// meanwhile to another thread that holds it and waits for the guard. So numpy is imported here
/// first, where the import's own locks let threads wait without holding anything else; by the time
/// the static is initialised, numpy's modules are loaded, its import takes nothing but a lookup,
/// and the GIL is not given up while the guard is held.
void requireNumpy() {
  static bool loaded = false;  // read and written with the GIL held
  if (loaded) return;
  try {
    py::module_::import("numpy");
  } catch (py::error_already_set& failure) {
    if (!failure.matches(PyExc_ImportError)) throw;
    const std::string why = py::str(failure.value());
    py::raise_from(failure, PyExc_ImportError,
                   ("camera frame arrays need numpy, which cannot be imported: " + why).c_str());
    throw py::error_already_set();
  }
  static_cast<void>(py::detail::npy_api::get());
  loaded = true;
}

/// A view of the output's bytes owned by `owner` (its base): typed and shaped when viewShape
/// allows, else one-dimensional uint8 over all of its bytes. Needs numpy (requireNumpy).
py::array arrayOf(const CameraOutput& output, py::handle owner) {
  requireNumpy();
  // numpy allocates a buffer of its own for a null pointer; an empty output still views the frame.
  static const std::uint8_t kNoBytes = 0;
  const void* bytes = output.data.empty() ? &kNoBytes : output.data.data();
  if (const auto shape = viewShape(output)) {
    return py::array(py::dtype(numpyTypeOf(output.dtype)), *shape, {}, bytes, owner);
  }
  const std::vector<py::ssize_t> flat{static_cast<py::ssize_t>(output.data.size())};
  return py::array(py::dtype("|u1"), flat, {}, bytes, owner);
}

/// What an export owner holds: the frame it reports to and a strong reference to its Python
/// object.
struct ExportOwner {
  Frame* frame;
  PyObject* frameObject;
};

/// The capsule destructor of an export owner: the frame has no arrays out any more.
void releaseExports(void* pointer) {
  auto* owner = static_cast<ExportOwner*>(pointer);
  owner->frame->exports = nullptr;
  Py_DECREF(owner->frameObject);
  delete owner;
}

/// The frame behind `self`; RuntimeError while a capture into it runs on another thread.
Frame& readableFrame(const py::handle& self) {
  Frame& frame = self.cast<Frame&>();
  if (frame.capturing) throw std::runtime_error("the frame is in use by another thread");
  return frame;
}

/// The export owner of the frame behind `self`: the live one, or a new one.
py::object exportsOf(const py::handle& self, Frame& frame) {
  if (frame.exports != nullptr) return py::reinterpret_borrow<py::object>(frame.exports);
  auto owner = std::make_unique<ExportOwner>(ExportOwner{&frame, self.ptr()});
  py::capsule capsule(owner.get(), &releaseExports);
  owner.release();
  Py_INCREF(self.ptr());
  frame.exports = capsule.ptr();
  return std::move(capsule);
}

}  // namespace

void bindFrame(py::module_& module) {
  py::class_<Frame>(
      module, "CameraFrame",
      "A decoded camera frame: its structure (outputs appear as {'__ndarray__': index}) and its "
      "arrays. The arrays are numpy views of the frame's buffers (no copy), each keeping the frame "
      "alive; an array whose dtype numpy does not know, or whose byte count does not match its "
      "shape, comes as one-dimensional uint8. CameraFrame() is an empty frame (structure None, no "
      "arrays) to capture into (cameras.capture(..., into=frame)); such a capture is refused "
      "with BufferError while arrays of the frame are alive. Only the arrays need numpy: without "
      "it, asking for one raises ImportError.")
      .def(py::init([]() { return std::make_unique<Frame>(); }))
      .def_property_readonly(
          "structure",
          [](const py::object& self) -> const json& { return readableFrame(self).frame.structure; },
          "The frame's named content as plain Python values.")
      .def_property_readonly(
          "outputs",
          [](const py::object& self) {
            Frame& frame = readableFrame(self);
            py::list arrays;
            if (frame.frame.outputs.empty()) return arrays;
            const py::object owner = exportsOf(self, frame);
            for (const CameraOutput& output : frame.frame.outputs)
              arrays.append(arrayOf(output, owner));
            return arrays;
          },
          "The arrays in index order.")
      .def(
          "output",
          [](const py::object& self, const std::string& name) -> py::object {
            Frame& frame = readableFrame(self);
            const CameraOutput* output = frame.frame.output(name);
            if (output == nullptr) return py::none();
            return arrayOf(*output, exportsOf(self, frame));
          },
          "name"_a,
          "The array whose placeholder is the top-level member `name` of structure, or None. "
          "ValueError when the placeholder's index is not a number.")
      .def("__repr__", [](const py::object& self) {
        return "<strandel.CameraFrame with " +
               std::to_string(readableFrame(self).frame.outputs.size()) + " outputs>";
      });
}

}  // namespace strandel::python
