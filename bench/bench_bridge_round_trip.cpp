// Round trip of one facade call against a running bridge (the stand-in, started by
// bench/bench_python.py, which compares these figures with the Python module's):
//
//   BM_GetJointsState   Articulation::getJointsState: request, answer, JSON parse
//
// The bridge's HTTP URL comes from STRANDEL_BENCH_BRIDGE_URL; without it the benchmark is skipped.
// Besides Google Benchmark's mean, the counter p50_us reports the median of the single calls.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <strandel/client.hpp>

namespace {

using Clock = std::chrono::steady_clock;

void BM_GetJointsState(benchmark::State& state) {
  const char* url = std::getenv("STRANDEL_BENCH_BRIDGE_URL");
  if (url == nullptr || *url == '\0') {
    state.SkipWithError("STRANDEL_BENCH_BRIDGE_URL must name a running bridge's HTTP URL");
    return;
  }
  const std::string http(url);
  const std::string ws = "ws" + http.substr(http.find(':'));
  strandel::IsaacSimClient client("bench", http, ws, std::chrono::milliseconds(10000), 0);
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
  if (!samples.empty()) {
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    state.counters["p50_us"] = *middle;
  }
  client.articulations.remove(id);
}
BENCHMARK(BM_GetJointsState)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
