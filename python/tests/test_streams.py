"""Streams: receive with and without waiting, sending, iteration until the peer closes, context
management, wait_for_any, messages sent in fragments, the error kinds of stream calls, streams that
reopen their connection, Ctrl-C during a long wait, and recording streams (strandel.tools)."""

import base64
import datetime
import hashlib
import json
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

import strandel

from conftest import Bridge, DEMO_ARM_URDF


def test_receive_send_and_close(client, arm):
    ident = arm["articulation_id"]
    with client.articulations.stream_joint_positions(ident) as stream:
        message = json.loads(stream.receive(timeout=5.0))
        assert message["articulation_id"] == ident and len(message["joint_positions"]) == 6
        stream.send("not json")
        errors = []
        for _ in range(200):
            text = stream.receive(timeout=5.0)
            if "error" in json.loads(text):
                errors.append(json.loads(text))
                break
        assert errors and errors[0]["status"] == 400
        assert stream.peer_closed is False and stream.close_code is None and stream.close_reason == ""
        assert stream.reconnects == 0
    with pytest.raises(RuntimeError, match=r"^receive\(\) called on a closed WebSocketStream$") as raised:
        stream.receive()
    assert type(raised.value) is strandel.StreamClosedError
    stream.close()  # closing again does nothing

    capped = client.with_options(max_message_bytes=16)
    with capped.articulations.stream_articulation_state(ident, reconnect=True) as stream:
        with pytest.raises(RuntimeError, match="^WebSocket message exceeds 16 bytes$") as raised:
            stream.receive(timeout=5.0)
        assert type(raised.value) is strandel.MessageTooLargeError and raised.value.limit == 16


def test_iteration_yields_json_until_the_peer_closes(client, arm):
    ident = arm["articulation_id"]
    stream = client.open_articulation_state_stream(ident)
    sequences = []
    for message in stream:
        assert isinstance(message, dict) and "joint_velocities" in message
        sequences.append(message["sequence"])
        if len(sequences) == 3:
            client.articulations.remove(ident)
    assert len(sequences) >= 3 and sequences == sorted(sequences)
    assert stream.peer_closed is True
    assert stream.close_code == 1001 and stream.close_reason == "articulation removed"
    assert stream.receive(timeout=1.0) is None
    with pytest.raises(RuntimeError, match="^WebSocket peer closed the stream: 1001 articulation removed$") as raised:
        stream.send("{}")
    assert type(raised.value) is strandel.PeerClosedError and raised.value.close_code == 1001
    stream.close()


def test_wait_for_any(client, arm):
    ident = arm["articulation_id"]
    with client.articulations.stream_joint_positions(ident) as first, \
            client.open_joint_position_stream(ident) as second:
        ready = strandel.wait_for_any([first, None, second], timeout=5.0)
        assert ready and set(ready) <= {0, 2}
        with pytest.raises(ValueError, match="^timeout must not be negative$"):
            strandel.wait_for_any([first], timeout=-1.0)
        with pytest.raises(TypeError):
            strandel.wait_for_any([first, "second"], timeout=0.0)
    assert strandel.wait_for_any([], timeout=0.0) == []


def test_ctrl_c_interrupts_a_long_wait():
    quiet = Bridge("--stream-rate", "0.1")
    try:
        client = quiet.client()
        ident = client.articulations.create("/World/quiet", urdf_path=DEMO_ARM_URDF)["articulation_id"]
        with client.articulations.stream_joint_positions(ident) as stream:
            stream.receive(timeout=15.0)  # the first message comes at once, the next in 10 s
            timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
            started = time.monotonic()
            timer.start()
            try:
                with pytest.raises(KeyboardInterrupt):
                    stream.receive(timeout=30.0)
                with pytest.raises(KeyboardInterrupt):
                    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
                    next(iter(stream))
            finally:
                timer.cancel()
            assert time.monotonic() - started < 9.0  # well before the next message
    finally:
        assert quiet.stop() == 0


def frame(opcode, payload, fin=True):
    """One unmasked WebSocket frame, as a server sends it."""
    assert len(payload) < 126
    return bytes([(0x80 if fin else 0) | opcode, len(payload)]) + payload


TEXT, CONTINUATION, CLOSE, PING = 0x1, 0x0, 0x8, 0x9

