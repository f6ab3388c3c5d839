#!/usr/bin/env bash
# The client against a bridge behind a real (virtual) network link instead of loopback, with fresh
# and with reused connections, beside Python's requests.Session on the same bridge. Run as root:
# it creates a network namespace joined to the host by a veth pair (10.213.0.1/30 on the host,
# 10.213.0.2/30 inside; no other address is used), starts the stand-in bridge inside it, runs the
# measurements from the host, and deletes the namespace on every path (trap).
#
#   1. 40,000 requests (getJointsState) over the link with reuse: throughput, and the TIME_WAIT
#      sockets towards the bridge left afterwards (ss -tan state time-wait);
#   2. the same number of requests over loopback with fresh connections, for the throughput goal;
#   3. round-trip p50 over the link: the library fresh, the library reused, requests.Session.
#
# usage: sudo bench/remote_link.sh [--build-dir build/bench] [--bridge PATH] [--delay-ms N]
#                                  [--requests 40000] [--round-trips 3000]
#   --delay-ms N   adds N ms of delay to each direction of the link with tc netem (iproute2), when
#                  tc exists; 0 (the default) leaves the link as fast as the kernel makes it
#   --bridge PATH  the stand-in executable (default <build-dir>/mock_bridge/strandel-mock-bridge)

set -euo pipefail

repository=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$repository/build/bench"
bridge=""
delay_ms=0
requests=40000
round_trips=3000
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build-dir) build_dir=$(cd "$2" && pwd); shift 2 ;;
    --bridge) bridge="$2"; shift 2 ;;
    --delay-ms) delay_ms="$2"; shift 2 ;;
    --requests) requests="$2"; shift 2 ;;
    --round-trips) round_trips="$2"; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
[[ -n "$bridge" ]] || bridge="$build_dir/mock_bridge/strandel-mock-bridge"
bench="$build_dir/bench/bench_bridge_round_trip"
for executable in "$bridge" "$bench"; do
  [[ -x "$executable" ]] || { echo "not built: $executable" >&2; exit 2; }
done
[[ $(id -u) -eq 0 ]] || { echo "run as root (network namespaces)" >&2; exit 2; }

namespace="strandel-bench-$$"
host_if="stbh$$"
ns_if="stbn$$"
host_addr=10.213.0.1
ns_addr=10.213.0.2
work=$(mktemp -d)
pids=()

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  ip netns del "$namespace" 2>/dev/null || true
  ip link del "$host_if" 2>/dev/null || true  # normally gone with the namespace's end
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

ip netns add "$namespace"
ip link add "$host_if" type veth peer name "$ns_if"
ip link set "$ns_if" netns "$namespace"
ip addr add "$host_addr/30" dev "$host_if"
ip link set "$host_if" up
ip netns exec "$namespace" ip addr add "$ns_addr/30" dev "$ns_if"
ip netns exec "$namespace" ip link set "$ns_if" up
ip netns exec "$namespace" ip link set lo up
if [[ "$delay_ms" != 0 ]]; then
  if ! command -v tc >/dev/null; then
    echo "tc not found: no delay added" >&2
    delay_ms=0
  elif ! tc qdisc add dev "$host_if" root netem delay "${delay_ms}ms" ||
    ! ip netns exec "$namespace" tc qdisc add dev "$ns_if" root netem delay "${delay_ms}ms"; then
    echo "tc netem refused (no sch_netem in this kernel?): no delay added" >&2
    tc qdisc del dev "$host_if" root 2>/dev/null || true
    delay_ms=0
  fi
fi

# Starts a bridge (command line after the output file) in the background.
start_bridge() {
  local out="$1"
  shift
  "$@" >"$out" 2>/dev/null &
  pids+=($!)
}

# Waits up to 10 s for a bridge's first line and prints its URL.
bridge_url() {
  for _ in $(seq 100); do
    if grep -q '^listening on ' "$1" 2>/dev/null; then
      sed -n 's/^listening on //p' "$1" | head -n1
      return 0
    fi
    sleep 0.1
  done
  echo "the bridge did not start" >&2
  return 1
}

start_bridge "$work/remote.out" ip netns exec "$namespace" "$bridge" --host "$ns_addr" --port 0
start_bridge "$work/local.out" "$bridge" --host 127.0.0.1 --port 0
remote_url=$(bridge_url "$work/remote.out")
local_url=$(bridge_url "$work/local.out")

