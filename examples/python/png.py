"""Minimal PNG writing for the examples: 8-bit grey or RGB images from numpy arrays, compressed
with the standard library's zlib."""

import struct
import zlib

import numpy as np


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, image):
    """Writes a uint8 image of shape (height, width) (grey) or (height, width, 3) (RGB)."""
    image = np.ascontiguousarray(image, dtype=np.uint8)
    if image.ndim == 2:
        colour_type = 0
    elif image.ndim == 3 and image.shape[2] == 3:
        colour_type = 2
    else:
        raise ValueError("expected a (height, width) or (height, width, 3) image, not %s" % (image.shape,))
    height, width = image.shape[:2]
    rows = image.reshape(height, -1)
    # Each row starts with its filter type, 0 (none).
    raw = np.hstack([np.zeros((height, 1), dtype=np.uint8), rows]).tobytes()
    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(_chunk(b"IHDR", header))
        out.write(_chunk(b"IDAT", zlib.compress(raw, 6)))
        out.write(_chunk(b"IEND", b""))


def depth_to_grey(depth):
    """A float depth image as grey: near is light, far is dark, scaled between the nearest depth and
    the 95th percentile; the sky (infinite depth) is black. Returns (grey, nearest, farthest)."""
    finite = depth[np.isfinite(depth)]
    if finite.size == 0:
        return np.zeros(depth.shape, dtype=np.uint8), 0.0, 0.0
    nearest = float(finite.min())
    farthest = float(np.percentile(finite, 95))
    span = farthest - nearest if farthest > nearest else 1.0
    with np.errstate(invalid="ignore"):
        scaled = np.minimum(1.0, (depth - nearest) / span)
    grey = np.where(np.isfinite(depth), 255.0 - 215.0 * scaled, 0.0)
    return grey.astype(np.uint8), nearest, farthest
