// A capture end to end over loopback: the scripted peer answers every POST with the same
// 1920x1080 frame (rgb uint8 [1080,1920,3] and depth float32 [1080,1920], about 14 MB). Compare
// Capture (request engine, decoder, frame) with BareDownload (one libcurl transfer of the same body
// into a std::string) and BareDownloadReserved (the same, the string sized from Content-Length).
// Capture also reports its peak heap use against the frame's size: the bytes allocated with
// operator new on the capturing thread (the body, the manifest, the arrays, the headers), counted
// at their usable size; libcurl's own malloc'd buffers are not included.

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <strandel/isaacsim_client.hpp>

#include "camera_frame_writer.hpp"
#include "client/curl_handle.hpp"
#include "support/scripted_peer.hpp"

namespace {

// Heap accounting of the thread that sets `tracking`; other threads (the peer) are not counted.
thread_local bool tracking = false;
thread_local std::int64_t live_bytes = 0;
thread_local std::int64_t peak_bytes = 0;

void countAllocation(void* p) noexcept {
  if (!tracking || p == nullptr) return;
  live_bytes += static_cast<std::int64_t>(malloc_usable_size(p));
  peak_bytes = std::max(peak_bytes, live_bytes);
}

// Out of line, so that the compiler does not pair the free below with operator new at call sites.
[[gnu::noinline]] void release(void* p) noexcept {
  if (tracking && p != nullptr) live_bytes -= static_cast<std::int64_t>(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  countAllocation(p);
  return p;
}
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using strandel::testing_util::ScriptedAnswer;
using strandel::testing_util::ScriptedPeer;

constexpr std::size_t kRgbBytes = 1080u * 1920u * 3u;
constexpr std::size_t kDepthBytes = 1080u * 1920u * 4u;

std::string frameBody() {
  std::string rgb(kRgbBytes, '\0');
  std::string depth(kDepthBytes, '\0');
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<char>(i * 7);
  for (std::size_t i = 0; i < depth.size(); ++i) depth[i] = static_cast<char>(i * 13);
  return strandel::detail::writeCameraFrame({{"rgb", {1080, 1920, 3}, "uint8", std::move(rgb)},
                                             {"depth", {1080, 1920}, "float32", std::move(depth)}});
}

struct Bridge {
  ScriptedPeer peer;
  std::size_t frame_bytes = 0;

  Bridge() {
    const std::string body = frameBody();
    frame_bytes = body.size();
    ScriptedAnswer answer = ScriptedAnswer::status_only(200, body);
    answer.header_lines.push_back("Content-Type: application/octet-stream");
    peer.setDefault(std::move(answer));
  }
};

Bridge& bridge() {
  static Bridge instance;
  return instance;
}

void Capture(benchmark::State& state) {
  Bridge& b = bridge();
  strandel::IsaacSimClient client("bench", b.peer.baseUrl(), b.peer.wsBaseUrl(),
                                  std::chrono::seconds(30), 0);
  std::int64_t worst_peak = 0;
  for (auto _ : state) {
    live_bytes = 0;
    peak_bytes = 0;
    tracking = true;
    {
      strandel::CameraFrame frame = client.cameras.capture("cam0");
      benchmark::DoNotOptimize(frame.outputs.data());
    }
    tracking = false;
    worst_peak = std::max(worst_peak, peak_bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.frame_bytes));
  state.counters["frame_MB"] = static_cast<double>(b.frame_bytes) / 1e6;
  state.counters["peak_MB"] = static_cast<double>(worst_peak) / 1e6;
  state.counters["peak_per_frame"] =
      static_cast<double>(worst_peak) / static_cast<double>(b.frame_bytes);
}

struct Download {
  CURL* handle = nullptr;
  std::string body;
  bool reserve = false;
};

std::size_t appendTo(char* data, std::size_t size, std::size_t count, void* user) {
  auto& download = *static_cast<Download*>(user);
  if (download.reserve && download.body.empty()) {
    curl_off_t length = -1;
    curl_easy_getinfo(download.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length > 0) download.body.reserve(static_cast<std::size_t>(length));
  }
  download.body.append(data, size * count);
  return size * count;
}

// One POST of {} to the capture path, its body collected into a std::string; with `reserve`, the
// string is sized from the announced length first, as the request engine does.
void download(benchmark::State& state, bool reserve) {
  Bridge& b = bridge();
  const std::string url = b.peer.baseUrl() + "cameras/cam0/capture";
  for (auto _ : state) {
    strandel::detail::CurlHandle handle;
    Download target{handle.get(), {}, reserve};
    curl_easy_setopt(target.handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(target.handle, CURLOPT_POSTFIELDS, "{}");
    curl_easy_setopt(target.handle, CURLOPT_WRITEFUNCTION, &appendTo);
    curl_easy_setopt(target.handle, CURLOPT_WRITEDATA, static_cast<void*>(&target));
    if (curl_easy_perform(target.handle) != CURLE_OK || target.body.size() != b.frame_bytes) {
      state.SkipWithError("download failed");
      break;
    }
    benchmark::DoNotOptimize(target.body.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.frame_bytes));
}

void BareDownload(benchmark::State& state) { download(state, false); }
void BareDownloadReserved(benchmark::State& state) { download(state, true); }

BENCHMARK(BareDownload)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BareDownloadReserved)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Capture)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
