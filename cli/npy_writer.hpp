#pragma once

// Arrays as numpy .npy files (format version 1.0), readable with numpy.load.

#include <string>

#include <strandel/camera_frame.hpp>

namespace strandel_cli {

/// The .npy type string of a dtype name ("<f4" for float32, "|u1" for uint8, ...); empty for a
/// name the library does not know.
std::string npyDescr(const std::string& dtype);

/// Writes `output` as a .npy file: magic, version 1.0, a header dict with descr, fortran_order
/// False and the shape, padded with spaces to a multiple of 64 bytes and ended by a newline, then
/// the bytes unchanged (little-endian, as the frame holds them). An output of an unknown dtype, or
/// whose byte count does not match its shape, is written as a flat uint8 array of its bytes.
/// Throws std::runtime_error when the file cannot be written.
void writeNpy(const std::string& path, const strandel::CameraOutput& output);

}  // namespace strandel_cli
