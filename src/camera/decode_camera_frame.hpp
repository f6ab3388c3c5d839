#pragma once

// The reader of the binary camera frame that answers a capture:
//
//   offset 0      4 bytes  magic "QXB1"
//   offset 4      4 bytes  M, the manifest length, unsigned little-endian
//   offset 8      M bytes  the manifest, one JSON object:
//                          {"structure": <any>, "arrays": [{"shape": [...], "dtype": "...",
//                                                           "offset": n, "nbytes": n}, ...]}
//   offset 8 + M  the rest  the data region; "offset" counts from its start
//
// Arrays may lie anywhere in the data region, leave gaps and overlap; unclaimed bytes are ignored.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <strandel/camera_frame.hpp>
#include <strandel/http.hpp>

namespace strandel::detail {

/// Deepest nesting of arrays and objects a manifest may have (the manifest object itself is level
/// 1). Copying or serialising a JSON value recurses once per level, so this bound keeps a hostile
/// manifest, and every later copy of the frame built from it, from overflowing the stack.
inline constexpr std::size_t kMaxManifestDepth = 512;

/// The bytes all outputs of one frame may hold together, as a multiple of the body's length.
/// Arrays may overlap, so a small body could otherwise ask for any number of copies of its data
/// region. A frame with at most this many arrays can never reach the bound.
inline constexpr std::uint64_t kMaxCopiedBytesPerBodyByte = 16;

/// Decodes the answer to a capture into a frame that owns copies of everything it holds. Reads only
/// the status and the body, and checks in this order, each failure ending the call:
/// 1. a status outside 200..299 throws HTTPError with the status and a copy of the body;
/// 2. a body that does not start with the magic, one whose manifest runs past its end, and a
///    manifest nested deeper than kMaxManifestDepth throw std::runtime_error;
/// 3. a manifest that is not one JSON value, not an object, or lacks "structure" or "arrays" throws
///    the JSON library's parse, type or out-of-range error ("structure" is moved into the frame);
/// 4. each descriptor in order: a "shape" that is not an array or a number that is not a number
///    throws the JSON library's type_error (numbers go through toUnsigned64; a "dtype" that is not
///    a string is taken as its compact JSON text); bytes outside the data region, and outputs
///    that together would hold more than kMaxCopiedBytesPerBodyByte times the body's length, throw
///    std::runtime_error before the output's buffer is allocated.
/// Thread-safe: a pure function of its argument.
CameraFrame decodeCameraFrame(const HttpResponse& response);

/// The same checks, in the same order and with the same errors, on an answer's status and body,
/// decoded into `into`: its structure is replaced; its outputs vector and each output's shape,
/// dtype and data are overwritten in place (assign), so they allocate only when the new frame
/// needs more than they hold; outputs beyond the new count are removed. into.body_buffer is not
/// touched (`body` may live there). On a throw `into` is left empty: structure null, no outputs
/// (the vector's capacity kept). Thread-safe for distinct frames; `body` must not lie inside
/// into's outputs.
void decodeCameraFrame(long status, std::string_view body, CameraFrame& into);

}  // namespace strandel::detail
