"""The Python examples, and the program of README.md's Python section, run to completion against the
stand-in; the examples write PNGs of the requested size."""

import struct
import subprocess
import sys

from conftest import REPOSITORY

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


def test_readme_program(bridge, tmp_path):
    readme = (REPOSITORY / "README.md").read_text()
    section = readme[readme.index("\n## Python\n"):]
    program = section[section.index("```python\n") + len("```python\n"):]
    program = program[:program.index("\n```")]
    for default, url in (("http://127.0.0.1:8211", bridge.http_url), ("ws://127.0.0.1:8211", bridge.ws_url)):
        assert default in program
        program = program.replace(default, url)
    script = tmp_path / "readme.py"
    script.write_text(program)
    printed = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert printed.returncode == 0, printed.stderr
    assert printed.stdout.startswith("[")
