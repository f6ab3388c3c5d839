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
/// the status and the body. The steps, each of which throws and ends the call:
/// 1. a status outside 200..299: HTTPError(status, copy of body);
/// 2. a body shorter than 8 bytes or not starting with the magic: std::runtime_error
///    "camera response is not a binary frame: expected it to start with \"QXB1\"";
/// 3. 8 + M beyond the body: std::runtime_error
///    "camera frame is truncated: its manifest claims <M> bytes but the body holds <S>";
/// 4. a manifest nested deeper than kMaxManifestDepth: std::runtime_error
///    "camera frame manifest is nested deeper than 512 levels";
///    a manifest that is not exactly one JSON value: nlohmann::json::parse_error;
/// 5. "structure" (moved into the frame) and then "arrays" read with at(): type_error 304 for a
///    manifest that is not an object, out_of_range 403 for a missing member;
/// 6. for each descriptor visited by range iteration over "arrays": "shape" (type_error 302 when
///    not an array), "dtype" (a string's text, else the value's compact JSON text), "offset",
///    "nbytes" (numbers converted by toUnsigned64; type_error 302 for other kinds), then
///    std::runtime_error "camera frame is truncated: an output claims bytes past the end of the
///    body" unless the bytes lie in the data region, and std::runtime_error
///    "camera frame is too large: its outputs claim more than 16 times the length of the body"
///    once the outputs together would exceed kMaxCopiedBytesPerBodyByte times the body's length.
/// Thread-safe: a pure function of its argument.
CameraFrame decodeCameraFrame(const HttpResponse& response);

}  // namespace strandel::detail
