#pragma once

// The capture answer: a binary camera frame written with the project's one frame writer
// (camera_frame_writer.hpp): arrays back to back in the data region, each named in
// "structure" by a {"__ndarray__": position} placeholder. Pure functions; safe on any thread.

#include <string>
#include <vector>

#include "api_error.hpp"
#include "camera_frame_writer.hpp"

namespace strandel::mock_bridge {

using FrameArray = strandel::detail::FrameArray;

/// The frame body holding `arrays`; the members of the object `extra` are added to "structure"
/// beside the arrays' placeholders.
std::string encodeCameraFrame(const json& extra, const std::vector<FrameArray>& arrays);

/// The bytes of `values` as little-endian IEEE-754 single-precision numbers.
std::string float32Bytes(const std::vector<float>& values);

}  // namespace strandel::mock_bridge