# Two messages in fragments, each fragment written on its own after a pause (a ping between the
# second message's fragments), then the peer's close.
FRAGMENTED_WRITES = [
    frame(TEXT, b'{"part":', fin=False), frame(CONTINUATION, b" 1}"),
    frame(TEXT, b'{"part": [', fin=False), frame(PING, b"p"), frame(CONTINUATION, b"2, ", fin=False),
    frame(CONTINUATION, b"3]}"),
    frame(CLOSE, struct.pack(">H", 1000) + b"done"),
]


def accept_key(request):
    key = next(line.split(b":", 1)[1].strip() for line in request.split(b"\r\n")
               if line.lower().startswith(b"sec-websocket-key:"))
    return base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())


class WebSocketPeer:
    """A WebSocket server on 127.0.0.1 that serves its connections in turn, one script each:
    ("serve", writes, ending) completes the handshake, makes the writes 50 ms apart and then either
    reads until the client goes away ("hold") or closes the socket at once ("drop"); ("refuse",
    status) answers the upgrade with that status. A plain request (no upgrade) takes no script: it
    gets 503. Stops after the last script."""

    def __init__(self, *scripts):
        self.scripts = list(scripts)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "127.0.0.1:%d/" % self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        self.listener.settimeout(20)
        for _ in range(4 * len(self.scripts)):
            if not self.scripts:
                return
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return  # the test gave up waiting; it reports what it missed
            with connection:
                try:
                    self.answer(connection)
                except OSError:
                    pass  # the client went away early

    def answer(self, connection):
        connection.settimeout(20)
        request = b""
        while b"\r\n\r\n" not in request:
            received = connection.recv(4096)
            if not received:
                return
            request += received
        if b"sec-websocket-key:" not in request.lower():
            connection.sendall(b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        script = self.scripts.pop(0)
        if script[0] == "refuse":
            connection.sendall(b"HTTP/1.1 %d Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" % script[1])
            return
        _, writes, ending = script
        connection.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                           b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept_key(request) + b"\r\n\r\n")
        for write in writes:
            time.sleep(0.05)
            connection.sendall(write)
        if ending == "drop":
            time.sleep(0.2)
            return
        while connection.recv(4096):
            pass

    def stop(self):
        self.thread.join(30)
        self.listener.close()


def test_streams_reopen_their_connection():
    # A dropped connection, the bridge's close frame, a refused reopen, then a connection gone silent.
    peer = WebSocketPeer(("serve", [frame(TEXT, b'{"n": 1}')], "drop"),
                         ("serve", [frame(CLOSE, struct.pack(">H", 1001) + b"restarting")], "hold"),
                         ("refuse", 503),
                         ("serve", [], "hold"),
                         ("serve", [frame(TEXT, b'{"n": 5}')], "hold"))
    reports = []

    def on_reconnect(report):
        reports.append((report.reconnects, report.reason, report.downtime))
        if report.reason.startswith("idle"):
            raise LookupError("from on_reconnect")

    try:
        client = strandel.IsaacSimClient("pytest", "http://" + peer.url, "ws://" + peer.url, timeout=5.0,
                                         max_retries=0)
        with client.open_joint_position_stream("a", reconnect=True, idle_timeout=0.5, on_reconnect=on_reconnect,
                                               reconnect_after_close=True, initial_backoff=0.2,
                                               max_backoff=0.2) as stream:
            assert json.loads(stream.receive(timeout=10.0)) == {"n": 1}
            # What on_reconnect raises leaves the receive that reopened; the stream goes on.
            with pytest.raises(LookupError, match="from on_reconnect"):
                stream.receive(timeout=10.0)
            assert stream.reconnects == 3
            assert json.loads(stream.receive(timeout=10.0)) == {"n": 5}
        assert [(count, reason.split(":")[0]) for count, reason, _ in reports] == \
            [(1, "WebSocket receive failed"), (2, "closed by the bridge"), (3, "idle for 500 ms")]
        assert reports[1][1] == "closed by the bridge: 1001 restarting"
        assert reports[1][2] >= 0.35  # two back-offs of 0.2 s: before the refused reopen and after it
    finally:
        peer.stop()

    with pytest.raises(ValueError, match="^idle_timeout must not be negative$"):
        client.open_joint_position_stream("a", reconnect=True, idle_timeout=-0.001)
    with pytest.raises(TypeError, match="^on_reconnect must be None or callable$"):
        client.open_articulation_state_stream("a", on_reconnect="call me")


