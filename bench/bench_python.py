#!/usr/bin/env python3
"""The Python module side by side with plain Python clients, in one run against the stand-in bridge.

  round trip   p50 of one get_joints_state call: the module; requests with a fresh connection per
               call; a requests.Session; the C++ library (bench_bridge_round_trip, when built)
  capture      client CPU (time.process_time) per capture of a 1280x720 rgb + depth frame: the
               module (numpy views of the decoded frame) against a requests.Session download
               followed by numpy.frombuffer views of the raw body, and the C++ library's
               Camera::capture, new frames and one reused frame (bench_bridge_round_trip, when
               built; CPU and minor page faults per capture from getrusage)
  capture into client CPU per capture into one reused frame, 1280x720 rgb + depth: the module's
               cameras.capture(into=frame) + output() against the C++ library's
               Camera::capture(id, into), each as a block of consecutive captures like
               BM_Capture/into, blocks alternating over several rounds; with and without
               reuse_connections
  stream       client CPU per message of a 1 kHz joint-position stream: the module (receive with
               a timeout, and iteration with JSON decoding) against websocket-client's recv()
               (and recv() + json.loads)

The calls of each comparison are interleaved in rounds, so machine noise falls on every side alike.

usage: bench/bench_python.py [--build-dir build/py] [--round-trips 3000] [--captures 40]
                             [--into-rounds 5] [--stream-seconds 3]
"""

import argparse
import json
import os
import pathlib
import statistics
import struct
import subprocess
import sys
import time

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]


