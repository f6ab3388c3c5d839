"""client.cameras and captured frames: numpy views of the frame's own buffers (no copy), frames that
outlive their client, captures into a reused frame, frames whose arrays numpy cannot view as
described, threads whose first arrays come at the same moment, and camera series on disk
(strandel.tools.capture_series).

Hand-made frames come from a small HTTP server of the test's own on 127.0.0.1."""

import gc
import http.server
import json
import struct
import subprocess
import sys
import threading
import weakref

import numpy as np
import pytest

import strandel


@pytest.fixture
def camera(client):
    ident = client.cameras.create("/World/pytest_camera", resolution=[64, 48], frequency=30.0)["camera_id"]
    yield ident
    client.cameras.remove(ident)


def test_capture_gives_typed_views_of_the_frame(client, camera):
    frame = client.cameras.capture(camera)
    structure = frame.structure
    assert structure["rgb"] == {"__ndarray__": 0} and structure["depth"] == {"__ndarray__": 1}
    rgb, depth = frame.outputs
    assert rgb.dtype == np.uint8 and rgb.shape == (48, 64, 3)
    assert depth.dtype == np.float32 and depth.shape == (48, 64)
    assert np.isfinite(depth).any() and rgb.any()

    # Views, not copies: each access views the same bytes, owned by the frame.
    again = frame.output("rgb")
    assert np.shares_memory(rgb, again)
    assert rgb.base is again.base is depth.base and not rgb.flags.owndata
    rgb[0, 0, 0] ^= 0xFF
    assert frame.output("rgb")[0, 0, 0] == rgb[0, 0, 0]

    assert frame.output("camera_id") is None and frame.output("nothing") is None


def test_capture_options_reach_the_bridge(client, camera):
    reused = strandel.CameraFrame()
    for frame in (client.cameras.capture(camera, data_types=["depth"], world_frame=True),
                  client.cameras.capture(camera, data_types=["depth"], world_frame=True, into=reused)):
        assert "rgb" not in frame.structure and frame.structure["world_frame"] is True
        assert set(frame.structure["camera_pose"]) == {"look_at", "position", "up"}
        (depth,) = frame.outputs
        assert depth.shape == (48, 64) and np.shares_memory(depth, frame.output("depth"))
        del depth


def test_frames_outlive_the_client(bridge):
    client = bridge.client()
    camera = client.cameras.create("/World/pytest_camera_alone", resolution=[32, 24])["camera_id"]
    frame = client.cameras.capture(camera)
    client.cameras.remove(camera)
    rgb = frame.output("rgb")
    expected = rgb.copy()
    alive = weakref.ref(frame)
    del client, frame
    gc.collect()
    np.testing.assert_array_equal(rgb, expected)
    assert alive() is not None and alive().output("rgb").shape == (24, 32, 3)
    del rgb
    gc.collect()
    assert alive() is None


# Sixteen threads whose first arrays come at the same moment, in an interpreter that has not imported
# numpy itself: the module must import numpy before it loads numpy's C API, or they may wait on each
# other for good. Prints what each thread got, one line per thread.
FIRST_ARRAYS_ON_THREADS = r"""
import sys
import threading

import strandel

http_url, ws_url, camera = sys.argv[1:4]
client = strandel.IsaacSimClient("pytest", http_url, ws_url, timeout=30.0, max_retries=0)
barrier = threading.Barrier(16)
got = []


def capture_then_read():
    frame = client.cameras.capture(camera)
    barrier.wait(30)
    rgb = frame.output("rgb")
    got.append("%s %s" % (rgb.shape, [array.shape for array in frame.outputs]))


threads = [threading.Thread(target=capture_then_read) for _ in range(16)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join(60)
print("\n".join(got))
"""


