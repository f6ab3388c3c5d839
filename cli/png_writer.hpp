#pragma once

// PNG files written with zlib: 8-bit grey, RGB and RGBA, and 16-bit grey, which
// stb_image_write cannot produce.

#include <cstdint>
#include <string>
#include <vector>

namespace strandel_cli {

/// Pixel layouts of writePng8.
enum class PngColour : std::uint8_t { Grey = 0, Rgb = 2, Rgba = 6 };

/// Writes `width` x `height` pixels of `colour`, rows from the top, one byte per sample, as an
/// 8-bit PNG. `samples` holds width * height * channels bytes. Throws std::invalid_argument for
/// a zero or too large size or a sample count that does not match, std::runtime_error when the
/// file cannot be created (something already at `path`, a symbolic link included, is refused as
/// NewFile does) or written.
void writePng8(const std::string& path, std::uint32_t width, std::uint32_t height, PngColour colour,
               const std::vector<std::uint8_t>& samples);

/// Writes `width` x `height` 16-bit grey values, rows from the top, as a 16-bit greyscale PNG.
/// Throws as writePng8.
void writePng16Grey(const std::string& path, std::uint32_t width, std::uint32_t height,
                    const std::vector<std::uint16_t>& values);

}  // namespace strandel_cli
