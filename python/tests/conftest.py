"""Fixtures: the stand-in bridge as a child process on 127.0.0.1 with a port the system chose.

The executable comes from STRANDEL_MOCK_BRIDGE (ctest sets it to the one built beside the module).
"""

import os
import pathlib
import select
import signal
import subprocess
import time

import pytest

import strandel

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
DEMO_ARM_URDF = str(REPOSITORY / "examples" / "urdf" / "strandel_demo_arm.urdf")


class Bridge:
    """strandel-mock-bridge --host 127.0.0.1 --port 0 plus extra options, running until stop()."""

    def __init__(self, *options):
        executable = os.environ.get("STRANDEL_MOCK_BRIDGE")
        if not executable:
            pytest.fail("STRANDEL_MOCK_BRIDGE must name the strandel-mock-bridge executable")
        self.process = subprocess.Popen(
            [executable, "--host", "127.0.0.1", "--port", "0", *options],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 30)
        line = self.process.stdout.readline() if ready else ""
        prefix = "listening on http://127.0.0.1:"
        if not line.startswith(prefix):
            self.stop()
            pytest.fail("the stand-in bridge did not report its port: %r" % line)
        self.port = int(line[len(prefix):].strip().rstrip("/"))
        self.http_url = "http://127.0.0.1:%d/" % self.port
        self.ws_url = "ws://127.0.0.1:%d/" % self.port

    def client(self, **options):
        return strandel.IsaacSimClient("pytest", self.http_url, self.ws_url, **options)

    def stop(self):
        """Stops the bridge; returns its exit status (0 after a clean SIGTERM shutdown)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        return self.process.returncode


@pytest.fixture(scope="session")
def bridge():
    running = Bridge()
    yield running
    assert running.stop() == 0


@pytest.fixture
def client(bridge):
    return bridge.client(timeout=10.0, max_retries=0)


@pytest.fixture
def arm(client, request):
    """An articulation made from the demo arm's URDF at a prim path of its own; removed afterwards."""
    prim = "/World/%s_%d" % (request.node.name.replace("[", "_").replace("]", ""), time.monotonic_ns())
    created = client.articulations.create(prim, urdf_path=DEMO_ARM_URDF)
    yield created
    try:
        client.articulations.remove(created["articulation_id"])
    except strandel.HTTPError as error:
        assert error.status_code == 404  # the test removed it itself
