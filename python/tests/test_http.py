"""The raw verbs and the response object, JSON conversions both ways, configuration errors, the
error kinds of failed calls, retry options and attempt reports, the GIL being released while a call
waits for the bridge, Ctrl-C during a call, and the type stub against the module."""

import ast
import builtins
import contextlib
import http.server
import importlib
import inspect
import json
import pathlib
import pickle
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import strandel

from conftest import Bridge


@contextlib.contextmanager
def serving(handler):
    """A ThreadingHTTPServer on 127.0.0.1 with `handler`, counting requests in server.requests."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.requests = 0
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join(10)


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


def test_http_error_carries_status_body_and_request(client):
    with pytest.raises(RuntimeError) as raised:
        client.surface_grippers.get("nobody")
    error = raised.value
    assert type(error) is strandel.HTTPError
    assert error.args[0] == "Bridge returned status 404"
    assert error.status_code == 404
    assert json.loads(error.body) == {"error": "surface gripper 'nobody' not found", "status": 404}
    url = client.base_url + "surface_grippers/nobody"
    assert (error.method, error.url) == ("GET", url)
    assert str(error) == "Bridge returned status 404 for GET %s: %s" % (url, error.body.decode())
    copy = pickle.loads(pickle.dumps(error))
    assert (str(copy), copy.status_code, copy.body, copy.method, copy.url) == \
        (str(error), error.status_code, error.body, error.method, error.url)

    # Without a request, and with a long body that is not all UTF-8: its start, decoded leniently.
    plain = strandel.HTTPError("Bridge returned status 500", 500, b"\xff<p>\n" + b"x" * 1000)
    assert (plain.method, plain.url) == (None, None)
    assert str(plain) == "Bridge returned status 500: \ufffd<p> " + "x" * 195 + "..."
    assert str(strandel.HTTPError("Bridge returned status 502", 502, b"")) == "Bridge returned status 502"


class Echo(http.server.BaseHTTPRequestHandler):
    """Answers every POST with 200 and the request's own body."""

    def do_POST(self):
        self.server.requests += 1
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Seven:
    """An integer-like object that is not an int."""

    def __index__(self):
        return 7


def test_json_conversions_keep_python_types_and_refuse_the_rest():
    deep = []
    for _ in range(100000):
        deep = [deep]
    with serving(Echo) as server:
        url = "127.0.0.1:%d/" % server.server_address[1]
        client = strandel.IsaacSimClient("pytest", "http://" + url, "ws://" + url, max_retries=0)

        def echoed(offset):
            return client.articulations.assemble_robot("a", "g", "l", offset=offset)["offset"]

        sent = echoed({"b": [1, -2, 2 ** 64 - 1, -2 ** 63, 2.0, True, None, "\u00fc\u20ac"], "a": (0.25,)})
        assert sent == {"a": [0.25], "b": [1, -2, 2 ** 64 - 1, -2 ** 63, 2.0, True, None, "\u00fc\u20ac"]}
        assert [type(value) for value in sent["b"][:6]] == [int, int, int, int, float, bool]
        assert echoed([float("nan"), float("inf"), -float("inf")]) == [None, None, None]
        assert echoed(np.array([[1, 2], [3, 4]], dtype=np.int16)) == [[1, 2], [3, 4]]
        assert echoed([np.float32(0.5), np.bool_(True), Seven()]) == [0.5, True, 7]
        assert echoed(None) is None
        refused = [({1.0}, TypeError, "^cannot send a set as JSON$"),
                   (b"{}", TypeError, "^cannot send a bytes as JSON$"),
                   ({"x": {1: 2}}, TypeError, "^JSON object keys must be str, not int$"),
                   ([2 ** 64], ValueError, "^int 18446744073709551616 does not fit in 64 bits$"),
                   (-2 ** 63 - 1, ValueError, "^int -9223372036854775809 does not fit in 64 bits$"),
                   ("\ud800", UnicodeEncodeError, "surrogates not allowed"),
                   (deep, RecursionError, "while converting Python to JSON")]
        for value, error, text in refused:
            with pytest.raises(error, match=text):
                echoed(value)
        assert server.requests == 5  # nothing was sent for a refused value

        answer = client.post("x", '{"u":18446744073709551615,"i":-9223372036854775808,"f":1e300,'
                                  '"s":"\\u00fc","n":null,"l":[true,false,{}]}').json()
        assert answer == {"f": 1e300, "i": -2 ** 63, "l": [True, False, {}], "n": None, "s": "\u00fc",
                          "u": 2 ** 64 - 1}
        assert list(answer) == ["f", "i", "l", "n", "s", "u"]
        with pytest.raises(RecursionError, match="while converting JSON to Python"):
            client.post("x", "[" * 100000 + "]" * 100000).json()


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


