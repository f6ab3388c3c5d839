#include "view_pictures.hpp"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>

#include "depth_pictures.hpp"

namespace strandel_cli {
namespace {

constexpr std::uint64_t kMaxExtent = 65535;  // JPEG's own limit

/// libjpeg's error manager with a way back to the encoding call instead of exit().
struct JpegErrors {
  jpeg_error_mgr manager{};
  std::jmp_buf back{};
  char message[JMSG_LENGTH_MAX] = {};
};

extern "C" void jpegFailed(j_common_ptr info) {
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->back, 1);
}

extern "C" void jpegQuiet(j_common_ptr, int) {}

/// Compresses into a buffer libjpeg allocates with malloc; returns false (with errors.message set)
/// when libjpeg failed. Holds no object with a destructor, so that the longjmp out of libjpeg
/// skips none.
bool compress(const std::uint8_t* pixels, const PictureShape& shape, int quality,
              JpegErrors& errors, unsigned char*& out, unsigned long& out_size) {
  jpeg_compress_struct info;
  std::memset(&info, 0, sizeof info);
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jpegFailed;
  errors.manager.emit_message = jpegQuiet;
  if (setjmp(errors.back) != 0) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &out, &out_size);
  info.image_width = shape.width;
  info.image_height = shape.height;
  info.input_components = static_cast<int>(shape.channels);
  info.in_color_space = shape.channels == 1   ? JCS_GRAYSCALE
                        : shape.channels == 4 ? JCS_EXT_RGBA
                                              : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  const std::size_t row_bytes = static_cast<std::size_t>(shape.width) * shape.channels;
  while (info.next_scanline < info.image_height) {
    auto* row = const_cast<JSAMPROW>(pixels + info.next_scanline * row_bytes);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

/// The depth at `index` of a little-endian float32 (item 4) or float64 (item 8) array.
double depthAt(const std::uint8_t* data, std::size_t index, std::size_t item) {
  std::uint64_t bits = 0;
  for (std::size_t b = 0; b < item; ++b)
    bits |= static_cast<std::uint64_t>(data[index * item + b]) << (8 * b);
  if (item == 4) {
    const auto narrow = static_cast<std::uint32_t>(bits);
    float value;
    std::memcpy(&value, &narrow, sizeof value);
    return value;
  }
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

/// The shade steps of `count` depths of type `Float` at `data`, stored in the host's byte order
/// (little-endian), into `rgb`: the same step as DepthRange::position gives, computed inline.
template <typename Float>
void shadeNative(const std::uint8_t* data, std::size_t count,
                 const strandel_pictures::DepthRange& range,
                 const std::array<std::array<std::uint8_t, 3>, 256>& table, std::uint8_t* rgb) {
  const double nearest = range.nearest;
  const double span = range.farthest > range.nearest ? range.farthest - range.nearest : 1.0;
  for (std::size_t i = 0; i < count; ++i) {
    Float value;
    std::memcpy(&value, data + i * sizeof(Float), sizeof value);
    const double depth = value;
    if (!std::isfinite(depth)) continue;
    const double t = (depth - nearest) / span;
    const double position = std::isnan(t) ? 1.0 : t < 0.0 ? 0.0 : t > 1.0 ? 1.0 : t;
    std::memcpy(rgb + 3 * i, table[static_cast<std::size_t>(position * 255.0 + 0.5)].data(), 3);
  }
}

}  // namespace

std::optional<PictureShape> pictureShapeOf(const strandel::CameraOutput& output) {
  const auto& s = output.shape;
  if (output.dtype != "uint8" || (s.size() != 2 && s.size() != 3)) return std::nullopt;
  const std::uint64_t channels = s.size() == 3 ? s[2] : 1;
  if (s[0] == 0 || s[1] == 0 || s[0] > kMaxExtent || s[1] > kMaxExtent ||
      (channels != 1 && channels != 3 && channels != 4) ||
      output.data.size() != s[0] * s[1] * channels) {
    return std::nullopt;
  }
  return PictureShape{static_cast<std::uint32_t>(s[1]), static_cast<std::uint32_t>(s[0]),
                      static_cast<std::uint32_t>(channels)};
}

std::string encodeJpeg(const std::uint8_t* pixels, const PictureShape& shape, int quality) {
  if (pixels == nullptr || shape.width == 0 || shape.height == 0 ||
      (shape.channels != 1 && shape.channels != 3 && shape.channels != 4)) {
    throw std::invalid_argument("the pixels do not fill the picture");
  }
  JpegErrors errors;
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  const bool done = compress(pixels, shape, quality, errors, out, out_size);
  std::string jpeg;
  if (done) jpeg.assign(reinterpret_cast<const char*>(out), out_size);
  std::free(out);
  if (!done) throw std::runtime_error(std::string("JPEG encoding failed: ") + errors.message);
  return jpeg;
}

DepthShader::DepthShader() {
  // A ramp from 0 to 1 whose 95th percentile is 1 (the 13 extra ends push it there), so that
  // strandel_pictures shades step i at exactly i / 255 of the range.
  std::vector<double> ramp(256 + 13, 1.0);
  for (std::size_t i = 0; i < 256; ++i) ramp[i] = static_cast<double>(i) / 255.0;
  const std::vector<std::uint8_t> colours = strandel_pictures::depthFalseColour(ramp);
  for (std::size_t i = 0; i < table_.size(); ++i)
    for (std::size_t c = 0; c < 3; ++c) table_[i][c] = colours[3 * i + c];
}

std::optional<std::vector<std::uint8_t>> DepthShader::shade(const strandel::CameraOutput& output,
                                                            PictureShape& shape) const {
  const auto& s = output.shape;
  const std::size_t item = output.dtype == "float32" ? 4 : output.dtype == "float64" ? 8 : 0;
  if (item == 0 || (s.size() != 2 && !(s.size() == 3 && s[2] == 1)) || s[0] == 0 || s[1] == 0 ||
      s[0] > kMaxExtent || s[1] > kMaxExtent || output.data.size() != s[0] * s[1] * item) {
    return std::nullopt;
  }
  const std::size_t count = static_cast<std::size_t>(s[0] * s[1]);
  const std::uint8_t* data = output.data.data();

  const std::size_t stride = count > kRangeSamples ? count / kRangeSamples : 1;
  std::vector<double> sample;
  sample.reserve(count / stride + 1);
  for (std::size_t i = 0; i < count; i += stride) sample.push_back(depthAt(data, i, item));
  const strandel_pictures::DepthRange range = strandel_pictures::depthRange(sample);

  std::vector<std::uint8_t> rgb(count * 3, 0);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (item == 4) {
    shadeNative<float>(data, count, range, table_, rgb.data());
  } else {
    shadeNative<double>(data, count, range, table_, rgb.data());
  }
#else
  for (std::size_t i = 0; i < count; ++i) {
    const double depth = depthAt(data, i, item);
    if (!std::isfinite(depth)) continue;
    const auto step = static_cast<std::size_t>(range.position(depth) * 255.0 + 0.5);
    std::memcpy(&rgb[3 * i], table_[step].data(), 3);
  }
#endif
  shape = PictureShape{static_cast<std::uint32_t>(s[1]), static_cast<std::uint32_t>(s[0]), 3};
  return rgb;
}

}  // namespace strandel_cli