def test_first_arrays_on_many_threads_at_once(bridge, client, camera):
    try:
        done = subprocess.run([sys.executable, "-c", FIRST_ARRAYS_ON_THREADS, bridge.http_url, bridge.ws_url,
                               camera], capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("threads making their first arrays at once did not finish within 60 s")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["(48, 64, 3) [(48, 64, 3), (48, 64)]"] * 16


# An interpreter in which `import numpy` fails: the package and its tools import, captures work, and
# asking for an array raises ImportError naming numpy, again at the next ask.
WITHOUT_NUMPY = r"""
import importlib.abc
import sys


class HideNumpy(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ModuleNotFoundError("No module named %r" % name, name=name)
        return None


sys.meta_path.insert(0, HideNumpy())
import strandel
import strandel.tools

http_url, ws_url, camera = sys.argv[1:4]
client = strandel.IsaacSimClient("pytest", http_url, ws_url, timeout=30.0, max_retries=0)
frame = client.cameras.capture(camera)
print("rgb" in frame.structure, frame.output("nothing"))
for ask in (lambda: frame.output("rgb"), lambda: frame.outputs):
    try:
        ask()
    except ImportError as error:
        print("%s: %s (from %s)" % (type(error).__name__, error, type(error.__cause__).__name__))
print(sorted(name for name in sys.modules if name.split(".")[0] == "numpy"))
"""


def test_import_and_capture_without_numpy(bridge, camera):
    done = subprocess.run([sys.executable, "-c", WITHOUT_NUMPY, bridge.http_url, bridge.ws_url, camera],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    refusal = ("ImportError: camera frame arrays need numpy, which cannot be imported: No module named 'numpy' "
               "(from ModuleNotFoundError)")
    assert done.stdout.splitlines() == ["True None", refusal, refusal, "[]"]


def test_capture_errors(client):
    with pytest.raises(strandel.HTTPError) as missing:
        client.cameras.capture("no-such-camera")
    assert missing.value.status_code == 404
    assert json.loads(missing.value.body)["error"] == "camera 'no-such-camera' not found"


class FrameServer(http.server.BaseHTTPRequestHandler):
    """Answers every POST with the body queued in the server's `frame` attribute."""

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        body = self.server.frame
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def scripted():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), FrameServer)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    url = "127.0.0.1:%d/" % server.server_address[1]
    yield server, strandel.IsaacSimClient("pytest", "http://" + url, "ws://" + url, timeout=5.0, max_retries=0)
    server.shutdown()
    server.server_close()
    thread.join(10)


def frame_bytes(structure, arrays):
    """A binary camera frame: arrays is a list of (dtype, shape, nbytes, data bytes)."""
    descriptors, region = [], b""
    for dtype, shape, nbytes, data in arrays:
        descriptors.append({"dtype": dtype, "nbytes": nbytes, "offset": len(region), "shape": shape})
        region += data
    manifest = json.dumps({"arrays": descriptors, "structure": structure}).encode()
    return b"QXB1" + struct.pack("<I", len(manifest)) + manifest + region


def test_arrays_numpy_cannot_view_as_described_come_as_bytes(scripted):
    server, client = scripted
    server.frame = frame_bytes(
        {"a": {"__ndarray__": 0}, "b": {"__ndarray__": 1}, "c": {"__ndarray__": 2},
         "d": {"__ndarray__": 3}, "e": {"__ndarray__": 4}, "bad": {"__ndarray__": "0"}},
        [("complex64", [2], 16, bytes(range(16))),          # dtype numpy is not told about
         ("uint16", [3], 4, b"\x01\x00\x02\x00"),            # nbytes below the shape's needs
         ("uint8", [2 ** 63, 4], 8, b"\x07" * 8),            # shape whose size overflows
         ("float64", [], 8, struct.pack("<d", 2.5)),         # a scalar
         ("int16", [2, 0, 2 ** 60], 0, b"")])                # empty
    frame = client.cameras.capture("fake")
    a, b, c, d, e = frame.outputs
    assert a.dtype == np.uint8 and a.shape == (16,) and a.tolist() == list(range(16))
    assert b.dtype == np.uint8 and b.tolist() == [1, 0, 2, 0]
    assert c.dtype == np.uint8 and c.shape == (8,)
    assert d.dtype == np.float64 and d.shape == () and d[()] == 2.5
    assert e.dtype == np.int16 and e.shape == (2, 0, 2 ** 60) and e.size == 0
    with pytest.raises(ValueError, match="type must be number"):
        frame.output("bad")


def test_capture_into_a_frame_never_changes_an_array_in_use(scripted):
    server, client = scripted
    frame = strandel.CameraFrame()
    assert frame.structure is None and frame.outputs == []
    server.frame = frame_bytes({"a": {"__ndarray__": 0}}, [("uint8", [2, 2], 4, b"\x01\x02\x03\x04")])
    assert client.cameras.capture("fake", into=frame) is frame
    (a,) = frame.outputs
    address = a.__array_interface__["data"][0]
    corner = a[1:, 1:]  # an array made from one of the frame's arrays views the same bytes
    del a

    server.frame = frame_bytes({"a": {"__ndarray__": 0}}, [("uint8", [2, 2], 4, b"\x09" * 4)])
    with pytest.raises(BufferError, match="^cannot capture into a CameraFrame while arrays of it are in use"):
        client.cameras.capture("fake", into=frame)
    assert corner.tolist() == [[4]] and frame.output("a").tolist() == [[1, 2], [3, 4]]
    del corner
    client.cameras.capture("fake", into=frame)
    a = frame.output("a")
    assert a.tolist() == [[9, 9], [9, 9]] and a.__array_interface__["data"][0] == address  # reused
    del a

    server.frame = b"not a frame"
    with pytest.raises(strandel.FrameFormatError):
        client.cameras.capture("fake", into=frame)
    assert frame.structure is None and frame.outputs == []  # left empty
    with pytest.raises(TypeError, match="^into must be a CameraFrame or None, not bytes$"):
        client.cameras.capture("fake", into=b"")