@pytest.mark.parametrize("reading", ["receive", "receive_with_timeout", "iteration"])
def test_messages_in_fragments_come_whole_until_the_peer_closes(reading):
    peer = WebSocketPeer(("serve", FRAGMENTED_WRITES, "hold"))
    try:
        client = strandel.IsaacSimClient("pytest", "http://" + peer.url, "ws://" + peer.url, timeout=10.0,
                                         max_retries=0)
        with client.open_joint_position_stream("a") as stream:
            messages = []
            if reading == "iteration":
                messages = [json.dumps(message) for message in stream]
            for _ in range(200):
                if stream.peer_closed:
                    break
                if reading == "receive":
                    strandel.wait_for_any([stream], timeout=0.1)
                    message = stream.receive()
                else:
                    message = stream.receive(timeout=5.0)
                if message is not None:
                    messages.append(message)
            assert [json.loads(message) for message in messages] == [{"part": 1}, {"part": [2, 3]}]
            assert stream.peer_closed is True
            assert stream.close_code == 1000 and stream.close_reason == "done"
            assert stream.receive() is None and stream.receive(timeout=1.0) is None
            with pytest.raises(StopIteration):
                next(stream)
    finally:
        peer.stop()


LINE_START = r'^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z","offset":\d+\.\d{6},"(message|reconnect|end)":'
END_KEYS = ["messages", "cause", "close_code", "close_reason", "error"]


def recorded_lines(path, ended=True):
    """The recording's lines, each checked to be complete: one JSON object with time and offset
    first, offsets from 0 and never going back; the end line last (`ended`) and nowhere else. The
    message and reconnect lines, and the end line's "end" member (None without one)."""
    text = path.read_bytes().decode("utf-8")
    assert text == "" or text.endswith("\n")
    lines = text.splitlines()
    entries = list(strandel.tools.read_recording(path))
    assert len(entries) == len(lines)
    for line, entry in zip(lines, entries):
        assert re.match(LINE_START, line), line
        assert list(entry) in (["time", "offset", "message"], ["time", "offset", "reconnect"],
                               ["time", "offset", "end"])
    offsets = [entry["offset"] for entry in entries]
    assert offsets[:1] in ([], [0]) and offsets == sorted(offsets)
    end = entries.pop()["end"] if ended or (entries and "end" in entries[-1]) else None
    assert not any("end" in entry for entry in entries)
    if end is not None:
        assert list(end) == END_KEYS
        assert end["messages"] == sum("message" in entry for entry in entries)
    return entries, end


