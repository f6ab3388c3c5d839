"""The raw verbs and the response object, configuration and transport errors, the GIL being
released while a call waits for the bridge, and Ctrl-C during a call."""

import http.server
import json
import pickle
import socket
import subprocess
import sys
import threading
import time

import pytest

import strandel

from conftest import Bridge


def test_verbs_return_the_response_whatever_its_status(client):
    world = client.get("/")
    assert world.status == 200 and isinstance(world.body, bytes)
    assert world.json()["service"] == "strandel-mock-bridge"
    assert json.loads(world.body) == world.json()
    assert world.headers["content-type"] == world.headers["CONTENT-TYPE"] == "application/json"
    assert "Content-Length" in world.headers and "x-missing" not in world.headers
    assert world.headers.get("x-missing", "none") == "none"
    assert len(world.headers) == len(list(world.headers))

    created = client.put("articulations", body=b'{"prim_path":"/World/raw","urdf_path":null}')
    assert created.status == 201
    ident = created.json()["articulation_id"]
    moved = client.post("articulations/%s/set_j" % ident, '{"indices":[0],"joint_positions":[0.5]}')
    assert moved.json()["joint_positions"][0] == 0.5
    assert client.patch("surface_grippers/none/properties", "{}").status == 404
    assert client.delete("articulations/" + ident).json()["removed"] is True

    missing = client.get("no/such/endpoint")
    assert missing.status == 404
    assert missing.json() == {"error": "no endpoint at /no/such/endpoint", "status": 404}

    camera = client.put("cameras", '{"prim_path":"/World/raw_camera","resolution":[8,8]}').json()["camera_id"]
    frame = client.post("cameras/%s/capture" % camera, "{}")
    assert frame.status == 200 and frame.body.startswith(b"QXB1")
    assert frame.headers["content-type"] == "application/octet-stream"
    with pytest.raises(ValueError, match="parse error"):
        frame.json()
    assert client.delete("cameras/" + camera).status == 200


def test_http_error_carries_status_and_body(client):
    with pytest.raises(strandel.HTTPError) as raised:
        client.surface_grippers.get("nobody")
    error = raised.value
    assert isinstance(error, RuntimeError)
    assert str(error) == "Bridge returned status 404"
    assert error.status_code == 404
    assert json.loads(error.body) == {"error": "surface gripper 'nobody' not found", "status": 404}
    copy = pickle.loads(pickle.dumps(error))
    assert (str(copy), copy.status_code, copy.body) == (str(error), error.status_code, error.body)


def test_configuration_errors_are_value_errors():
    with pytest.raises(ValueError, match="^base_url must not be empty$"):
        strandel.IsaacSimClient("x", "", "ws://127.0.0.1:1/")
    with pytest.raises(ValueError, match="^timeout must be positive$"):
        strandel.IsaacSimClient("x", "http://127.0.0.1:1/", "ws://127.0.0.1:1/", timeout=0.0)
    with pytest.raises(ValueError, match="^timeout must be a finite number of seconds$"):
        strandel.IsaacSimClient("x", "http://127.0.0.1:1/", "ws://127.0.0.1:1/", timeout=float("nan"))
    with pytest.raises(ValueError, match="^max_retries must not be negative$"):
        strandel.IsaacSimClient("x", "http://127.0.0.1:1/", "ws://127.0.0.1:1/", max_retries=-1)
    tiny = strandel.IsaacSimClient("x", "http://127.0.0.1:1", "ws://127.0.0.1:1", timeout=0.0001)
    assert tiny.base_url == "http://127.0.0.1:1/" and tiny.websocket_base_url == "ws://127.0.0.1:1/"


def test_refused_connections_raise_the_library_text():
    with socket.socket() as probe:  # a port that was free a moment ago and has no listener
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    client = strandel.IsaacSimClient("x", "http://127.0.0.1:%d" % port, "ws://127.0.0.1:%d" % port,
                                     timeout=5.0, max_retries=0)
    with pytest.raises(RuntimeError, match="^HTTP request failed: Could not connect to server$") as raised:
        client.get("/")
    assert not isinstance(raised.value, strandel.HTTPError)
    with pytest.raises(RuntimeError, match="^WebSocket handshake failed for ws://127.0.0.1:%d/articulations/"
                                           "a/stream_joint_positions: " % port):
        client.articulations.stream_joint_positions("a")


