#pragma once

// Arrays as numpy .npy files (format version 1.0, or 2.0 for a header longer than version 1.0 can
// announce), readable with numpy.load.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <strandel/camera_frame.hpp>

namespace strandel_cli {

class Directory;

/// The .npy type string of a dtype name ("<f4" for float32, "|u1" for uint8, ...); empty for a
/// name the library does not know.
std::string npyDescr(const std::string& dtype);

/// The product of `shape`'s extents (1 for an empty shape), or an empty optional when that
/// product, or the product times `item_size` (at least 1), does not fit in 63 bits: a shape no
/// array in memory and no .npy reader can hold.
std::optional<std::uint64_t> checkedElementCount(const std::vector<std::uint64_t>& shape,
                                                 std::uint64_t item_size);

/// Writes `output` as the new .npy file `name` in `dir` (created as NewFile does: something
/// already there, a symbolic link included, is refused): magic, version, header length, a header
/// dict with descr, fortran_order False and the shape, padded with spaces so that the data starts
/// at a multiple of 64 bytes and ended by a newline, then the bytes unchanged (little-endian, as
/// the frame holds them). Version 1.0 (2-byte header length) when the header fits in 65,535 bytes,
/// else 2.0 (4-byte header length). An output of an unknown dtype, or whose byte count does not
/// match its shape, is written as a flat uint8 array of its bytes. Throws std::invalid_argument for
/// a shape whose element count overflows (checkedElementCount), std::runtime_error when the file
/// cannot be created or written.
void writeNpy(const Directory& dir, const std::string& name, const strandel::CameraOutput& output);

}  // namespace strandel_cli
