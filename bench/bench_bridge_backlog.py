#!/usr/bin/env python3
"""The stand-in's memory with clients that ask for camera frames and never read them.

For each count of such clients, a fresh stand-in gets a WIDTHxHEIGHT camera; every client sends
one capture (rgb and depth: WIDTH*HEIGHT*7 bytes) on a connection of its own and then reads
nothing. Once the stand-in has answered every capture (counted in its --verbose log), the script
reports its resident memory (VmRSS, and the peak VmHWM, from /proc/PID/status), how many answers
were refused with 503, and whether a reading client is still served (GET / within 5 s).

  bench/bench_bridge_backlog.py --bridge build/bench/mock_bridge/strandel-mock-bridge
                                [--clients 0,10,20] [--width 4096 --height 4096]
                                [-- EXTRA STAND-IN OPTIONS]

Everything runs on 127.0.0.1; not run by ctest.
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for process {pid}")


def request(url, method, body=None, timeout=30.0):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(url, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as answer:
            return answer.status
    except urllib.error.HTTPError as refused:
        return refused.code


def capture_lines(log_path):
    with open(log_path, errors="replace") as log:
        lines = [line for line in log if "/capture -> " in line]
    return len(lines), sum(1 for line in lines if line.rstrip().endswith("-> 503"))


def run(bridge, extra, clients, width, height):
    log = tempfile.NamedTemporaryFile(prefix="bench_backlog_", suffix=".log", delete=False)
    process = subprocess.Popen([bridge, "--port", "0", "--verbose"] + extra,
                               stdout=subprocess.PIPE, stderr=log, text=True)
    sockets = []
    try:
        first = process.stdout.readline().strip()
        if not first.startswith("listening on "):
            raise RuntimeError(f"the stand-in did not start: {first!r}")
        url = first[len("listening on "):]
        port = int(url.rstrip("/").rsplit(":", 1)[1])
        request(url + "cameras", "PUT", {"prim_path": "/World/big", "resolution": [width, height]})
        base_kib = status_kib(process.pid, "VmRSS")
        capture = (b"POST /cameras/big/capture HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   b"Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}")
        for _ in range(clients):
            connection = socket.create_connection(("127.0.0.1", port), timeout=10)
            connection.sendall(capture)
            sockets.append(connection)
        deadline = time.monotonic() + 300
        answered, refused = capture_lines(log.name)
        while answered < clients and time.monotonic() < deadline:
            time.sleep(0.1)
            answered, refused = capture_lines(log.name)
        time.sleep(0.5)
        rss_kib = status_kib(process.pid, "VmRSS")
        peak_kib = status_kib(process.pid, "VmHWM")
        start = time.monotonic()
        try:
            probe = request(url, "GET", timeout=5.0)
        except OSError as failed:
            probe = f"failed ({failed})"
        probe_ms = (time.monotonic() - start) * 1000
        return base_kib, rss_kib, peak_kib, answered, refused, probe, probe_ms
    finally:
        for connection in sockets:
            connection.close()
        process.terminate()
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        log.close()
        os.unlink(log.name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bridge", required=True, help="the strandel-mock-bridge executable")
    parser.add_argument("--clients", default="0,10,20", help="comma-separated client counts")
    parser.add_argument("--width", type=int, default=4096)
    parser.add_argument("--height", type=int, default=4096)
    parser.add_argument("extra", nargs="*", help="options passed on to the stand-in (after --)")
    args = parser.parse_args()
    answer_mb = args.width * args.height * 7 / 1e6
    print(f"{args.width}x{args.height} capture answers of {answer_mb:.0f} MB; "
          f"stand-in options: {' '.join(args.extra) or '(defaults)'}")
    print(f"{'clients':>7} {'RSS before':>10} {'RSS after':>10} {'peak RSS':>10} "
          f"{'answered':>8} {'503':>5}  probe")
    for count in (int(c) for c in args.clients.split(",")):
        base, rss, peak, answered, refused, probe, probe_ms = run(
            args.bridge, args.extra, count, args.width, args.height)
        print(f"{count:>7} {base / 1024:>8.0f}MB {rss / 1024:>8.0f}MB {peak / 1024:>8.0f}MB "
              f"{answered:>8} {refused:>5}  {probe} in {probe_ms:.0f} ms")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
