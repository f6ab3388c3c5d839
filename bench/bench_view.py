#!/usr/bin/env python3
"""`strandel view` end to end: the stand-in's camera at WIDTHxHEIGHT and FPS, the view capturing
it with rgb and depth, and headless Chromium showing the page. For each way of bringing the
pictures to the page (pushed over the page's WebSocket, or fetched by the page from
/frame/KIND.jpg at the camera's rate) and once with no browser at all (when the view takes no
pictures), it reports over --seconds:

  - CPU of the view process (user + system, /proc/PID/stat) per second of viewing, and of the
    browser's processes and the stand-in beside it;
  - frames encoded per second (from the sequence numbers of the pictures the page shows) and
    frames shown per second on the page;
  - the delay from the start of a capture to its picture decoded on the page (the page's
    Date.now() at decode minus the capture's wall-clock time, which travels with the picture):
    median, 90th and 99th percentile;
  - the view's own capture and encoding time per frame.

  bench/bench_view.py --build-dir build/bench [--seconds 10] [--rounds 3]
                      [--width 1280 --height 720 --fps 30]

Needs strandel and strandel-mock-bridge built in the build directory, and Debian's chromium.
Everything runs on 127.0.0.1; not run by ctest.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "view"))
from test_view_browser import Browser, Process, start_bridge, strandel, wait_until  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
STREAM = "articulations/arm/stream_joint_positions"


def cpu_seconds(pid):
    """User + system CPU seconds of one process; 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS
    except (OSError, IndexError, ValueError):
        return 0.0


def tree(root):
    """`root` and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(parent, []).append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


def measure(label, seconds, view_pid, bridge_pid, browser=None):
    browser_pids = tree(browser.proc.pid) if browser else []
    before = browser.summary() if browser else None
    cpu = [cpu_seconds(view_pid), sum(cpu_seconds(p) for p in browser_pids), cpu_seconds(bridge_pid)]
    started = time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - started
    after = browser.summary() if browser else None
    cpu = [(now - then) / elapsed for now, then in zip(
        [cpu_seconds(view_pid), sum(cpu_seconds(p) for p in browser_pids), cpu_seconds(bridge_pid)], cpu)]
    encoded = (after["seq"]["rgb"] - before["seq"]["rgb"]) / elapsed if browser else 0.0
    row = {"label": label, "view_cpu": cpu[0], "browser_cpu": cpu[1], "bridge_cpu": cpu[2],
           "encoded": encoded, "view_ms_per_frame": 1000 * cpu[0] / encoded if encoded else float("nan")}
    if browser:
        delays = after["latency"][len(before["latency"]):]
        row["fps"] = (after["frames"]["rgb"] - before["frames"]["rgb"]) / elapsed
        row["p50"], row["p90"], row["p99"] = (percentile(delays, f) for f in (0.5, 0.9, 0.99))
        camera = json.loads(browser.evaluate("JSON.stringify(strandelView.camera)"))
        row["capture_ms"], row["encode_ms"] = camera["capture_ms"], camera["encode_ms"]
    return row


def view_in_browser(args, label, page_url, view, bridge):
    """One measurement with a new headless Chromium showing `page_url`."""
    with tempfile.TemporaryDirectory(prefix="strandel-view-bench-") as profile:
        browser = Browser(args.chromium, profile)
        try:
            browser.open(page_url)
            wait_until("frames on the page",
                       lambda: (browser.summary() or {"frames": {"rgb": 0}})["frames"]["rgb"] > 5, 30)
            time.sleep(args.warm_up)
            return measure(label, args.seconds, view.proc.pid, bridge.proc.pid, browser)
        finally:
            browser.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/bench")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=720)
    parser.add_argument("--fps", type=float, default=30.0)
    parser.add_argument("--warm-up", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=1, help="measurements of each kind, interleaved")
    parser.add_argument("--chromium", default=shutil.which("chromium") or "")
    args = parser.parse_args()
    cli = os.path.join(args.build_dir, "cli", "strandel")
    bridge_program = os.path.join(args.build_dir, "mock_bridge", "strandel-mock-bridge")
    if not args.chromium:
        sys.exit("no chromium found")

    bridge, bridge_url = start_bridge(bridge_program)
    view = None
    rows = []
    try:
        strandel(["put", "articulations", '{"prim_path":"/World/arm","urdf_path":null}'], bridge_url, cli)
        strandel(["post", "articulations/arm/set_j",
                  '{"indices":null,"joint_positions":[0.6,0.8,1.1,-0.5,0.3,0.0]}'], bridge_url, cli)
        strandel(["put", "cameras", '{"prim_path":"/World/camera","resolution":[%d,%d],"frequency":%g}'
                  % (args.width, args.height, args.fps)], bridge_url, cli)
        view = Process([cli, "--url", bridge_url, "view", "--port", "0", "--camera", "camera",
                        "--stream", STREAM, "--fps", str(args.fps)])
        view_url = view.first_line().split()[2]
        time.sleep(args.warm_up)
        ways = [("WebSocket push", ""), ("HTTP fetch at the camera's rate", "?transport=poll")]
        for round_number in range(args.rounds):
            time.sleep(args.warm_up)  # the last tab's connection ends
            rows.append(measure("no browser", args.seconds, view.proc.pid, bridge.proc.pid))
            for transport, query in ways if round_number % 2 == 0 else reversed(ways):
                rows.append(view_in_browser(args, transport, view_url + query, view, bridge))
    finally:
        if view:
            view.interrupt()
        bridge.close()

    print(f"{args.width}x{args.height} rgb+depth at {args.fps:g} Hz, {args.seconds:g} s each; "
          "CPU in cores (1.0 = one core busy)")
    print("| pictures | frames/s encoded | view CPU | view CPU per frame | browser CPU | stand-in CPU "
          "| shown/s | delay p50 | p90 | p99 | capture | encode |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        per_frame = f"{r['view_ms_per_frame']:.1f} ms" if r["encoded"] else "-"
        common = f"| {r['label']} | {r['encoded']:.1f} | {r['view_cpu']:.3f} | {per_frame} "
        if "fps" in r:
            print(common + f"| {r['browser_cpu']:.3f} | {r['bridge_cpu']:.3f} "
                  f"| {r['fps']:.1f} | {r['p50']:.0f} ms | {r['p90']:.0f} ms | {r['p99']:.0f} ms "
                  f"| {r['capture_ms']:.1f} ms | {r['encode_ms']:.1f} ms |")
        else:
            print(common + f"| - | {r['bridge_cpu']:.3f} | - | - | - | - | - | - |")


if __name__ == "__main__":
    main()
