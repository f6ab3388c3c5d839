#pragma once

// PNG files encoded in memory with zlib: 8-bit grey, RGB and RGBA, and 16-bit grey (which
// stb_image_write cannot produce). Writing the bytes to a file is left to the caller, who decides
// whether an existing file may be replaced.
//
// Thread-safety: pure functions; any number of threads may call them at once.

#include <cstdint>
#include <string>
#include <vector>

namespace strandel_pictures {

/// Pixel layouts of encodePng8, valued as PNG's colour types.
enum class PngColour : std::uint8_t { Grey = 0, Rgb = 2, Rgba = 6 };

/// The PNG file (8 bits per sample, no interlacing) of `width` x `height` pixels of `colour`, rows
/// from the top; `samples` holds width * height * channels bytes. Throws std::invalid_argument
/// "the samples do not fill the picture" for another sample count, then "a PNG needs a width and a
/// height between 1 and 65536" for a size outside that range; std::runtime_error when zlib fails.
std::string encodePng8(std::uint32_t width, std::uint32_t height, PngColour colour,
                       const std::vector<std::uint8_t>& samples);

/// The 16-bit greyscale PNG file of `width` x `height` values, rows from the top. Throws as
/// encodePng8.
std::string encodePng16Grey(std::uint32_t width, std::uint32_t height,
                            const std::vector<std::uint16_t>& values);

}  // namespace strandel_pictures
