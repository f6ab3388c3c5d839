#pragma once

// `strandel capture CAMERA_ID --out DIR`: one camera frame, or a series of them, written as files
// people and programs can open.

#include "bridge_options.hpp"
#include "command.hpp"

namespace strandel_cli {

/// Adds `capture`. Writes into DIR, for each array placeholder of the frame's structure named
/// NAME (its path in the structure, joined with '_', cut at 100 bytes, other bytes than
/// [A-Za-z0-9_-] as '_'):
///   uint8 [h,w,3], [h,w,4], [h,w] or [h,w,1]     NAME.png (8-bit RGB, RGBA or grey)
///   float32/float64 [h,w] whose name has "depth"   NAME.png (16-bit grey, millimetres, 0 where not
///                                                  finite or out of range), NAME_preview.png
///                                                  (false colour) and NAME.npy (the values in
///                                                  metres)
///   anything else                                  NAME.npy (format 1.0, or 2.0 for a header
///                                                  past 65,535 bytes)
/// arrays no placeholder names as output_N.npy, and frame.json: the structure with each
/// placeholder replaced by {"dtype", "shape", "file" (the exact values), "pictures" (if any)}.
/// A NAME whose stem or files another array (in the order found, placeholders first), frame.json
/// or the manifest already took, ignoring ASCII case, becomes the first free NAME_2, NAME_3, ...
/// Prints one line per file written, naming the array's path when the file's name differs from it.
///
/// DIR is created when missing (a symbolic link there is refused with Failure(kUsage)) and held
/// open: everything is created, read and removed relative to that descriptor (openat, mkdirat,
/// unlinkat), so that DIR renamed or replaced by a symbolic link meanwhile changes nothing.
/// It must otherwise be empty or hold only an earlier capture: the
/// manifest DIR/.strandel-capture (a regular file) and the files it lists, which are removed
/// first (each removal printed; a symbolic link is removed, never followed), or an earlier series,
/// whose manifest also lists frame directories, each a real directory holding only a capture of
/// its own, removed after its files. Anything else in DIR (at either level) throws
/// Failure(kUsage) before anything is changed. The manifest, listing this capture's files,
/// is written before them. Every file is created new (NewFile): none is overwritten, no symbolic
/// link followed.
///
/// A frame that cannot be decoded, a placeholder without its array, a shape whose element count
/// overflows, or a placeholder's array whose bytes do not match its shape throws
/// Failure(kMalformed), all before anything is written; a file that cannot be written,
/// Failure(kUsage); SIGINT before writing, Failure(kInterrupted).
///
/// With --count N, a series: N captures (started every 1/--rate seconds on a steady schedule, or
/// one after the other), frame K written as above into DIR/NNNNNN (K in six digits, a directory
/// made new), one frame held in memory at a time. DIR is prepared once the first frame arrived;
/// its manifest lists frames.jsonl and each frame directory before the directory is made. After a
/// frame's files are complete, DIR/frames.jsonl gets its line (see recording.hpp), written whole;
/// a series cut short leaves lines only for complete frames. SIGINT ends a series after the frame
/// being written and returns kSuccess when a frame is complete; SIGINT before the first frame
/// arrived throws Failure(kInterrupted). A failure of frame K throws as one capture does, frames
/// before it kept. A series prints one summary line at the end, "wrote DIR/frames.jsonl (K of N
/// frames)" followed by ", after removing M files of an earlier capture" when it removed any;
/// with --verbose (-v), also the line of each file written or removed, as one capture prints them.
void addCaptureCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands);

}  // namespace strandel_cli