def test_record_writes_messages_and_reopens_as_json_lines(tmp_path):
    peer = WebSocketPeer(("serve", [frame(TEXT, b'{"n": 1, "x": [0.5]}'), frame(TEXT, b'{"n": 2}')], "drop"),
                         ("serve", [frame(TEXT, '{"n": 3, "name": "ä"}'.encode()),
                                    frame(CLOSE, struct.pack(">H", 1000))], "hold"))
    path = tmp_path / "stream.jsonl"
    reports, lines_on_disk = [], []

    def on_reconnect(report):
        reports.append(report)
        lines_on_disk.append(path.read_bytes().count(b"\n"))

    try:
        client = strandel.IsaacSimClient("pytest", "http://" + peer.url, "ws://" + peer.url, timeout=5.0,
                                         max_retries=0)
        with client.open_joint_position_stream("a", reconnect=True, on_reconnect=on_reconnect,
                                               initial_backoff=0.05, max_backoff=0.05) as stream:
            started = time.time()
            assert strandel.tools.record(stream, path) == 3  # ends at the bridge's close frame
            assert stream.ended and stream.on_reconnect is on_reconnect
    finally:
        peer.stop()
    assert lines_on_disk == [3]  # two messages and the reopen, each written as it came
    entries, end = recorded_lines(path)
    assert end == {"messages": 3, "cause": "closed", "close_code": 1000, "close_reason": "", "error": None}
    assert [entry.get("message") for entry in entries] == [{"n": 1, "x": [0.5]}, {"n": 2}, None,
                                                           {"n": 3, "name": "ä"}]
    reopen = entries[2]["reconnect"]
    assert list(reopen) == ["reconnects", "downtime_ms", "reason"]
    assert reopen["reconnects"] == 1 and reopen["reason"].startswith("WebSocket receive failed")
    assert len(reports) == 1 and reports[0].reconnects == 1  # the handler set before still hears of it
    assert reopen["downtime_ms"] == round(reports[0].downtime * 1000)
    for entry in entries:
        stamp = datetime.datetime.strptime(entry["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
        assert abs(stamp.replace(tzinfo=datetime.timezone.utc).timestamp() - started) < 30
    assert '"name":"ä"' in path.read_text(encoding="utf-8").splitlines()[3]  # UTF-8, compact


def test_record_stops_at_count_or_seconds(client, arm, tmp_path):
    with client.articulations.stream_joint_positions(arm["articulation_id"]) as stream:
        assert strandel.tools.record(stream, tmp_path / "none.jsonl", count=0) == 0
        assert recorded_lines(tmp_path / "none.jsonl") == ([], {"messages": 0, "cause": "count", "close_code": None,
                                                                "close_reason": None, "error": None})
        assert strandel.tools.record(stream, tmp_path / "three.jsonl", count=3) == 3
        started = time.monotonic()
        written = strandel.tools.record(stream, tmp_path / "timed.jsonl", seconds=0.3)
        assert 0.3 <= time.monotonic() - started < 10.0
        with pytest.raises(ValueError, match="^count must not be negative$"):
            strandel.tools.record(stream, tmp_path / "never.jsonl", count=-1)
    entries, end = recorded_lines(tmp_path / "three.jsonl")
    assert [len(entry["message"]["joint_positions"]) for entry in entries] == [6] * 3
    assert end["cause"] == "count"
    entries, end = recorded_lines(tmp_path / "timed.jsonl")
    assert len(entries) == written >= 1 and end["cause"] == "seconds"


def test_ctrl_c_ends_a_recording_after_a_complete_line(tmp_path):
    fast = Bridge("--stream-rate", "1000")
    path = tmp_path / "interrupted.jsonl"
    try:
        client = fast.client()
        ident = client.articulations.create("/World/fast", urdf_path=DEMO_ARM_URDF)["articulation_id"]
        with client.articulations.stream_articulation_state(ident, reconnect=True) as stream:
            timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
            timer.start()
            try:
                with pytest.raises(KeyboardInterrupt):
                    strandel.tools.record(stream, path, seconds=20.0)
            finally:
                timer.cancel()
            assert stream.on_reconnect is None  # the recorder's handler is gone again
    finally:
        assert fast.stop() == 0
    entries, end = recorded_lines(path)
    assert len(entries) >= 10 and end["cause"] == "interrupted"


def test_a_recording_ended_by_an_error_says_so_in_its_last_line(tmp_path):
    peer = WebSocketPeer(("serve", [frame(TEXT, b'{"n": 1}'), frame(TEXT, b"not json")], "hold"))
    path = tmp_path / "error.jsonl"
    try:
        client = strandel.IsaacSimClient("pytest", "http://" + peer.url, "ws://" + peer.url, timeout=5.0,
                                         max_retries=0)
        with client.open_joint_position_stream("a") as stream:
            with pytest.raises(ValueError):
                strandel.tools.record(stream, path)
    finally:
        peer.stop()
    entries, end = recorded_lines(path)
    assert [entry["message"] for entry in entries] == [{"n": 1}]
    assert end["cause"] == "error" and end["error"].startswith("JSONDecodeError: ")


@pytest.fixture
def small_disk(tmp_path):
    """A 16 KiB tmpfs mounted on a directory of its own (skipped where the test may not mount)."""
    mount_point = tmp_path / "disk"
    mount_point.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", str(mount_point)],
                                           stderr=subprocess.DEVNULL).returncode != 0:
        pytest.skip("mounting a tmpfs needs root")
    yield mount_point
    subprocess.run(["umount", "-l", str(mount_point)], check=True)


def test_a_recording_that_fills_the_disk_keeps_whole_lines_only(client, arm, small_disk):
    path = small_disk / "full.jsonl"
    with client.articulations.stream_joint_positions(arm["articulation_id"]) as stream:
        with pytest.raises(OSError) as raised:
            strandel.tools.record(stream, path, seconds=60.0)
    assert raised.value.errno == 28  # ENOSPC
    entries, end = recorded_lines(path, ended=False)  # the end line, when there was room for it
    assert len(entries) > 10
    if end is not None:
        assert end["cause"] == "error" and "No space left on device" in end["error"]


def test_rate_stats():
    stats = strandel.tools.RateStats()
    assert stats.rate is None and stats.mean_interval is None and stats.stddev_interval is None
    for at in (10.0, 10.1, 10.3, 10.6):
        stats.add(at)
    assert stats.count == 4 and stats.rate == pytest.approx(5.0)
    assert stats.min_interval == pytest.approx(0.1) and stats.max_interval == pytest.approx(0.3)
    assert stats.mean_interval == pytest.approx(0.2)
    assert stats.stddev_interval == pytest.approx((0.02 / 3) ** 0.5)
    with pytest.raises(ValueError, match="^event times must not go back$"):
        stats.add(10.5)
