#pragma once

#include <utility>

#include <Python.h>

#include <strandel/camera_frame.hpp>

namespace strandel::python {

/// The object behind strandel.CameraFrame: one decoded frame, and what keeps a capture into it
/// from changing bytes that an array still views. Every member is read and written with the GIL
/// held; only a capture's C++ call touches `frame` without it, while `capturing` is set.
struct Frame {
  Frame() = default;
  explicit Frame(CameraFrame decoded) noexcept : frame(std::move(decoded)) {}
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  CameraFrame frame;
  /// The owner object of the arrays handed out since the last capture into this frame, while any
  /// of them (or of the arrays made from them) is alive; null otherwise. Borrowed: the owner
  /// clears it when it goes away.
  PyObject* exports = nullptr;
  /// A capture into this frame is under way (on any thread).
  bool capturing = false;
};

}  // namespace strandel::python