def test_failed_exchanges_raise_their_kinds(bridge):
    with socket.socket() as probe:  # a port that was free a moment ago and has no listener
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    reports = []
    client = strandel.IsaacSimClient("x", "http://127.0.0.1:%d" % port, "ws://127.0.0.1:%d" % port,
                                     timeout=5.0, max_retries=1, initial_backoff=0.0, on_attempt=reports.append)
    with pytest.raises(RuntimeError, match="^HTTP request failed: Could not connect to server$") as raised:
        client.get("/")
    refused = raised.value
    assert type(refused) is strandel.TransportError
    assert (refused.curl_code, refused.url, refused.attempts) == (7, "http://127.0.0.1:%d/" % port, 2)
    assert [(r.attempt, r.status, r.failure, r.error, r.next_delay) for r in reports] == \
        [(1, 0, "transport", "Could not connect to server", 0.0), (2, 0, "transport", "Could not connect to server",
                                                                    None)]
    stream_url = "ws://127.0.0.1:%d/articulations/a/stream_joint_positions" % port
    with pytest.raises(RuntimeError, match="^WebSocket handshake failed for %s: " % stream_url) as raised:
        client.articulations.stream_joint_positions("a")
    unopened = raised.value
    assert type(unopened) is strandel.HandshakeError
    assert (unopened.url, unopened.status_code, unopened.body) == (stream_url, 0, b"")

    # The listener's backlog completes the connection; nothing is ever answered.
    with socket.create_server(("127.0.0.1", 0)) as silent:
        url = "http://127.0.0.1:%d/" % silent.getsockname()[1]
        with pytest.raises(strandel.TransportError) as raised:
            strandel.IsaacSimClient("x", url, url, timeout=0.2, max_retries=0, on_attempt=reports.append).get("/")
    late = raised.value
    assert type(late) is strandel.TimeoutError and isinstance(late, RuntimeError)
    assert (late.curl_code, late.url, late.attempts) == (28, url, 1)
    assert (reports[-1].failure, reports[-1].status) == ("timeout", 0)

    with pytest.raises(strandel.HandshakeError) as raised:
        bridge.client(max_retries=0).open_joint_position_stream("nobody")
    missing = raised.value
    assert missing.status_code == 404 and missing.url == bridge.ws_url + "articulations/nobody/stream_joint_positions"
    assert b'{"error":"articulation \'nobody\' not found","status":404}'.startswith(missing.body)

    for error in (refused, unopened, late, missing):
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is type(error) and copy.args == error.args and vars(copy) == vars(error)
        assert str(copy) == str(error) and isinstance(error, strandel.Error)
    # A refusal's status is in the text; the library's text alone otherwise.
    assert str(missing) == missing.args[0] + " (status 404)" and str(unopened) == unopened.args[0]
    assert isinstance(late, builtins.TimeoutError) and not isinstance(refused, builtins.TimeoutError)
    # One base catches every kind; each is still the RuntimeError it always was.
    kinds = [kind for kind in vars(strandel).values() if isinstance(kind, type) and issubclass(kind, BaseException)]
    assert strandel.Error in kinds and len(kinds) == 10
    assert all(issubclass(kind, strandel.Error) and issubclass(kind, RuntimeError) for kind in kinds
               if kind is not strandel.Error)


def test_websocket_url_for_changes_only_an_http_scheme():
    for http_url, ws_url in (("http://h:8211/", "ws://h:8211/"), ("https://h/x?q=http:", "wss://h/x?q=http:"),
                             ("HTTP://h", "ws://h"), ("HtTpS:h", "wss:h"), ("http://h\u00f6st/", "ws://h\u00f6st/")):
        assert strandel.websocket_url_for(http_url) == ws_url
    for unchanged in ("", "h:8211", "ws://h/", "httpx://h/", "ftp://h/", "//h/"):
        assert strandel.websocket_url_for(unchanged) == unchanged


def test_calls_release_the_gil():
    # While a call waits out the bridge's latency, another Python thread goes on running; a call
    # that held the GIL would stop it for the whole latency. Counted in the other thread's turns,
    # not timed, so that a busy machine can fake neither outcome.
    latency = 0.6
    slow = Bridge("--latency-ms", str(int(latency * 1000)))
    try:
        client = slow.client()
        calling, done = threading.Event(), threading.Event()
        turns = []

        def other_thread():
            calling.wait(30)
            while not done.is_set():
                turns.append(time.monotonic())
                time.sleep(0.01)

        thread = threading.Thread(target=other_thread)
        thread.start()
        calling.set()
        try:
            client.articulations.create("/World/gil")
        finally:
            done.set()
            thread.join(30)
        # About 60 turns while the call waits; none (one at the edges) when the GIL is held.
        assert len(turns) >= 5, turns
    finally:
        assert slow.stop() == 0


