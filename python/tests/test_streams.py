"""Streams: receive with and without waiting, sending, iteration until the peer closes, context
management, wait_for_any, and Ctrl-C during a long wait."""

import json
import os
import signal
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