def start_bridge(executable, *options):
    process = subprocess.Popen([str(executable), "--host", "127.0.0.1", "--port", "0", *options],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline()
    prefix = "listening on http://127.0.0.1:"
    if not line.startswith(prefix):
        process.kill()
        sys.exit("the stand-in bridge did not start: %r" % line)
    port = int(line[len(prefix):].strip().rstrip("/"))
    return process, "http://127.0.0.1:%d/" % port, "ws://127.0.0.1:%d/" % port


def percentile(samples, fraction):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def timed_calls(call, count):
    samples = []
    for _ in range(count):
        started = time.perf_counter_ns()
        call()
        samples.append((time.perf_counter_ns() - started) / 1000.0)
    return samples


def cpp_benchmarks(build_dir, http_url, pattern, *options):
    """Runs the C++ benchmarks matching `pattern` against the bridge: {name: result}, or None."""
    binary = build_dir / "bench" / "bench_bridge_round_trip"
    if not binary.exists():
        return None
    done = subprocess.run([str(binary), "--benchmark_format=json", "--benchmark_filter=" + pattern, *options],
                          env=dict(os.environ, STRANDEL_BENCH_BRIDGE_URL=http_url),
                          capture_output=True, text=True, check=True)
    return {b["name"].split("/iterations")[0]: b for b in json.loads(done.stdout)["benchmarks"]}


def cpp_round_trip(build_dir, http_url):
    results = cpp_benchmarks(build_dir, http_url, "^BM_GetJointsState/", "--benchmark_min_time=2")
    if results is None:
        return None
    return {name: result["p50_us"] for name, result in results.items()}


def round_trips(strandel, requests, build_dir, http_url, ws_url, count):
    client = strandel.IsaacSimClient("bench", http_url, ws_url, timeout=10.0, max_retries=0)
    ident = client.articulations.create("/World/bench_round_trip")["articulation_id"]
    url = http_url + "articulations/%s/joints_state" % ident
    session = requests.Session()
    sides = {
        "module: client.articulations.get_joints_state": lambda: client.articulations.get_joints_state(ident),
        "requests.get(...).json(), fresh connection": lambda: requests.get(url, timeout=10).json(),
        "requests.Session().get(...).json()": lambda: session.get(url, timeout=10).json(),
    }
    samples = {name: [] for name in sides}
    rounds = 10
    cpp = []
    for index in range(rounds):
        if index == rounds // 2:
            cpp.append(cpp_round_trip(build_dir, http_url))
        for name, call in sides.items():
            samples[name] += timed_calls(call, count // rounds)
    client.articulations.remove(ident)
    result = {name: (percentile(s, 0.5), percentile(s, 0.9)) for name, s in samples.items()}
    if cpp[0] is not None:
        result["C++ library: Articulation::getJointsState"] = (cpp[0]["BM_GetJointsState/fresh"], None)
        result["C++ library, reuse_connections: Articulation::getJointsState"] = (
            cpp[0]["BM_GetJointsState/reused"], None)
    return result


def capture_cpu(strandel, requests, np, build_dir, http_url, ws_url, count):
    client = strandel.IsaacSimClient("bench", http_url, ws_url, timeout=30.0, max_retries=0)
    camera = client.cameras.create("/World/bench_capture", resolution=[1280, 720])["camera_id"]
    url = http_url + "cameras/%s/capture" % camera
    session = requests.Session()

    def module_capture():
        frame = client.cameras.capture(camera)
        return frame.output("rgb"), frame.output("depth")

    def requests_capture():
        body = session.post(url, data=b"{}", headers={"Content-Type": "application/json"}, timeout=30).content
        if body[:4] != b"QXB1":
            raise RuntimeError("not a frame")
        (length,) = struct.unpack_from("<I", body, 4)
        manifest = json.loads(body[8:8 + length])
        start = 8 + length
        arrays = []
        for entry in manifest["arrays"]:
            dtype = np.dtype(entry["dtype"]).newbyteorder("<")
            count_ = int(np.prod(entry["shape"]))
            arrays.append(np.frombuffer(body, dtype=dtype, count=count_, offset=start + entry["offset"])
                          .reshape(entry["shape"]))
        return arrays

    sides = {"module: cameras.capture + output()": module_capture,
             "requests.Session post + numpy.frombuffer": requests_capture}
    cpu = {name: [] for name in sides}
    wall = {name: [] for name in sides}
    for name, call in sides.items():
        call()  # warm up: first connection, allocator
    cpp = None
    for index in range(count):
        if index == count // 2:
            cpp = cpp_benchmarks(build_dir, http_url, "^BM_Capture/")
        for name, call in sides.items():
            cpu_started, wall_started = time.process_time(), time.perf_counter()
            rgb, depth = call()[:2]
            assert rgb.shape == (720, 1280, 3) and depth.shape == (720, 1280)
            cpu[name].append((time.process_time() - cpu_started) * 1000.0)
            wall[name].append((time.perf_counter() - wall_started) * 1000.0)
    client.cameras.remove(camera)
    result = {name: (statistics.median(cpu[name]), statistics.median(wall[name]), None) for name in sides}
    if cpp is not None:
        for name, label in (("BM_Capture/fresh", "C++ library: Camera::capture, a new frame each"),
                            ("BM_Capture/into", "C++ library: Camera::capture(id, into), one reused frame"),
                            ("BM_Capture/into_reused", "C++ library: capture(id, into) + reuse_connections")):
            result[label] = (cpp[name]["cpu_ms"], cpp[name]["real_time"], cpp[name]["minflt"])
    return result


def capture_into_cpu(strandel, build_dir, http_url, ws_url, captures, rounds):
    """{side: (median CPU ms per capture, median minor faults per capture)} over `rounds` rounds,
    each a block of `captures` captures per side after one warm-up capture, as BM_Capture/into
    measures the C++ side; None when bench_bridge_round_trip is not built."""
    import resource

    if not (build_dir / "bench" / "bench_bridge_round_trip").exists():
        return None
    plain = strandel.IsaacSimClient("bench", http_url, ws_url, timeout=30.0, max_retries=0)
    keeping = strandel.IsaacSimClient("bench", http_url, ws_url, timeout=30.0, max_retries=0,
                                      reuse_connections=True)
    camera = plain.cameras.create("/World/bench_capture_into", resolution=[1280, 720])["camera_id"]

    def module_block(client):
        frame = strandel.CameraFrame()
        client.cameras.capture(camera, into=frame)  # warm-up: the frame's buffers, the connection
        before, cpu_started = resource.getrusage(resource.RUSAGE_SELF), time.process_time()
        for _ in range(captures):
            client.cameras.capture(camera, into=frame)
            rgb, depth = frame.output("rgb"), frame.output("depth")
            assert rgb.shape == (720, 1280, 3) and depth.shape == (720, 1280)
            del rgb, depth  # a frame takes no capture while its arrays are in use
        cpu = (time.process_time() - cpu_started) * 1000.0 / captures
        return cpu, (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before.ru_minflt) / captures

    names = ("module: cameras.capture(into=frame) + output()",
             "module: the same with reuse_connections",
             "C++ library: Camera::capture(id, into)",
             "C++ library: the same with reuse_connections")
    samples = {name: [] for name in names}
    for _ in range(rounds):
        samples[names[0]].append(module_block(plain))
        samples[names[1]].append(module_block(keeping))
        cpp = cpp_benchmarks(build_dir, http_url, "^BM_Capture/into")
        for name, key in ((names[2], "BM_Capture/into"), (names[3], "BM_Capture/into_reused")):
            samples[name].append((cpp[key]["cpu_ms"], cpp[key]["minflt"]))
    plain.cameras.remove(camera)
    return {name: (statistics.median(cpu for cpu, _ in s), statistics.median(f for _, f in s))
            for name, s in samples.items()}


def stream_cpu(strandel, websocket, http_url, ws_url, seconds):
    client = strandel.IsaacSimClient("bench", http_url, ws_url, timeout=10.0, max_retries=0)
    ident = client.articulations.create("/World/bench_stream")["articulation_id"]
    stream_url = ws_url + "articulations/%s/stream_joint_positions" % ident

    def module_text():
        with client.articulations.stream_joint_positions(ident) as stream:
            return measure(lambda: stream.receive(timeout=1.0))

    def module_iteration():
        with client.articulations.stream_joint_positions(ident) as stream:
            messages = iter(stream)
            return measure(lambda: next(messages))

    def measure(receive):
        receive()
        received = 0
        cpu_started, wall_started = time.process_time(), time.perf_counter()
        while time.perf_counter() - wall_started < seconds:
            if receive() is not None:
                received += 1
        cpu = time.process_time() - cpu_started
        wall = time.perf_counter() - wall_started
        return cpu / received * 1e6, received / wall

    sides = {"module: stream.receive(timeout=1.0), text": module_text,
             "module: for message in stream, decoded JSON": module_iteration}
    if websocket is not None:
        def websocket_text():
            connection = websocket.create_connection(stream_url, timeout=10)
            try:
                return measure(connection.recv)
            finally:
                connection.close()

        def websocket_decoded():
            connection = websocket.create_connection(stream_url, timeout=10)
            try:
                return measure(lambda: json.loads(connection.recv()))
            finally:
                connection.close()

        sides["websocket-client recv(), text"] = websocket_text
        sides["websocket-client json.loads(recv())"] = websocket_decoded
    result = {name: call() for name, call in sides.items()}
    client.articulations.remove(ident)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=str(REPOSITORY / "build" / "py"),
                        help="build tree with the module, the stand-in and (optionally) bench_bridge_round_trip")
    parser.add_argument("--round-trips", type=int, default=3000, help="calls per side")
    parser.add_argument("--captures", type=int, default=40, help="captures per side")
    parser.add_argument("--into-rounds", type=int, default=5,
                        help="rounds of the capture-into comparison, each a block of --captures per side")
    parser.add_argument("--stream-seconds", type=float, default=3.0, help="seconds of stream per side")
    args = parser.parse_args()
    build_dir = pathlib.Path(args.build_dir).resolve()
    sys.path.insert(0, str(build_dir / "python" / "module"))
    import numpy as np
    import requests
    import strandel
    try:
        import websocket
    except ImportError:
        websocket = None
        print("websocket-client (python3-websocket) is not installed: no stream baseline")

    bridge, http_url, ws_url = start_bridge(build_dir / "mock_bridge" / "strandel-mock-bridge",
                                            "--stream-rate", "1000")
    try:
        print("Python %s, module %s, bridge %s\n" % (sys.version.split()[0], strandel.__file__, http_url))
        trips = round_trips(strandel, requests, build_dir, http_url, ws_url, args.round_trips)
        session = trips["requests.Session().get(...).json()"][0]
        module = trips["module: client.articulations.get_joints_state"][0]
        cpp = trips.get("C++ library: Articulation::getJointsState", (None,))[0]
        print("| round trip | p50 | p90 | module / side |\n|---|---|---|---|")
        for name, (p50, p90) in trips.items():
            print("| %s | %.0f us | %s | %.2f |" % (name, p50, "%.0f us" % p90 if p90 else "-", module / p50))
        print("\nmodule / requests.Session = %.2f (goal <= 0.5)%s\n" % (
            module / session, "; module / C++ = %.2f (goal <= 1.3)" % (module / cpp) if cpp else
            "; C++ side not built (cmake --build %s --target bench_bridge_round_trip)" % build_dir))

        captures = capture_cpu(strandel, requests, np, build_dir, http_url, ws_url, args.captures)
        print("| 1280x720 rgb + depth capture | CPU per capture | wall per capture | minor faults |\n"
              "|---|---|---|---|")
        for name, (cpu, wall, faults) in captures.items():
            print("| %s | %.2f ms | %.2f ms | %s |" % (name, cpu, wall, "-" if faults is None else "%.1f" % faults))
        module_cpu = captures["module: cameras.capture + output()"][0]
        requests_cpu = captures["requests.Session post + numpy.frombuffer"][0]
        print("\nmodule / requests + numpy.frombuffer CPU = %.2f (goal <= 1.0)" % (module_cpu / requests_cpu))
        into = captures.get("C++ library: Camera::capture(id, into), one reused frame")
        if into is not None:
            print("C++ capture(id, into) / requests + numpy.frombuffer CPU = %.2f (goal <= 0.6)" % (into[0] / requests_cpu))
            reused = captures["C++ library: capture(id, into) + reuse_connections"]
            print("C++ capture(id, into) + reuse_connections / requests + numpy.frombuffer CPU = %.2f"
                  % (reused[0] / requests_cpu))
        print()

        into = capture_into_cpu(strandel, build_dir, http_url, ws_url, args.captures, args.into_rounds)
        if into is None:
            print("C++ side not built: no capture-into comparison\n")
        else:
            print("| 1280x720 rgb + depth into one reused frame, %d x %d captures | CPU per capture "
                  "| minor faults |\n|---|---|---|" % (args.into_rounds, args.captures))
            for name, (cpu, faults) in into.items():
                print("| %s | %.2f ms | %.1f |" % (name, cpu, faults))
            values = list(into.values())
            print("\nmodule / C++ capture into CPU = %.2f, with reuse_connections %.2f (goal <= 1.2)\n"
                  % (values[0][0] / values[2][0], values[1][0] / values[3][0]))

        streams = stream_cpu(strandel, websocket, http_url, ws_url, args.stream_seconds)
        print("| 1 kHz stream | CPU per message | messages per second |\n|---|---|---|")
        for name, (cpu, rate) in streams.items():
            print("| %s | %.1f us | %.0f |" % (name, cpu, rate))
    finally:
        bridge.terminate()
        bridge.wait(20)


if __name__ == "__main__":
    main()
