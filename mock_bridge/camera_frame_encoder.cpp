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
  std::string bytes;
  bytes.reserve(values.size() * 4);
  for (const float value : values) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((bits >> shift) & 0xFFu));
  }
  return bytes;
}

}  // namespace strandel::mock_bridge
