#pragma once

// Writing the binary camera frame: the magic "QXB1", the manifest length as an unsigned 32-bit
// little-endian integer, the manifest (compact JSON with "structure" and "arrays"), then the data
// region holding the arrays back to back. Each descriptor's offset counts from the start of the
// data region. Pure functions; safe on any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "api_error.hpp"

namespace strandel::mock_bridge {

/// One array of a frame: its shape, element type name and raw little-endian bytes.
struct FrameArray {
  std::vector<std::uint64_t> shape;
  std::string dtype;
  std::string bytes;
};

/// The frame body. `structure` is written as given; it normally names each array with a
/// {"__ndarray__": position} placeholder.
std::string encodeCameraFrame(const json& structure, const std::vector<FrameArray>& arrays);

/// The bytes of `values` as little-endian IEEE-754 single-precision numbers.
std::string float32Bytes(const std::vector<float>& values);

}  // namespace strandel::mock_bridge
