#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <strandel/export.hpp>
#include <strandel/json.hpp>

namespace strandel {

/// One n-dimensional array of a camera frame: its shape, element type name and raw bytes.
///
/// Thread-safety: a plain value. One record may be read from several threads at once, not written
/// while it is read. itemSize() may run concurrently anywhere.
struct STRANDEL_API CameraOutput {
  /// Extent of each dimension, as the frame lists them; empty for a scalar.
  std::vector<std::uint64_t> shape;
  /// Element type name, e.g. "float32".
  std::string dtype;
  /// The array's bytes exactly as they stood in the frame.
  std::vector<std::uint8_t> data;

  /// Product of the shape entries, wrapping modulo 2^64; 1 for an empty shape.
  std::uint64_t elementCount() const noexcept;
  /// Size of one element in bytes for the twelve known dtype names, 0 for any other name.
  std::uint64_t itemSize() const noexcept;
};

/// One array placeholder ({"__ndarray__": index}) found anywhere in a frame's structure, as
/// CameraFrame::namedOutputs lists them.
///
/// Thread-safety: a plain value, as CameraOutput.
struct STRANDEL_API NamedOutput {
  /// Member names and array positions (in decimal) from the structure's root down to the
  /// placeholder, outermost first; empty when the structure itself is the placeholder.
  std::vector<std::string> path;
  /// `path` joined with '/', e.g. "rgb" or "views/0/depth" (a '/' inside a member name is kept as
  /// it is); empty when the structure itself is the placeholder.
  std::string name;
  /// The "__ndarray__" value when it is a non-negative JSON integer; empty for any other value
  /// (a string, a negative or fractional number, ...), which marks a malformed placeholder.
  /// Stricter than output(name), which converts any number.
  std::optional<std::uint64_t> index;
  /// The output at `index`; nullptr when `index` is empty or not below the number of outputs.
  /// Valid while the frame's outputs are.
  const CameraOutput* output = nullptr;
};

/// A decoded camera frame: the named content and the arrays it refers to.
///
/// Thread-safety: a plain value, as CameraOutput.
struct STRANDEL_API CameraFrame {
  /// The frame's named content; outputs appear as {"__ndarray__": index} placeholders.
  ::strandel::json structure;
  /// The arrays, indexed as the placeholders count.
  std::vector<CameraOutput> outputs;
  /// Storage reused by Camera::capture(camera_id, into, ...): the answer's body is received into
  /// it, so that its memory serves the next capture. Empty after every capture (only its capacity
  /// is kept), so copying a frame never copies a body; anything put into it is discarded by the
  /// next such capture.
  std::string body_buffer;

  /// The output whose placeholder is the top-level member `name` of structure, or nullptr when
  /// there is none or its index is out of range. Throws nlohmann::json::type_error (302) when the
  /// "__ndarray__" value is not a number. The pointer is valid while this frame's outputs are.
  const CameraOutput* output(std::string_view name) const;

  /// Every array placeholder of structure, at any depth: an object holding the member
  /// "__ndarray__" (whatever else it holds; nothing inside it is searched further). Listed depth
  /// first in document order: an object's members in their key order (ascending bytes), an array's
  /// elements by position. Malformed placeholders are listed too, with an empty index and a null
  /// output, so that a caller can skip them or refuse the frame; an empty list when there is no
  /// placeholder. Walks without recursion, so any nesting depth is safe. Throws only
  /// std::bad_alloc.
  std::vector<NamedOutput> namedOutputs() const;
};

}  // namespace strandel
