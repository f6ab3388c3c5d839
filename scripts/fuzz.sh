#!/usr/bin/env bash
# Fuzzes the camera frame decoder with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, for a bounded number of inputs and a bounded time.
# Configures its own build tree with clang++, builds the fuzz target and the seed generator,
# writes the seed corpus of valid frames, then runs the fuzzer.
# Exits non-zero on any crash, leak, time-out, out-of-memory or sanitizer report.
#
# Environment (all optional):
#   STRANDEL_FUZZ_BUILD_DIR  build tree            (default: build-fuzz in the repository)
#   STRANDEL_FUZZ_RUNS       inputs to try         (default: 1000000)
#   STRANDEL_FUZZ_SECONDS    time limit in seconds (default: 150)
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
  -DSTRANDEL_BUILD_EXAMPLES=OFF -DSTRANDEL_BUILD_MOCK_BRIDGE=OFF -DSTRANDEL_INSTALL=OFF \
  -DSTRANDEL_BUILD_CLI=OFF -DSTRANDEL_BUILD_DOCS=OFF -DSTRANDEL_BUILD_PYTHON=OFF
echo "==> [fuzz] build"
cmake --build "$build" -j "$jobs" --target fuzz_camera_decoder camera_seed_corpus

work=$build/fuzz/run
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
"$build/fuzz/camera_seed_corpus" "$work/seeds"

echo "==> [fuzz] run: at most $runs inputs or $seconds s"
log=$work/fuzz.log
set +e
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  "$build/fuzz/fuzz_camera_decoder" \
    -runs="$runs" -max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=2048 \
    -detect_leaks=1 -print_final_stats=1 -dict="$root/fuzz/camera_frame.dict" \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$work/seeds" >"$log" 2>&1
rc=$?
set -e
tail -n 25 "$log"

if [ "$rc" -ne 0 ]; then
  echo "==> [fuzz] FAILED: the fuzzer exited with $rc (log: $log, inputs: $work/artifacts)"
  exit 1
fi
if grep -Eq 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$log"; then
  echo "==> [fuzz] FAILED: sanitizer report in $log"
  exit 1
fi
if [ -n "$(ls -A "$work/artifacts")" ]; then
  echo "==> [fuzz] FAILED: the fuzzer left crash inputs in $work/artifacts"
  exit 1
fi
echo "==> [fuzz] clean"
