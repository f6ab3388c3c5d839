#!/usr/bin/env bash
# The library's main job end to end on this machine, with nothing but a clone of the repository:
# installs whatever is missing (scripts/install-deps.sh, needs root the first time), builds the
# local stand-in bridge and the quickstart example in build-demo/, starts the stand-in on a free
# port of 127.0.0.1, runs quickstart against it (arm from a URDF, gripper, limits, motion, a stream,
# a camera frame written as PNG, clean-up), stops the stand-in, and says where the picture went.
#
# usage: scripts/demo.sh [PICTURE.png]     (default: build-demo/quickstart.png)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="$ROOT/build-demo"
PICTURE="${1:-$BUILD_DIR/quickstart.png}"
case "$PICTURE" in /*) ;; *) PICTURE="$PWD/$PICTURE" ;; esac

log() { printf 'demo: %s\n' "$*" >&2; }

log "checking and installing dependencies"
"$ROOT/scripts/install-deps.sh"

log "building the stand-in bridge and quickstart in $BUILD_DIR"
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
  -DSTRANDEL_BUILD_MOCK_BRIDGE=ON -DSTRANDEL_BUILD_EXAMPLES=ON \
  -DSTRANDEL_BUILD_TESTS=OFF -DSTRANDEL_BUILD_BENCHMARKS=OFF -DSTRANDEL_INSTALL=OFF >/dev/null
cmake --build "$BUILD_DIR" --target strandel-mock-bridge quickstart -j "$(nproc)"

bridge_pid=""
bridge_out="$(mktemp)"
stop_bridge() {
  if [ -n "$bridge_pid" ]; then
    kill -TERM "$bridge_pid" 2>/dev/null || true
    wait "$bridge_pid" 2>/dev/null || true
    bridge_pid=""
  fi
}
trap 'stop_bridge; rm -f "$bridge_out"' EXIT
trap 'exit 130' INT TERM

"$BUILD_DIR/mock_bridge/strandel-mock-bridge" --host 127.0.0.1 --port 0 >"$bridge_out" &
bridge_pid=$!
# Its first line is "listening on http://127.0.0.1:PORT/"; wait up to 30 seconds for it.
url=""
for _ in $(seq 300); do
  url="$(sed -n '1s/^listening on //p' "$bridge_out")"
  [ -n "$url" ] && break
  if ! kill -0 "$bridge_pid" 2>/dev/null; then
    log "the stand-in bridge stopped before it was ready"
    exit 1
  fi
  sleep 0.1
done
if [ -z "$url" ]; then
  log "the stand-in bridge did not report its address"
  exit 1
fi
log "stand-in bridge listening on $url"

mkdir -p "$(dirname "$PICTURE")"
"$BUILD_DIR/examples/quickstart" --http-url "$url" --output "$PICTURE"

stop_bridge
log "stand-in bridge stopped"
log "the picture is at $PICTURE"
