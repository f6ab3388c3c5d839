#pragma once

// `strandel capture CAMERA_ID --out DIR`: one camera frame written as files people and programs
// can open.

#include "bridge_options.hpp"
#include "command.hpp"

namespace strandel_cli {

/// Adds `capture`. Writes into DIR (created when missing), for each array placeholder of the
/// frame's structure named NAME (its path in the structure, joined with '_'):
///   uint8 [h,w,3], [h,w,4], [h,w] or [h,w,1]     NAME.png (8-bit RGB, RGBA or grey)
///   float32/float64 [h,w] whose name has "depth"   NAME.png (16-bit grey, millimetres, 0 where not
///                                                  finite or out of range), NAME_preview.png
///                                                  (false colour) and NAME.npy (the values in
///                                                  metres)
///   anything else                                  NAME.npy
/// arrays no placeholder names as output_N.npy, and frame.json: the structure with each
/// placeholder replaced by {"dtype", "shape", "file" (the exact values), "pictures" (if any)}.
/// Prints one line per file written. A frame that cannot be decoded, a placeholder without its
/// array, or an array whose bytes do not match its shape throws Failure(kMalformed); a file that
/// cannot be written, Failure(kUsage).
void addCaptureCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands);

}  // namespace strandel_cli
