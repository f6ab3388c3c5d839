// Writes a seed corpus of valid binary camera frames for the decoder's fuzz target:
//   camera_seed_corpus <directory>
// Each frame is built by code, covering the format's legal variety: several dtypes and shapes,
// scalars, empty and null array lists, overlaps, gaps, unclaimed bytes, fractional numbers,
// non-string dtypes, extra members and structures of many forms.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <strandel/json.hpp>

#include "camera_frame_writer.hpp"

namespace {

using strandel::json;
using strandel::detail::FrameArray;
using strandel::detail::frameManifest;
using strandel::detail::writeCameraFrame;

std::string patternBytes(std::size_t count, unsigned seed) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 31 + seed) & 0xFF);
  return bytes;
}

json descriptor(json shape, json dtype, json offset, json nbytes) {
  return {{"shape", std::move(shape)},
          {"dtype", std::move(dtype)},
          {"offset", std::move(offset)},
          {"nbytes", std::move(nbytes)}};
}

std::vector<std::string> seedFrames() {
  std::vector<std::string> frames;
  // Well-behaved frames as a bridge writes them.
  frames.push_back(writeCameraFrame({{"front", {2, 3}, "uint16", patternBytes(12, 1)}}));
  frames.push_back(writeCameraFrame({{"rgb", {4, 3, 3}, "uint8", patternBytes(36, 2)},
                                     {"depth", {4, 3}, "float32", patternBytes(48, 3)},
                                     {"mask", {4, 3}, "bool", patternBytes(12, 4)}}));
  frames.push_back(writeCameraFrame({{"scalar", {}, "float64", patternBytes(8, 5)},
                                     {"empty", {0, 4}, "int32", ""},
                                     {"ids", {3}, "int64", patternBytes(24, 6)}}));
  frames.push_back(writeCameraFrame({}));

  // The format's looser corners, written from hand-built manifests.
  const std::string data = patternBytes(64, 7);
  const json structure = {{"a", {{"__ndarray__", 0}}},
                          {"b", {{"__ndarray__", 1.7}}},
                          {"c", {{"__ndarray__", -1}}},
                          {"d", 3},
                          {"e", {{"inner", {{"__ndarray__", 0}}}}},
                          {"f", json::array({1, "x"})}};
  const std::vector<json> manifests = {
      {{"structure", structure},
       {"arrays",
        {descriptor({4, 4}, "uint8", 8, 16), descriptor({4, 4}, "uint8", 8, 16),
         descriptor({2}, "float32", 0, 8)}}},
      {{"structure", structure},
       {"arrays",
        {descriptor({2.5, 3}, 5, 1.9, 6.2), descriptor({1e3}, nullptr, 60, 4),
         descriptor(json::array(), {{"kind", "custom"}}, 64, 0)}}},
      {{"structure", {{"only", {{"__ndarray__", 0}}}}},
       {"arrays", {{"z", descriptor({8}, "int8", 40, 8)}, {"a", descriptor({8}, "int8", 0, 8)}}}},
      {{"structure", "plain text"}, {"arrays", nullptr}},
      {{"structure", json::array({json::array({json::array({json::object()})})})},
       {"arrays", json::array()},
       {"version", 2}},
      {{"arrays", {descriptor({16}, "uint32", 0, 64)}},
       {"structure", {{"x", {{"__ndarray__", 0}, {"units", "m"}}}}}},
  };
  for (const json& manifest : manifests) frames.push_back(writeCameraFrame(manifest.dump(), data));
  // Whitespace around the manifest, inside its counted bytes.
  frames.push_back(writeCameraFrame(
      " \n" + frameManifest({{"front", {2}, "uint8", "ab"}}).dump(2) + "\t\r\n", "ab-unclaimed"));
  return frames;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path directory(argv[1]);
  std::filesystem::create_directories(directory);
  const std::vector<std::string> frames = seedFrames();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto path = directory / ("frame_" + std::to_string(i) + ".bin");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(frames[i].data(), static_cast<std::streamsize>(frames[i].size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  std::printf("%zu seed frames written to %s\n", frames.size(), directory.c_str());
  return 0;
}
