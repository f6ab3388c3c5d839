// Decoding a 1920x1080 capture (rgb uint8 [1080,1920,3] and depth float32 [1080,1920], about
// 14 MB), side by side with plain memcpy of the same array bytes. Compare DecodeFrame with
// MemcpyArrays (destinations already allocated and touched) and MemcpyArraysFresh (destinations
// allocated in the loop, as the decoder must).

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <strandel/camera_frame.hpp>
#include <strandel/http.hpp>

#include "camera/decode_camera_frame.hpp"
#include "camera_frame_writer.hpp"

namespace {

using strandel::CameraFrame;
using strandel::HttpResponse;

constexpr std::size_t kRgbBytes = 1080u * 1920u * 3u;
constexpr std::size_t kDepthBytes = 1080u * 1920u * 4u;

std::string patternBytes(std::size_t count, unsigned seed) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 131 + seed) & 0xFF);
  return bytes;
}

const HttpResponse& captureResponse() {
  static const HttpResponse response = [] {
    HttpResponse r;
    r.status = 200;
    r.body = strandel::detail::writeCameraFrame(
        {{"rgb", {1080, 1920, 3}, "uint8", patternBytes(kRgbBytes, 1)},
         {"depth", {1080, 1920}, "float32", patternBytes(kDepthBytes, 2)}});
    return r;
  }();
  return response;
}

// Where the array bytes start in the body.
const char* arrayBytes() {
  const std::string& body = captureResponse().body;
  return body.data() + body.size() - kRgbBytes - kDepthBytes;
}

void setArrayBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kRgbBytes + kDepthBytes));
}

void DecodeFrame(benchmark::State& state) {
  const HttpResponse& response = captureResponse();
  for (auto _ : state) {
    CameraFrame frame = strandel::detail::decodeCameraFrame(response);
    benchmark::DoNotOptimize(frame.outputs.data());
    benchmark::ClobberMemory();
  }
  setArrayBytes(state);
}

void MemcpyArrays(benchmark::State& state) {
  std::vector<std::uint8_t> rgb(kRgbBytes);
  std::vector<std::uint8_t> depth(kDepthBytes);
  const char* source = arrayBytes();
  for (auto _ : state) {
    std::memcpy(rgb.data(), source, kRgbBytes);
    std::memcpy(depth.data(), source + kRgbBytes, kDepthBytes);
    benchmark::DoNotOptimize(rgb.data());
    benchmark::DoNotOptimize(depth.data());
    benchmark::ClobberMemory();
  }
  setArrayBytes(state);
}

void MemcpyArraysFresh(benchmark::State& state) {
  const char* source = arrayBytes();
  for (auto _ : state) {
    std::unique_ptr<std::uint8_t[]> rgb(new std::uint8_t[kRgbBytes]);
    std::unique_ptr<std::uint8_t[]> depth(new std::uint8_t[kDepthBytes]);
    std::memcpy(rgb.get(), source, kRgbBytes);
    std::memcpy(depth.get(), source + kRgbBytes, kDepthBytes);
    benchmark::DoNotOptimize(rgb.get());
    benchmark::DoNotOptimize(depth.get());
    benchmark::ClobberMemory();
  }
  setArrayBytes(state);
}

BENCHMARK(MemcpyArrays)->Unit(benchmark::kMillisecond);
BENCHMARK(MemcpyArraysFresh)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeFrame)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