def test_malformed_frames_raise_with_the_library_text(scripted):
    server, client = scripted
    server.frame = b"<html>not a frame</html>"
    with pytest.raises(strandel.FrameFormatError,
                       match='^camera response is not a binary frame: expected it to start with "QXB1"$'):
        client.cameras.capture("fake")
    server.frame = frame_bytes({"a": {"__ndarray__": 0}}, [("uint8", [4], 8, b"\x00" * 4)])
    with pytest.raises(strandel.FrameFormatError, match="^camera frame is truncated: an output claims bytes past"):
        client.cameras.capture("fake")
    server.frame = b"QXB1" + struct.pack("<I", 5) + b"{oops"
    with pytest.raises(ValueError, match="parse error"):
        client.cameras.capture("fake")


def test_capture_series_writes_numbered_frames_and_an_index(client, camera, tmp_path):
    series = tmp_path / "series"
    assert strandel.tools.capture_series(client, camera, series, count=3, rate=10.0) == 3
    index = (series / "frames.jsonl").read_text().splitlines()
    entries = [json.loads(line) for line in index]
    assert [list(entry) for entry in entries] == [["frame", "dir", "time", "offset", "sim_time", "files"]] * 3
    assert [(entry["frame"], entry["dir"]) for entry in entries] == [(1, "000001"), (2, "000002"), (3, "000003")]
    offsets = [entry["offset"] for entry in entries]
    # Ten frames a second at most: the third starts 0.2 s after the first; offsets count from the
    # first frame's end, which a busy machine may delay by a good part of that.
    assert offsets[0] == 0 and offsets[2] >= 0.1
    assert sorted(path.name for path in series.iterdir()) == ["000001", "000002", "000003", "frames.jsonl"]
    for entry in entries:
        here = entry["dir"] + "/"
        files = entry["files"]
        assert files[0] == here + "frame.json" and sorted(files[1:]) == [here + "depth.npy", here + "rgb.npy"]
        assert sorted(path.name for path in (series / here).iterdir()) == ["depth.npy", "frame.json", "rgb.npy"]
        structure = json.loads((series / files[0]).read_text())
        assert structure["rgb"] == {"__ndarray__": 0} and entry["sim_time"] == structure["sim_time"]
        rgb, depth = np.load(series / here / "rgb.npy"), np.load(series / here / "depth.npy")
        assert rgb.dtype == np.uint8 and rgb.shape == (48, 64, 3) and depth.shape == (48, 64)

    # The facade serves as well; a directory holding anything is refused before a capture.
    assert strandel.tools.capture_series(client.cameras, camera, tmp_path / "one", count=1) == 1
    with pytest.raises(FileExistsError):
        strandel.tools.capture_series(client, camera, series, count=1)


def test_capture_series_names_each_array_after_its_member(scripted, tmp_path):
    server, client = scripted
    server.frame = frame_bytes(
        {"rgb": {"__ndarray__": 1}, "views": [{"q_": {"__ndarray__": 0}}], "views_0_q~": {"__ndarray__": 2},
         "sim_time": "late"},
        [("uint8", [2], 2, b"\x01\x02"), ("uint16", [1], 2, b"\x03\x00"), ("float32", [1], 4, struct.pack("<f", 1.5)),
         ("int8", [1], 1, b"\x09")])
    assert strandel.tools.capture_series(client, "fake", tmp_path, count=1) == 1
    entry = json.loads((tmp_path / "frames.jsonl").read_text())
    assert entry["sim_time"] is None  # not a number
    assert entry["files"] == ["000001/frame.json", "000001/rgb.npy", "000001/views_0_q_.npy",
                              "000001/views_0_q___2.npy", "000001/output_3.npy"]
    loaded = [np.load(tmp_path / name).tolist() for name in entry["files"][1:]]
    assert loaded == [[3], [1, 2], [1.5], [9]]
