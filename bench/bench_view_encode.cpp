// What `strandel view` spends per camera frame turning a 1280x720 rgb+depth capture into
// pictures for the browser, beside the alternatives it was chosen over: the rgb picture as PNG
// (strandel_pictures' zlib encoder at zlib's default level, and at level 1), as JPEG with
// stb_image_write and with libjpeg-turbo (the view's encoder); the depth in false colour computed
// per pixel (strandel_pictures) and through the view's table. The frame is the stand-in's
// rendering of the bent default arm. "bytes" is the size of one picture.

#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <stb/stb_image_write.h>
#include <zlib.h>

#include "articulations.hpp"
#include "depth_pictures.hpp"
#include "png_encoder.hpp"
#include "renderer.hpp"
#include "robot_model.hpp"
#include "view_pictures.hpp"

namespace {

using namespace strandel::mock_bridge;

constexpr int kQuality = 80;

struct Frame {
  strandel::CameraOutput rgb;
  strandel::CameraOutput depth;
  strandel_cli::PictureShape shape;
};

/// The stand-in's picture of the bent default arm at `width` x `height`.
const Frame& frame(int width, int height) {
  static Frame cached;
  if (cached.shape.width == static_cast<std::uint32_t>(width)) return cached;
  const RobotModel& arm = defaultArm();
  const std::vector<Transform> poses = arm.linkPoses({0.6, 0.8, 1.1, -0.5, 0.3, 0.0}, Transform{});
  Scene scene;
  scene.figures.push_back(armFigure(arm, poses));
  CameraView view;
  view.width = width;
  view.height = height;
  Images images = render(scene, view);
  const auto h = static_cast<std::uint64_t>(height);
  const auto w = static_cast<std::uint64_t>(width);
  cached.rgb = {{h, w, 3}, "uint8", std::move(images.rgb)};
  cached.depth = {{h, w}, "float32", std::vector<std::uint8_t>(images.depth.size() * 4)};
  std::memcpy(cached.depth.data.data(), images.depth.data(), cached.depth.data.size());
  cached.shape = {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 3};
  return cached;
}

void report(benchmark::State& state, std::size_t bytes) {
  state.counters["bytes"] = static_cast<double>(bytes);
}

void RgbPngDefault(benchmark::State& state) {
  const Frame& f = frame(1280, 720);
  std::string png;
  for (auto _ : state) {
    png = strandel_pictures::encodePng8(f.shape.width, f.shape.height,
                                        strandel_pictures::PngColour::Rgb, f.rgb.data);
    benchmark::DoNotOptimize(png.data());
  }
  report(state, png.size());
}

/// The IDAT stream of a PNG at zlib level 1 (filter None): what a faster level would cost.
void RgbPngLevel1(benchmark::State& state) {
  const Frame& f = frame(1280, 720);
  std::string deflated;
  for (auto _ : state) {
    std::string rows;
    rows.reserve((f.shape.width * 3 + 1) * f.shape.height);
    for (std::uint32_t y = 0; y < f.shape.height; ++y) {
      rows.push_back('\0');
      rows.append(reinterpret_cast<const char*>(f.rgb.data.data()) + y * f.shape.width * 3,
                  f.shape.width * 3);
    }
    uLongf size = compressBound(static_cast<uLong>(rows.size()));
    deflated.resize(size);
    compress2(reinterpret_cast<Bytef*>(deflated.data()), &size,
              reinterpret_cast<const Bytef*>(rows.data()), static_cast<uLong>(rows.size()), 1);
    deflated.resize(size);
    benchmark::DoNotOptimize(deflated.data());
  }
  report(state, deflated.size());
}

void RgbJpegStb(benchmark::State& state) {
  const Frame& f = frame(1280, 720);
  std::string jpeg;
  for (auto _ : state) {
    jpeg.clear();
    stbi_write_jpg_to_func(
        [](void* context, void* data, int size) {
          static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                                     static_cast<std::size_t>(size));
        },
        &jpeg, static_cast<int>(f.shape.width), static_cast<int>(f.shape.height), 3,
        f.rgb.data.data(), kQuality);
    benchmark::DoNotOptimize(jpeg.data());
  }
  report(state, jpeg.size());
}

void RgbJpegTurbo(benchmark::State& state) {
  const Frame& f = frame(1280, 720);
  std::string jpeg;
  for (auto _ : state) {
    jpeg = strandel_cli::encodeJpeg(f.rgb.data.data(), f.shape, kQuality);
    benchmark::DoNotOptimize(jpeg.data());
  }
  report(state, jpeg.size());
}

void DepthShadePerPixel(benchmark::State& state) {
  const Frame& f = frame(1280, 720);
  for (auto _ : state) {
    const std::vector<std::uint8_t> rgb =
        strandel_pictures::depthFalseColour(*strandel_pictures::depthValues(f.depth));
    benchmark::DoNotOptimize(rgb.data());
  }
}

void DepthShadeTable(benchmark::State& state) {
  const Frame& f = frame(1280, 720);
  const strandel_cli::DepthShader shader;
  for (auto _ : state) {
    strandel_cli::PictureShape shape;
    const auto rgb = shader.shade(f.depth, shape);
    benchmark::DoNotOptimize(rgb->data());
  }
}

/// The whole of the view's work on one frame: both pictures, shaded and encoded.
void ViewFrame(benchmark::State& state) {
  const Frame& f = frame(1280, 720);
  const strandel_cli::DepthShader shader;
  std::size_t bytes = 0;
  for (auto _ : state) {
    strandel_cli::PictureShape shape;
    const auto shaded = shader.shade(f.depth, shape);
    const std::string rgb = strandel_cli::encodeJpeg(f.rgb.data.data(), f.shape, kQuality);
    const std::string depth = strandel_cli::encodeJpeg(shaded->data(), shape, kQuality);
    bytes = rgb.size() + depth.size();
    benchmark::DoNotOptimize(depth.data());
  }
  report(state, bytes);
}

}  // namespace

BENCHMARK(RgbPngDefault)->Unit(benchmark::kMillisecond);
BENCHMARK(RgbPngLevel1)->Unit(benchmark::kMillisecond);
BENCHMARK(RgbJpegStb)->Unit(benchmark::kMillisecond);
BENCHMARK(RgbJpegTurbo)->Unit(benchmark::kMillisecond);
BENCHMARK(DepthShadePerPixel)->Unit(benchmark::kMillisecond);
BENCHMARK(DepthShadeTable)->Unit(benchmark::kMillisecond);
BENCHMARK(ViewFrame)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
