#!/usr/bin/env bash
# Fuzzes, with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer and for a bounded
# number of inputs and a bounded time, the camera frame decoder (60% of the inputs, at most 60% of
# the time) and then the stand-in bridge's request reading (route, body, typed command, world,
# answer: 40% of the inputs, the time the decoder left).
# Configures its own build tree with clang++, builds the fuzz targets and the camera seed
# generator, writes the seed corpora (valid frames; real requests from fuzz/bridge_requests.txt,
# one per line), then runs each fuzzer.
# Exits non-zero on any crash, leak, time-out, out-of-memory or sanitizer report of either.
#
# Environment (all optional):
#   STRANDEL_FUZZ_BUILD_DIR  build tree                         (default: build-fuzz in the repository)
#   STRANDEL_FUZZ_RUNS       inputs to try, both targets        (default: 1000000)
#   STRANDEL_FUZZ_SECONDS    time limit in seconds, both targets (default: 150)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${STRANDEL_FUZZ_BUILD_DIR:-$root/build-fuzz}
runs=${STRANDEL_FUZZ_RUNS:-1000000}
seconds=${STRANDEL_FUZZ_SECONDS:-150}
jobs=$(nproc 2>/dev/null || echo 2)

echo "==> [fuzz] configure $build"
CXX=clang++ cmake -S "$root" -B "$build" \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSTRANDEL_BUILD_FUZZERS=ON -DSTRANDEL_SANITIZE=address,undefined -DSTRANDEL_BUILD_TESTS=OFF -DSTRANDEL_BUILD_BENCHMARKS=OFF \
  -DSTRANDEL_BUILD_EXAMPLES=OFF -DSTRANDEL_BUILD_MOCK_BRIDGE=ON -DSTRANDEL_INSTALL=OFF \
  -DSTRANDEL_BUILD_CLI=OFF -DSTRANDEL_BUILD_DOCS=OFF -DSTRANDEL_BUILD_PYTHON=OFF
echo "==> [fuzz] build"
cmake --build "$build" -j "$jobs" --target fuzz_camera_decoder camera_seed_corpus fuzz_bridge_requests

work=$build/fuzz/run
rm -rf "$work"
mkdir -p "$work"
"$build/fuzz/camera_seed_corpus" "$work/camera_decoder/seeds"
mkdir -p "$work/bridge_requests/seeds"
split -l 1 -a 3 "$root/fuzz/bridge_requests.txt" "$work/bridge_requests/seeds/request_"

# fuzz NAME RUNS SECONDS [libFuzzer options]: runs fuzz_NAME for at most RUNS inputs or SECONDS
# (at least 1) on the seeds in $work/NAME/seeds, and fails on any finding.
fuzz() {
  local name=$1 target_runs=$2 target_seconds=$(($3 > 0 ? $3 : 1))
  shift 3
  local dir=$work/$name
  mkdir -p "$dir/corpus" "$dir/artifacts"
  echo "==> [fuzz] $name: at most $target_runs inputs or $target_seconds s"
  local log=$dir/fuzz.log rc
  set +e
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    "$build/fuzz/fuzz_$name" \
      -runs="$target_runs" -max_total_time="$target_seconds" \
      -timeout=20 -rss_limit_mb=2048 -detect_leaks=1 -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/" "$@" "$dir/corpus" "$dir/seeds" >"$log" 2>&1
  rc=$?
  set -e
  tail -n 25 "$log"
  if [ "$rc" -ne 0 ]; then
    echo "==> [fuzz] FAILED: $name exited with $rc (log: $log, inputs: $dir/artifacts)"
    exit 1
  fi
  if grep -Eq 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$log"; then
    echo "==> [fuzz] FAILED: sanitizer report in $log"
    exit 1
  fi
  if [ -n "$(ls -A "$dir/artifacts")" ]; then
    echo "==> [fuzz] FAILED: $name left crash inputs in $dir/artifacts"
    exit 1
  fi
}

started=$SECONDS
fuzz camera_decoder $((runs * 60 / 100)) $((seconds * 60 / 100)) -max_len=8192 \
  -dict="$root/fuzz/camera_frame.dict"
fuzz bridge_requests $((runs - runs * 60 / 100)) $((seconds - (SECONDS - started))) -max_len=4096
echo "==> [fuzz] clean"