def test_keyword_options_reuse_connections_and_cap_bodies(bridge):
    reusing = bridge.client(timeout=10.0, max_retries=0, reuse_connections=True)
    for _ in range(3):
        assert reusing.get("/").json()["service"] == "strandel-mock-bridge"
    capped = bridge.client(max_retries=0, max_response_bytes=16)
    with pytest.raises(RuntimeError, match="^HTTP response exceeds 16 bytes$") as raised:
        capped.get("/")
    assert type(raised.value) is strandel.ResponseTooLargeError and raised.value.limit == 16
    assert pickle.loads(pickle.dumps(raised.value)).limit == 16
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


def test_retry_options_and_attempt_reports():
    with serving(Unavailable) as server:
        url = "http://127.0.0.1:%d/" % server.server_address[1]
        reports = []
        client = strandel.IsaacSimClient("pytest", url, url.replace("http", "ws", 1), timeout=5.0, max_retries=2,
                                         retry_statuses=(status for status in [503]), initial_backoff=0.02,
                                         max_backoff=0.03, seeded_jitter=True, on_attempt=reports.append)
        assert client.get("/").status == 503 and server.requests == 3
        assert [(r.method, r.url, r.attempt, r.status, r.failure, r.error) for r in reports] == \
            [("GET", url, attempt, 503, "none", "") for attempt in (1, 2, 3)]
        # Back-off 20 ms, then doubled but capped at 30 ms, each times a jitter factor of 0.75 to 1.
        delays = [r.next_delay for r in reports]
        assert 0.015 <= delays[0] <= 0.02 and 0.022 <= delays[1] <= 0.03 and delays[2] is None
        assert all(0.0 < r.duration < 5.0 for r in reports)

        # A second client keeps every option not given: the hook, the retries, the back-off.
        others = client.with_options(retry_statuses=[500, 502])
        assert others.base_url == url and others.get("/").status == 503
        assert server.requests == 4 and len(reports) == 4  # 503 is not retried there
        assert client.with_options(retry_statuses=[]).get("/").status == 503 and server.requests == 5
        assert client.with_options(timeout=1.0).get("/").status == 503 and server.requests == 8
        assert len(reports) == 8
        assert client.with_options(on_attempt=None, max_retries=0).get("/").status == 503
        assert server.requests == 9 and len(reports) == 8

        # What the hook raises ends the call unchanged, without further attempts.
        raised = []

        def refuse(report):
            raised.append(LookupError("stop after attempt %d" % report.attempt))
            raise raised[-1]

        with pytest.raises(LookupError) as stopped:
            client.with_options(on_attempt=refuse).get("/")
        assert stopped.value is raised[0] and server.requests == 10

    with pytest.raises(ValueError, match="^backoff must not be negative$"):
        strandel.IsaacSimClient("x", url, url, initial_backoff=-0.0001)
    with pytest.raises(ValueError, match="^backoff must not be negative$"):
        client.with_options(max_backoff=-1.0)
    with pytest.raises(ValueError, match="^max_backoff must be a finite number of seconds$"):
        client.with_options(max_backoff=float("inf"))
    with pytest.raises(TypeError, match="^retry_statuses must be None or an iterable of ints$"):
        strandel.IsaacSimClient("x", url, url, retry_statuses="503")
    with pytest.raises(TypeError, match="^on_attempt must be None or callable$"):
        client.with_options(on_attempt=5)
    with pytest.raises(TypeError, match="^timeout must be a float, not str$"):
        client.with_options(timeout="1")
    with pytest.raises(TypeError):
        client.with_options(retries=1)
    assert client.with_options(reuse_connections=False).base_url == url
    with pytest.raises(ValueError, match="^with_options shares this client's connections: reuse_connections"):
        client.with_options(reuse_connections=True)


def test_ctrl_c_ends_the_back_off_between_attempts():
    with serving(Unavailable) as server:
        # Five retries wait at least 0.375 + 0.75 + 1.5 + 3 + 6 s between their attempts.
        ended = interrupted_calls("http://127.0.0.1:%d/" % server.server_address[1], 5, "get")
    outcome, seconds = ended["get"]
    assert outcome == "interrupted" and seconds < 3.0, ended
    assert 1 <= server.requests < 6  # no attempt after the interrupt


STUB = pathlib.Path(__file__).resolve().parents[1] / "strandel" / "__init__.pyi"
EMPTY = inspect.Parameter.empty


