#include "camera_frame_encoder.hpp"

#include <cstring>

namespace strandel::mock_bridge {
namespace {

void appendUint32Le(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFFu));
}

}  // namespace

std::string encodeCameraFrame(const json& structure, const std::vector<FrameArray>& arrays) {
  json descriptors = json::array();
  std::uint64_t offset = 0;
  for (const FrameArray& array : arrays) {
    descriptors.push_back(
        {{"shape", array.shape}, {"dtype", array.dtype}, {"offset", offset}, {"nbytes", array.bytes.size()}});
    offset += array.bytes.size();
  }
  const std::string manifest = json{{"structure", structure}, {"arrays", descriptors}}.dump();
  std::string body = "QXB1";
  body.reserve(8 + manifest.size() + offset);
  appendUint32Le(body, static_cast<std::uint32_t>(manifest.size()));
  body += manifest;
  for (const FrameArray& array : arrays) body += array.bytes;
  return body;
}

std::string float32Bytes(const std::vector<float>& values) {
  std::string bytes;
  bytes.reserve(values.size() * 4);
  for (const float value : values) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    appendUint32Le(bytes, bits);
  }
  return bytes;
}

}  // namespace strandel::mock_bridge