def test_calls_release_the_gil():
    latency = 0.6
    slow = Bridge("--latency-ms", str(int(latency * 1000)))
    try:
        client = slow.client()
        barrier = threading.Barrier(3)
        results = []

        def call():
            barrier.wait()
            results.append(client.articulations.create("/World/gil_%d" % threading.get_ident()))

        threads = [threading.Thread(target=call) for _ in range(2)]
        for thread in threads:
            thread.start()
        barrier.wait()
        started = time.monotonic()
        for thread in threads:
            thread.join(30)
        elapsed = time.monotonic() - started
        assert len(results) == 2
        # Two calls of one latency each: together about one latency when they overlap, at least
        # two when one holds the GIL while it waits.
        assert elapsed < 1.5 * latency
    finally:
        assert slow.stop() == 0


def test_keyword_options_reuse_connections_and_cap_bodies(bridge):
    reusing = bridge.client(timeout=10.0, max_retries=0, reuse_connections=True)
    for _ in range(3):
        assert reusing.get("/").json()["service"] == "strandel-mock-bridge"
    capped = bridge.client(max_retries=0, max_response_bytes=16)
    with pytest.raises(RuntimeError, match="^HTTP response exceeds 16 bytes$"):
        capped.get("/")
    with pytest.raises(TypeError):
        strandel.IsaacSimClient("x", bridge.http_url, bridge.ws_url, 10.0, 0, True)  # keyword-only


# Runs each named call of a client for URL against a bridge that is slow to answer, sends itself
# SIGINT 0.3 s after the call starts and prints how the call ended and when.
INTERRUPTED_CALLS = r"""
import os
import signal
import sys
import threading
import time

import strandel

url, retries, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
client = strandel.IsaacSimClient("pytest", url, url.replace("http", "ws", 1), timeout=30.0,
                                 max_retries=retries)
calls = {"get": lambda: client.get("/"),
         "facade": lambda: client.surface_grippers.get("g"),
         "stream": lambda: client.open_joint_position_stream("a")}
for name in names:
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    try:
        calls[name]()
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    except Exception as error:
        outcome = "raised %r" % error
    print(name, outcome, "%.2f" % (time.monotonic() - started), flush=True)
    timer.join()
"""


def interrupted_calls(url, retries, *names):
    """{name: (outcome, seconds)} of INTERRUPTED_CALLS; fails when the calls outlast 25 s."""
    try:
        done = subprocess.run([sys.executable, "-c", INTERRUPTED_CALLS, url, str(retries), *names],
                              capture_output=True, text=True, timeout=25)
    except subprocess.TimeoutExpired:
        pytest.fail("Ctrl-C did not end the calls within 25 s")
    assert done.returncode == 0, done.stdout + done.stderr
    lines = [line.split() for line in done.stdout.splitlines()]
    return {line[0]: (" ".join(line[1:-1]), float(line[-1])) for line in lines}


def test_ctrl_c_ends_a_call_waiting_for_an_answer():
    # The listener's backlog completes each connection; nothing is ever read or answered.
    with socket.create_server(("127.0.0.1", 0), backlog=16) as silent:
        url = "http://127.0.0.1:%d/" % silent.getsockname()[1]
        ended = interrupted_calls(url, 1, "get", "facade", "stream")
    for name in ("get", "facade", "stream"):
        outcome, seconds = ended[name]
        assert outcome == "interrupted" and seconds < 3.0, (name, ended)


class Unavailable(http.server.BaseHTTPRequestHandler):
    """Answers every request with 503 at once and counts the requests in server.requests."""

    def do_GET(self):
        self.server.requests += 1
        self.send_response(503)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def test_ctrl_c_ends_the_back_off_between_attempts():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Unavailable)
    server.requests = 0
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        # Five retries wait at least 0.375 + 0.75 + 1.5 + 3 + 6 s between their attempts.
        ended = interrupted_calls("http://127.0.0.1:%d/" % server.server_address[1], 5, "get")
    finally:
        server.shutdown()
        server.server_close()
        thread.join(10)
    outcome, seconds = ended["get"]
    assert outcome == "interrupted" and seconds < 3.0, ended
    assert 1 <= server.requests < 6  # no attempt after the interrupt