def parameters(function):
    """[(name, kind, default)] of a function of the module or of a stub's ast.FunctionDef; those of
    a pybind11 function come from its docstring's first line, "name(self: type, a: type = x) -> type"."""
    if not isinstance(function, ast.FunctionDef):
        try:
            return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]
        except ValueError:
            function = ast.parse("def %s: ..." % function.__doc__.splitlines()[0]).body[0]
    arguments = function.args
    for argument in [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs, arguments.vararg,
                     arguments.kwarg]:
        if argument:
            argument.annotation = None
    function.returns, function.decorator_list = None, []
    namespace = {}
    exec(compile(ast.fix_missing_locations(ast.Module([function], [])), STUB.name, "exec"), namespace)
    return parameters(namespace[function.name])


def same_parameters(stub, module):
    """Names, kinds and which have defaults agree; so do the default values the stub spells out."""
    return len(stub) == len(module) and all(
        s[:2] == m[:2] and (s[2] is EMPTY) == (m[2] is EMPTY) and (s[2] is ... or s[2] == m[2])
        for s, m in zip(stub, module))


def test_the_stub_matches_the_module():
    public = lambda names: {name for name in names if not name.startswith("_")}
    named = lambda node: node.target.id if isinstance(node, ast.AnnAssign) else node.name
    kinds = (ast.ClassDef, ast.FunctionDef, ast.AnnAssign)
    # Plain assignments in the stub are type aliases for annotations; the module has no such names.
    stub = ast.parse(STUB.read_text()).body
    declared = {named(node): node for node in stub if isinstance(node, kinds)}
    # Submodules re-exported by the package: "from . import tools as tools".
    submodules = {alias.asname or alias.name for node in stub if isinstance(node, ast.ImportFrom) and node.level
                  for alias in node.names}
    assert public(declared) | submodules == public(vars(strandel))
    assert all(inspect.ismodule(getattr(strandel, name)) for name in submodules)
    # Attributes that only an instance of a class written in Python shows.
    instances = {"HTTPError": strandel.HTTPError("Bridge returned status 404", 404, b""),
                 "TransportError": strandel.TransportError("HTTP request failed: x", 7, "http://h/", 1),
                 "HandshakeError": strandel.HandshakeError("WebSocket handshake failed", "ws://h/", 0, b""),
                 "ResponseTooLargeError": strandel.ResponseTooLargeError("HTTP response exceeds 1 bytes", 1),
                 "MessageTooLargeError": strandel.MessageTooLargeError("WebSocket message exceeds 1 bytes", 1),
                 "PeerClosedError": strandel.PeerClosedError("WebSocket peer closed the stream", None)}
    # What the stub's names of other modules stand for: builtins and its imports.
    names = dict(vars(builtins))
    for node in stub:
        if isinstance(node, ast.Import):
            names.update({alias.asname or alias.name: importlib.import_module(alias.name) for alias in node.names})
        elif isinstance(node, ast.ImportFrom) and not node.level:
            module = importlib.import_module(node.module)
            names.update({alias.asname or alias.name: getattr(module, alias.name) for alias in node.names})

    def ancestors(node):
        """The module's class a stub class stands for, with every class its bases in the stub make it
        derive from, directly or not."""
        found = {getattr(strandel, node.name), object}
        for base in node.bases:
            base = base.value if isinstance(base, ast.Subscript) else base  # Mapping[str, str]
            if isinstance(base, ast.Name) and base.id in declared:
                found |= ancestors(declared[base.id])
            elif isinstance(base, ast.Name):
                found |= set(names[base.id].__mro__)
            else:  # builtins.TimeoutError
                found |= set(getattr(names[base.value.id], base.attr).__mro__)
        return found

    drift = []
    for name, node in declared.items():
        if isinstance(node, ast.FunctionDef) and not same_parameters(parameters(node),
                                                                     parameters(getattr(strandel, name))):
            drift.append(name)
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(strandel, name)
        # The module's private helper classes and pybind11's own base are not the stub's to name.
        if ancestors(node) != {base for base in cls.__mro__
                               if not base.__name__.startswith("_") and base.__module__ != "pybind11_builtins"}:
            drift.append("%s bases" % name)
        members = {named(member): member for member in node.body if isinstance(member, kinds)}
        attributes = set(vars(cls)) | set(vars(instances[name]) if name in instances else ())
        if public(members) != public(attributes):
            drift.append("%s members %s" % (name, sorted(public(members) ^ public(attributes))))
        for member_name, member in members.items():
            if member_name not in attributes and not hasattr(cls, member_name):
                drift.append("%s.%s" % (name, member_name))
            elif isinstance(member, ast.FunctionDef):
                is_property = any(getattr(d, "id", None) == "property" for d in member.decorator_list)
                if is_property != isinstance(vars(cls).get(member_name), property) or not is_property and \
                        not same_parameters(parameters(member), parameters(getattr(cls, member_name))):
                    drift.append("%s.%s" % (name, member_name))
    assert drift == []
