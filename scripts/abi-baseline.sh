#!/usr/bin/env bash
# Records the ABI of the shared library into abi/libstrandel_isaacsim_client.so.<SOVERSION>.abi,
# the baseline the packaging.abi test compares every build against.
#
#   scripts/abi-baseline.sh [build-dir]     (default build/abi)
#
# Builds the library as the test command does (RelWithDebInfo: abidw reads the types from its
# debug information), then runs abidw over the public headers only, with abi/strandel.suppr.
# Run it when a release changes the ABI on purpose: after an incompatible change together with a
# new SOVERSION, or to take compatible additions into the baseline. Commit the .abi file.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build/abi}

command -v abidw >/dev/null || { echo "abi-baseline: abidw not found (apt-get install abigail-tools)" >&2; exit 1; }
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRANDEL_SANITIZE= >/dev/null
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ "$type" != "RelWithDebInfo" ]; then
  echo "abi-baseline: $build is a $type build; use a RelWithDebInfo one" >&2; exit 1
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target strandel_isaacsim_client

library=$(find "$build/src" -maxdepth 1 -name 'libstrandel_isaacsim_client.so.*.*' -type f | head -n 1)
[ -n "$library" ] || { echo "abi-baseline: no built library under $build/src" >&2; exit 1; }
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
out="abi/$soname.abi"
abidw --headers-dir "$root/include/strandel" --suppressions "$root/abi/strandel.suppr" \
      --drop-private-types --exported-interfaces-only --type-id-style hash --short-locs \
      --no-corpus-path --no-comp-dir-path --out-file "$out" "$library"
echo "abi-baseline: wrote $out from $library"
