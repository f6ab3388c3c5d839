#include "camera_frame_encoder.hpp"

#include <cstdint>
#include <cstring>

namespace strandel::mock_bridge {

std::string encodeCameraFrame(const json& extra, const std::vector<FrameArray>& arrays) {
  json manifest = strandel::detail::frameManifest(arrays);
  manifest["structure"].update(extra);
  std::string data;
  for (const FrameArray& array : arrays) data += array.bytes;
  return strandel::detail::writeCameraFrame(manifest.dump(), data);
}

std::string float32Bytes(const std::vector<float>& values) {
  std::string bytes(values.size() * 4, '\0');
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
#else
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &values[i], sizeof bits);
    for (int k = 0; k < 4; ++k) bytes[i * 4 + k] = static_cast<char>((bits >> (8 * k)) & 0xFFu);
  }
#endif
  return bytes;
}

}  // namespace strandel::mock_bridge
