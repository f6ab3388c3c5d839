#!/usr/bin/env bash
# The project's one test command. Installs what is missing, then:
#   0. checks that every C++ source matches .clang-format (scripts/format.sh --check);
#   1. builds everything with warnings as errors and runs every suite under ctest, the Python
#      module's pytest suites among them (ctest test python.pytest);
#   2. builds the same suites with AddressSanitizer + UndefinedBehaviorSanitizer and runs them
#      (without the Python module, which cannot load into an uninstrumented interpreter);
#   3. fuzzes the camera frame decoder for a bounded number of inputs.
# Exits non-zero as soon as a step fails. Build trees live under build/ (build/test, build/test-asan).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
summary=()

echo "==> [format] clang-format-14"
bash scripts/format.sh --check

run_suite() {  # name build-dir cmake-args...
  local name=$1 dir=$2
  shift 2
  echo "==> [$name] configure"
  cmake -S "$root" -B "$dir" -DSTRANDEL_WERROR=ON "$@"
  echo "==> [$name] build"
  cmake --build "$dir" -j "$jobs"
  echo "==> [$name] test"
  local log="$dir/ctest.log"
  set +e
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$jobs") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  summary+=("$name: ${line:-no summary}")
  if [ "$rc" -ne 0 ]; then
    # Each failing test's output is above (--output-on-failure); its name again, together here.
    echo "==> [$name] FAILED:"
    sed -E 's/^[0-9]+:/  /' "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null || true
    exit "$rc"
  fi
}

run_suite release build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_suite sanitizers build/test-asan -DCMAKE_BUILD_TYPE=Debug \
    -DSTRANDEL_SANITIZE=address,undefined -DSTRANDEL_BUILD_BENCHMARKS=OFF

if [ -f scripts/fuzz.sh ]; then
  echo "==> [fuzz] camera frame decoder"
  bash scripts/fuzz.sh
  summary+=("fuzz: clean")
fi

echo
echo "==> summary"
printf '  %s\n' "${summary[@]}"
passed=0; failed=0
for s in "${summary[@]}"; do
  if [[ $s =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
done
echo "$passed passed, $failed failed"