# The link carries traffic a moment after both ends are up: wait (up to 10 s) for a connection.
remote_port=${remote_url##*:}
remote_port=${remote_port%/}
for attempt in $(seq 100); do
  if timeout 1 bash -c ">/dev/tcp/$ns_addr/$remote_port" 2>/dev/null; then break; fi
  [[ $attempt -lt 100 ]] || { echo "no connection to $remote_url" >&2; exit 1; }
  sleep 0.1
done

time_wait() {  # TIME_WAIT sockets on the host towards the bridge in the namespace
  ss -tan state time-wait dst "$ns_addr" | tail -n +2 | wc -l
}

run_bench() {  # url, filter, then extra options
  local url="$1" filter="$2"
  shift 2
  STRANDEL_BENCH_BRIDGE_URL="$url" STRANDEL_BENCH_BURST="$requests" \
    STRANDEL_BENCH_ROUND_TRIPS="$round_trips" timeout 900 "$bench" \
    --benchmark_filter="$filter" --benchmark_format=json "$@" 2>"$work/bench.err" ||
    { cat "$work/bench.err" >&2; return 1; }
}

field() {  # json text on stdin, benchmark name prefix, field
  python3 -c '
import json, sys
for b in json.load(sys.stdin)["benchmarks"]:
    if b["name"].startswith(sys.argv[1]):
        print(b[sys.argv[2]])
        break
' "$1" "$2"
}

echo "link: $host_addr <-> $ns_addr, netem delay ${delay_ms} ms each way; bridge $remote_url"
echo

waits_before=$(time_wait)
burst=$(run_bench "$remote_url" '^BM_RequestBurst/reused')
waits_after=$(time_wait)
reused_rate=$(echo "$burst" | field BM_RequestBurst/reused req_per_s)
loopback=$(run_bench "$local_url" '^BM_RequestBurst/fresh')
loopback_rate=$(echo "$loopback" | field BM_RequestBurst/fresh req_per_s)

trips=$(run_bench "$remote_url" '^BM_GetJointsState/')
fresh_p50=$(echo "$trips" | field BM_GetJointsState/fresh p50_us)
reused_p50=$(echo "$trips" | field BM_GetJointsState/reused p50_us)
session_p50=$(timeout 900 python3 - "$remote_url" "$round_trips" <<'PY'
import sys, time, requests
url, count = sys.argv[1], int(sys.argv[2])
session = requests.Session()
ident = session.put(url + "articulations", json={"prim_path": "/World/bench_session", "urdf_path": None},
                    timeout=10).json()["articulation_id"]
target = url + "articulations/%s/joints_state" % ident
samples = []
for _ in range(count):
    started = time.perf_counter_ns()
    session.get(target, timeout=10).json()
    samples.append((time.perf_counter_ns() - started) / 1000.0)
session.delete(url + "articulations/" + ident, timeout=10)
samples.sort()
print(samples[len(samples) // 2])
PY
)

python3 - "$requests" "$reused_rate" "$loopback_rate" "$((waits_after - waits_before))" \
  "$fresh_p50" "$reused_p50" "$session_p50" <<'PY'
import sys
requests, reused_rate, loopback_rate, waits, fresh, reused, session = sys.argv[1:]
requests, waits = int(requests), int(waits)
reused_rate, loopback_rate, fresh, reused, session = map(float, (reused_rate, loopback_rate, fresh, reused, session))
print("| %d requests | requests per second | wall |\n|---|---|---|" % requests)
print("| over the link, reused connections | %.0f | %.1f s |" % (reused_rate, requests / reused_rate))
print("| over loopback, fresh connections | %.0f | %.1f s |" % (loopback_rate, requests / loopback_rate))
print("\nreused over the link / fresh over loopback = %.2f (goal >= 0.8)" % (reused_rate / loopback_rate))
print("TIME_WAIT sockets towards the bridge after the reused run: %d (goal < 100)\n" % waits)
print("| round trip over the link | p50 |\n|---|---|")
print("| library, fresh connection per call | %.0f us |" % fresh)
print("| library, reused connections | %.0f us |" % reused)
print("| requests.Session | %.0f us |" % session)
print("\nreused / fresh = %.2f (goal <= 0.75); reused / requests.Session = %.2f (goal <= 0.5)"
      % (reused / fresh, reused / session))
PY
