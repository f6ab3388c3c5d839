"""The Python examples, and the programs of README.md one after the other, run to completion against
the stand-in; the examples write PNGs of the requested size."""

import re
import struct
import subprocess
import sys

from conftest import REPOSITORY, Bridge

EXAMPLES = REPOSITORY / "examples" / "python"


def png_size(path):
    with open(path, "rb") as picture:
        head = picture.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def run(script, *args):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_quickstart(bridge, tmp_path):
    output = tmp_path / "quickstart.png"
    printed = run("quickstart.py", "--http-url", bridge.http_url, "--output", str(output), "--width", "80",
                  "--height", "60", "--stream-seconds", "0.3")
    assert "messages received" in printed and "done:" in printed
    assert png_size(output) == (80, 60)


def test_camera_loop(bridge, tmp_path):
    run("camera_loop.py", "--http-url", bridge.http_url, "--width", "40", "--height", "30", "--frames", "2",
        "--interval", "0", "--output-dir", str(tmp_path))
    for name in ("rgb_0000.png", "depth_0000.png", "rgb_0001.png", "depth_0001.png"):
        assert png_size(tmp_path / name) == (40, 30)


def test_readme_programs_run_in_order_on_one_fresh_bridge(tmp_path):
    """Every Python program of README.md, in the README's order, each in a process of its own in one
    directory, against one stand-in started for them: none trips over what another left behind, and
    the bridge holds nothing afterwards."""
    readme = (REPOSITORY / "README.md").read_text()
    programs = re.findall(r"^```python\n(.*?)^```$", readme, re.DOTALL | re.MULTILINE)
    assert len(programs) >= 2
    fresh = Bridge()
    try:
        printed = []
        for number, program in enumerate(programs, 1):
            assert "http://127.0.0.1:8211" in program
            for default, url in (("http://127.0.0.1:8211", fresh.http_url), ("ws://127.0.0.1:8211", fresh.ws_url)):
                program = program.replace(default, url)
            script = tmp_path / ("readme_%d.py" % number)
            script.write_text(program)
            done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                                  timeout=60)
            assert done.returncode == 0, "README program %d:\n%s%s" % (number, program, done.stderr)
            printed.append(done.stdout)
        world = fresh.client(max_retries=0).get("/").json()
    finally:
        assert fresh.stop() == 0
    assert printed[0].startswith("[") and re.fullmatch(r"[1-9][0-9]* messages\n", printed[1])
    assert len((tmp_path / "series" / "frames.jsonl").read_text().splitlines()) == 4
    assert (world["articulations"], world["cameras"]) == ([], [])
