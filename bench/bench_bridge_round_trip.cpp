// Calls against a running bridge (the stand-in, started by bench/bench_python.py or
// bench/remote_link.sh, which compare these figures with Python clients'):
//
//   BM_GetJointsState/fresh    Articulation::getJointsState, a new connection per call (the
//   default) BM_GetJointsState/reused   the same with ClientOptions::reuse_connections
//   BM_SetJointPositions/fresh   Articulation::setJointPositions of one joint (a POST with a body),
//                                a new connection per call
//   BM_SetJointPositions/reused  the same with reuse: a controller's steady set_j loop
//   BM_RequestBurst/fresh      STRANDEL_BENCH_BURST calls (default 40000) as one run: throughput
//   BM_RequestBurst/reused     the same with reuse
//   BM_Capture/fresh           Camera::capture of a 1280x720 rgb + depth frame, a new frame each
//   BM_Capture/into            Camera::capture(id, into) into one reused frame
//   BM_Capture/into_reused     the same with reuse_connections: a steady camera loop
//
// The bridge's HTTP URL comes from STRANDEL_BENCH_BRIDGE_URL; without it every benchmark is
// skipped. STRANDEL_BENCH_ROUND_TRIPS fixes the calls of a round-trip run (otherwise Google
// Benchmark picks them): fresh connections to a non-loopback address leave a socket in TIME_WAIT
// each, and the ephemeral ports run out after some 28,000 of them within a minute. Counters:
// p50_us, the median of the single calls; req_per_s for a burst; for a capture, cpu_ms (user +
// system CPU of this process per capture, getrusage) and minflt (minor page faults per capture),
// both over the measured captures after one capture of warm-up.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <strandel/client.hpp>

namespace {

using Clock = std::chrono::steady_clock;

const char* bridgeUrl(benchmark::State& state) {
  const char* url = std::getenv("STRANDEL_BENCH_BRIDGE_URL");
  if (url == nullptr || *url == '\0') {
    state.SkipWithError("STRANDEL_BENCH_BRIDGE_URL must name a running bridge's HTTP URL");
    return nullptr;
  }
  return url;
}

strandel::ClientOptions options(bool reuse) {
  strandel::ClientOptions result;
  result.timeout = std::chrono::milliseconds(30000);
  result.max_retries = 0;
  result.reuse_connections = reuse;
  return result;
}

std::string websocketUrl(const std::string& http) { return "ws" + http.substr(http.find(':')); }

void reportMedian(benchmark::State& state, std::vector<double>& samples) {
  if (samples.empty()) return;
  const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
  std::nth_element(samples.begin(), middle, samples.end());
  state.counters["p50_us"] = *middle;
}

void BM_GetJointsState(benchmark::State& state, bool reuse) {
  const char* url = bridgeUrl(state);
  if (url == nullptr) return;
  strandel::IsaacSimClient client("bench", url, websocketUrl(url), options(reuse));
  const std::string id =
      client.articulations.create("/World/bench_round_trip_cpp").at("articulation_id");

  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    const auto started = Clock::now();
    strandel::json answer = client.articulations.getJointsState(id);
    benchmark::DoNotOptimize(answer);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - started).count());
  }
  reportMedian(state, samples);
  client.articulations.remove(id);
}

void BM_SetJointPositions(benchmark::State& state, bool reuse) {
  const char* url = bridgeUrl(state);
  if (url == nullptr) return;
  strandel::IsaacSimClient client("bench", url, websocketUrl(url), options(reuse));
  const std::string id =
      client.articulations.create("/World/bench_set_j_cpp").at("articulation_id");
  const std::vector<int> first_joint{0};

  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(state.max_iterations));
  double position = 0.1;
  for (auto _ : state) {
    position = -position;  // alternate, so every command changes the state
    const auto started = Clock::now();
    strandel::json answer = client.articulations.setJointPositions(id, {position}, first_joint);
    benchmark::DoNotOptimize(answer);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - started).count());
  }
  reportMedian(state, samples);
  client.articulations.remove(id);
}

void BM_RequestBurst(benchmark::State& state, bool reuse) {
  const char* url = bridgeUrl(state);
  if (url == nullptr) return;
  strandel::IsaacSimClient client("bench", url, websocketUrl(url), options(reuse));
  const std::string id =
      client.articulations.create("/World/bench_burst_cpp").at("articulation_id");
  for (auto _ : state) {
    strandel::json answer = client.articulations.getJointsState(id);
    benchmark::DoNotOptimize(answer);
  }
  state.counters["req_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  client.articulations.remove(id);
}

struct Usage {
  double cpu_seconds;
  long minor_faults;
};

Usage usageNow() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_minflt};
}

// `into`: capture into one reused frame; otherwise a new frame per capture. `reuse`: reuse
// connections.
void BM_Capture(benchmark::State& state, bool into, bool reuse) {
  const char* url = bridgeUrl(state);
  if (url == nullptr) return;
  strandel::IsaacSimClient client("bench", url, websocketUrl(url), options(reuse));
  const std::string camera =
      client.cameras.create("/World/bench_capture_cpp", std::vector<int>{1280, 720})
          .at("camera_id");
  strandel::CameraFrame frame;
  client.cameras.capture(camera, frame);  // warm-up: the reused frame's memory, the allocator
  { benchmark::DoNotOptimize(client.cameras.capture(camera)); }

  const Usage before = usageNow();
  for (auto _ : state) {
    if (into) {
      client.cameras.capture(camera, frame);
      benchmark::DoNotOptimize(frame.outputs.data());
    } else {
      strandel::CameraFrame fresh = client.cameras.capture(camera);
      benchmark::DoNotOptimize(fresh.outputs.data());
    }
  }
  const Usage after = usageNow();
  const auto captures = static_cast<double>(state.iterations());
  state.counters["cpu_ms"] = (after.cpu_seconds - before.cpu_seconds) * 1e3 / captures;
  state.counters["minflt"] =
      static_cast<double>(after.minor_faults - before.minor_faults) / captures;
  client.cameras.remove(camera);
}

}  // namespace

int main(int argc, char** argv) {
  const char* burst = std::getenv("STRANDEL_BENCH_BURST");
  const long burst_requests = burst != nullptr ? std::max(1L, std::atol(burst)) : 40000L;
  const char* trips = std::getenv("STRANDEL_BENCH_ROUND_TRIPS");
  const long round_trips = trips != nullptr ? std::max(1L, std::atol(trips)) : 0L;

  for (const bool reuse : {false, true}) {
    auto* trip = benchmark::RegisterBenchmark(
        reuse ? "BM_GetJointsState/reused" : "BM_GetJointsState/fresh", BM_GetJointsState, reuse);
    trip->Unit(benchmark::kMicrosecond);
    if (round_trips > 0) trip->Iterations(round_trips);
  }
  for (const bool reuse : {false, true}) {
    auto* trip = benchmark::RegisterBenchmark(
        reuse ? "BM_SetJointPositions/reused" : "BM_SetJointPositions/fresh", BM_SetJointPositions,
        reuse);
    trip->Unit(benchmark::kMicrosecond);
    if (round_trips > 0) trip->Iterations(round_trips);
  }
  benchmark::RegisterBenchmark("BM_RequestBurst/fresh", BM_RequestBurst, false)
      ->Iterations(burst_requests)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_RequestBurst/reused", BM_RequestBurst, true)
      ->Iterations(burst_requests)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Capture/fresh", BM_Capture, false, false)
      ->Iterations(40)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Capture/into", BM_Capture, true, false)
      ->Iterations(40)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Capture/into_reused", BM_Capture, true, true)
      ->Iterations(40)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
