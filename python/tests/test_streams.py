"""Streams: receive with and without waiting, sending, iteration until the peer closes, context
management, wait_for_any, messages sent in fragments, and Ctrl-C during a long wait."""

import base64
import hashlib
import json
import os
import signal
import socket
import struct
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
    with pytest.raises(RuntimeError, match=r"^receive\(\) called on a closed WebSocketStream$"):
        stream.receive()
    stream.close()  # closing again does nothing


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


class FragmentingPeer:
    """A WebSocket server on 127.0.0.1 that takes one connection, completes its handshake, writes
    FRAGMENTED_WRITES 50 ms apart and then reads until the client goes away."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "127.0.0.1:%d/" % self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        self.listener.settimeout(20)
        connection, _ = self.listener.accept()
        with connection:
            connection.settimeout(20)
            request = b""
            while b"\r\n\r\n" not in request:
                request += connection.recv(4096)
            key = next(line.split(b":", 1)[1].strip() for line in request.split(b"\r\n")
                       if line.lower().startswith(b"sec-websocket-key:"))
            accept = base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
            connection.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                               b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")
            try:
                for write in FRAGMENTED_WRITES:
                    time.sleep(0.05)
                    connection.sendall(write)
                while connection.recv(4096):
                    pass
            except OSError:
                pass  # the client went away early; the test reports what it missed

    def stop(self):
        self.thread.join(30)
        self.listener.close()


@pytest.mark.parametrize("reading", ["receive", "receive_with_timeout", "iteration"])
def test_messages_in_fragments_come_whole_until_the_peer_closes(reading):
    peer = FragmentingPeer()
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
