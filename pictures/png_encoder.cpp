#include "png_encoder.hpp"

#include <stdexcept>

#include <zlib.h>

namespace strandel_pictures {
namespace {

/// Largest width or height written: 2^31 - 1 is PNG's own bound; rows stay far below zlib's.
constexpr std::uint32_t kMaxExtent = 1u << 16;

void appendBigEndian32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((value >> shift) & 0xFFu));
}

/// One chunk: length, type, data, CRC-32 over type and data.
void appendChunk(std::string& out, const char (&type)[5], const std::string& data) {
  appendBigEndian32(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t crc_start = out.size();
  out.append(type, 4);
  out.append(data);
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(out.data() + crc_start),
              static_cast<uInt>(out.size() - crc_start));
  appendBigEndian32(out, static_cast<std::uint32_t>(crc));
}

/// The whole file for raw rows of `row_bytes` bytes each (samples already big-endian).
std::string encodePng(std::uint32_t width, std::uint32_t height, std::uint8_t bit_depth,
                      std::uint8_t colour_type, const std::uint8_t* rows, std::size_t row_bytes) {
  if (width == 0 || height == 0 || width > kMaxExtent || height > kMaxExtent) {
    throw std::invalid_argument("a PNG needs a width and a height between 1 and " +
                                std::to_string(kMaxExtent));
  }
  std::string header;
  appendBigEndian32(header, width);
  appendBigEndian32(header, height);
  header += static_cast<char>(bit_depth);
  header += static_cast<char>(colour_type);
  header += std::string(3, '\0');  // deflate, adaptive filtering, no interlace

  // Each row is preceded by its filter type; 0 (none) for every row.
  std::string filtered;
  filtered.reserve((row_bytes + 1) * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    filtered.push_back('\0');
    filtered.append(reinterpret_cast<const char*>(rows) + y * row_bytes, row_bytes);
  }
  // A zlib stream: deflate data followed by its Adler-32 checksum.
  uLongf compressed_size = compressBound(static_cast<uLong>(filtered.size()));
  std::string compressed(compressed_size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &compressed_size,
                reinterpret_cast<const Bytef*>(filtered.data()),
                static_cast<uLong>(filtered.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
    throw std::runtime_error("zlib could not compress the picture");
  }
  compressed.resize(compressed_size);

  std::string png("\x89PNG\r\n\x1a\n", 8);
  appendChunk(png, "IHDR", header);
  appendChunk(png, "IDAT", compressed);
  appendChunk(png, "IEND", std::string());
  return png;
}

}  // namespace

std::string encodePng8(std::uint32_t width, std::uint32_t height, PngColour colour,
                       const std::vector<std::uint8_t>& samples) {
  const std::size_t channels = colour == PngColour::Grey ? 1 : colour == PngColour::Rgb ? 3 : 4;
  const std::size_t row_bytes = static_cast<std::size_t>(width) * channels;
  if (samples.size() != row_bytes * height)
    throw std::invalid_argument("the samples do not fill the picture");
  return encodePng(width, height, 8, static_cast<std::uint8_t>(colour), samples.data(), row_bytes);
}

std::string encodePng16Grey(std::uint32_t width, std::uint32_t height,
                            const std::vector<std::uint16_t>& values) {
  if (values.size() != static_cast<std::size_t>(width) * height) {
    throw std::invalid_argument("the samples do not fill the picture");
  }
  // PNG stores 16-bit samples most significant byte first.
  std::vector<std::uint8_t> bytes(values.size() * 2);
  for (std::size_t i = 0; i < values.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(values[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(values[i] & 0xFFu);
  }
  return encodePng(width, height, 16, 0, bytes.data(), static_cast<std::size_t>(width) * 2);
}

}  // namespace strandel_pictures
