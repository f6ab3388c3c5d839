#pragma once

// The writing side of the binary camera frame, for programs that must produce frames: the stand-in
// bridge, the tests, the benchmarks and the fuzzer's seed corpus. Header-only and not part of the
// library, which only reads frames (src/camera/decode_camera_frame.hpp describes the layout).

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <strandel/json.hpp>

namespace strandel::detail {

/// "QXB1", the manifest length as unsigned 32-bit little-endian, the manifest text, then `data`.
/// The manifest is written as given, valid or not; its length must fit in 32 bits.
inline std::string writeCameraFrame(std::string_view manifest, std::string_view data) {
  const auto length = static_cast<std::uint32_t>(manifest.size());
  std::string frame;
  frame.reserve(8 + manifest.size() + data.size());
  frame.append("QXB1");
  for (int shift = 0; shift < 32; shift += 8) {
    frame.push_back(static_cast<char>((length >> shift) & 0xFFu));
  }
  frame.append(manifest).append(data);
  return frame;
}

/// One named array to be written into a frame.
struct FrameArray {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::string dtype;
  std::string bytes;
};

/// The manifest of `arrays` laid back to back in the data region, in order, each named in
/// "structure" by a {"__ndarray__": index} placeholder.
inline json frameManifest(const std::vector<FrameArray>& arrays) {
  json structure = json::object();
  json descriptors = json::array();
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    const FrameArray& array = arrays[i];
    structure[array.name] = {{"__ndarray__", i}};
    descriptors.push_back({{"shape", array.shape},
                           {"dtype", array.dtype},
                           {"offset", offset},
                           {"nbytes", array.bytes.size()}});
    offset += array.bytes.size();
  }
  return {{"structure", std::move(structure)}, {"arrays", std::move(descriptors)}};
}

/// A complete frame holding `arrays` back to back, as a well-behaved bridge writes it.
inline std::string writeCameraFrame(const std::vector<FrameArray>& arrays) {
  std::string data;
  for (const FrameArray& array : arrays) data += array.bytes;
  return writeCameraFrame(frameManifest(arrays).dump(), data);
}

}  // namespace strandel::detail
