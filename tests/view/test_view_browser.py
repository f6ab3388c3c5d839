#!/usr/bin/env python3
"""`strandel view` in a real browser: headless Chromium, driven over the DevTools protocol on a
pipe, opens the page against the stand-in bridge and checks what a person would see: a picture
that is not blank, one plotted line per joint, named, values that move after a set_j, "bridge
unreachable" while the bridge is away and the view back by itself once it returns, and a clean
exit on Ctrl-C. On the way: another site's page (served from 127.0.0.2) gets neither pictures nor
joints from the view, a request naming another host is refused, an idle connection is closed
within seconds, and a tab opened once the joint history is full gets the history.

Exits 0 when every check passed, 1 on the first that failed, 77 (skipped) when no Chromium is
installed. Everything runs on 127.0.0.1 with ports the system chose; every wait is bounded.

  test_view_browser.py --strandel PATH --bridge PATH [--chromium PATH] [--screenshot OUT.png]
"""

import argparse
import base64
import fcntl
import http.client
import http.server
import json
import os
import select
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

JOINTS = ["shoulder_pan", "shoulder_lift", "elbow", "wrist_1", "wrist_2", "wrist_3"]
ARMS = ["arm"] + [f"arm{n}" for n in range(2, 9)]
STREAM = "articulations/arm/stream_joint_positions"
STREAMS = [f"articulations/{arm}/stream_joint_positions" for arm in ARMS]


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def wait_until(what, probe, timeout, interval=0.2):
    """Calls probe() until it returns a true value (returned), at most for `timeout` seconds."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = probe()
        if last:
            return last
        time.sleep(interval)
    raise CheckFailed(f"timed out after {timeout} s waiting for {what}; last seen: {last!r}")


# ---- Processes --------------------------------------------------------------------------------


class Process:
    """A child whose stdout is read line by line; killed when closed."""

    def __init__(self, argv):
        self.argv = argv
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, text=True, bufsize=1)

    def first_line(self, timeout=20):
        selector = selectors.DefaultSelector()
        selector.register(self.proc.stdout, selectors.EVENT_READ)
        if not selector.select(timeout):
            raise CheckFailed(f"{self.argv[0]} printed nothing within {timeout} s")
        line = self.proc.stdout.readline()
        check(line, f"{self.argv[0]} ended before printing its first line")
        return line.strip()

    def interrupt(self, timeout=15):
        """SIGINT, then the exit status (None when it had to be killed)."""
        self.proc.send_signal(signal.SIGINT)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.close()
            return None

    def output(self):
        try:
            return self.proc.stdout.read() if self.proc.poll() is not None else ""
        except (OSError, ValueError):
            return ""

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


def start_bridge(bridge, port=0):
    process = Process([bridge, "--host", "127.0.0.1", "--port", str(port)])
    line = process.first_line()
    check(line.startswith("listening on http://127.0.0.1:"), f"the stand-in printed: {line}")
    return process, line.split()[-1]


def strandel(args, bridge_url, cli):
    result = subprocess.run([cli, "--url", bridge_url] + args, capture_output=True, text=True,
                            timeout=30, stdin=subprocess.DEVNULL)
    check(result.returncode == 0, f"strandel {' '.join(args)} exited {result.returncode}: "
                                  f"{result.stdout}{result.stderr}")
    return result.stdout


def populate(bridge_url, cli):
    for arm in ARMS:
        strandel(["put", "articulations", '{"prim_path":"/World/%s","urdf_path":null}' % arm],
                 bridge_url, cli)
    strandel(["put", "cameras", '{"prim_path":"/World/camera","resolution":[640,480],"frequency":15}'],
             bridge_url, cli)


# ---- Chromium over the DevTools protocol (NUL-separated JSON on fds 3 and 4) ------------------


class Browser:
    def __init__(self, chromium, profile):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def give_pipes():
            # Out of the way first: either end may itself be fd 3 or 4.
            reading = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
            writing = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        argv = [chromium, "--headless=new", "--remote-debugging-pipe", f"--user-data-dir={profile}",
                "--no-first-run", "--no-default-browser-check", "--disable-gpu",
                "--hide-scrollbars", "--mute-audio", "--window-size=1280,1000", "about:blank"]
        if os.geteuid() == 0:
            argv.insert(1, "--no-sandbox")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, close_fds=False,
                                     preexec_fn=give_pipes)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.next_id = 0
        self.pending = b""
        self.session = None

    def call(self, method, params=None, timeout=20, session=True):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self.pending:
                raw, self.pending = self.pending.split(b"\0", 1)
                answer = json.loads(raw)
                if answer.get("id") == self.next_id:
                    check("error" not in answer, f"{method} failed: {answer.get('error')}")
                    return answer["result"]
            left = deadline - time.monotonic()
            check(left > 0, f"Chromium did not answer {method} within {timeout} s")
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if ready:
                chunk = os.read(self.from_browser, 1 << 20)
                check(chunk, "Chromium closed its DevTools pipe")
                self.pending += chunk

    def open(self, url, new_tab=False):
        """Shows `url` in the first tab (or a new one); later calls go to that tab. Its target."""
        pages = [t for t in self.call("Target.getTargets", session=False)["targetInfos"]
                 if t["type"] == "page"]
        target = pages[0]["targetId"] if pages and not new_tab else \
            self.call("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        self.call("Page.navigate", {"url": url})
        return target, self.session

    def close_tab(self, target):
        self.call("Target.closeTarget", {"targetId": target}, session=False)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        return result["result"].get("value")

    def summary(self):
        text = self.evaluate("window.strandelView ? JSON.stringify(strandelView.summary()) : ''")
        return json.loads(text) if text else None

    def screenshot(self, clip=None):
        params = {"format": "png"}
        if clip:
            params["clip"] = dict(clip, scale=1)
        else:
            params["captureBeyondViewport"] = True
        return base64.b64decode(self.call("Page.captureScreenshot", params)["data"])

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=5)
        except (CheckFailed, OSError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
        os.close(self.to_browser)
        os.close(self.from_browser)


# ---- PNG decoding (8-bit RGB or RGBA, as Chromium writes screenshots) -------------------------


def decode_png(data):
    """(width, height, channels, rows of bytes)."""
    check(data[:8] == b"\x89PNG\r\n\x1a\n", "the screenshot is not a PNG")
    offset, idat, header = 8, b"", None
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        body = data[offset + 8:offset + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        offset += 12 + length
    width, height, depth, colour, _, _, interlace = header
    check(depth == 8 and colour in (2, 6) and interlace == 0, f"unexpected PNG layout {header}")
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, row = line[0], bytearray(line[1:])
        for x in range(stride):
            left = row[x - channels] if x >= channels else 0
            up = previous[x]
            corner = previous[x - channels] if x >= channels else 0
            if kind == 1:
                row[x] = (row[x] + left) & 0xFF
            elif kind == 2:
                row[x] = (row[x] + up) & 0xFF
            elif kind == 3:
                row[x] = (row[x] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                row[x] = (row[x] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF
        rows.append(row)
        previous = row
    return width, height, channels, rows


def picture_variety(png):
    """Distinct colours (to 4 bits a channel) and the spread of brightness of a screenshot."""
    width, height, channels, rows = decode_png(png)
    colours, total, squares, count = set(), 0.0, 0.0, 0
    for row in rows[::2]:
        for x in range(0, width * channels, channels * 2):
            r, g, b = row[x], row[x + 1], row[x + 2]
            colours.add((r >> 4, g >> 4, b >> 4))
            brightness = 0.299 * r + 0.587 * g + 0.114 * b
            total += brightness
            squares += brightness * brightness
            count += 1
    mean = total / count
    return len(colours), max(0.0, squares / count - mean * mean) ** 0.5


# ---- The test ---------------------------------------------------------------------------------


def element_clip(browser, element_id):
    rect = browser.evaluate(
        f"(() => {{ const r = document.getElementById('{element_id}').getBoundingClientRect();"
        " return {x: r.x + scrollX, y: r.y + scrollY, width: r.width, height: r.height}; })()")
    check(rect and rect["width"] > 50 and rect["height"] > 50, f"#{element_id} is not shown: {rect}")
    return rect


def plot_of(summary, stream=STREAM):
    return (summary or {}).get("plots", {}).get(stream)


# ---- Another site, and clients that are not the page -----------------------------------------


FOREIGN_PAGE = """<!doctype html><title>elsewhere</title><script>
window.probe = {ws: 'pending', messages: 0, fetch: 'pending', img: 'pending'};
const view = '127.0.0.1:%d';
const ws = new WebSocket('ws://' + view + '/live');
ws.onopen = () => { probe.ws = 'open'; };
ws.onmessage = () => { probe.messages += 1; };
ws.onclose = () => { probe.ws = probe.ws === 'open' ? 'closed' : 'refused'; };
fetch('http://' + view + '/frame/rgb.jpg').then((r) => r.blob())
  .then((b) => { probe.fetch = 'read ' + b.size; }, () => { probe.fetch = 'failed'; });
const img = new Image();
img.onload = () => { probe.img = 'shown ' + img.naturalWidth; };
img.onerror = () => { probe.img = 'failed'; };
img.src = 'http://' + view + '/frame/rgb.jpg';
</script>"""


def serve_foreign_page(view_port):
    """An HTTP server on 127.0.0.2 (port 0) whose page tries to read the view; (server, URL)."""
    page = (FOREIGN_PAGE % view_port).encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(page)))
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.2", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.2:{server.server_address[1]}/"


def status_for(port, target, headers):
    """The status the view answers a GET with these headers (Host among them)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.putrequest("GET", target, skip_host=True, skip_accept_encoding=True)
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.endheaders()
        return connection.getresponse().status
    finally:
        connection.close()


def watch_idle_connection(port):
    """Opens a connection that sends nothing; the returned dict gets "closed_after" (seconds)
    once the view closes it, or "data" if it sends anything, within 15 s."""
    seen = {}
    idle = socket.create_connection(("127.0.0.1", port), timeout=15)
    started = time.monotonic()

    def wait():
        try:
            data = idle.recv(1)
            seen["data" if data else "closed_after"] = data or time.monotonic() - started
        except OSError as error:
            seen["error"] = str(error)
        finally:
            idle.close()

    threading.Thread(target=wait, daemon=True).start()
    return seen


def run(args, chromium, scratch):
    bridge, bridge_url = start_bridge(args.bridge)
    view = browser = foreign = None
    try:
        populate(bridge_url, args.strandel)
        view = Process([args.strandel, "--url", bridge_url, "--timeout", "2", "view", "--port", "0",
                        "--camera", "camera"] + [a for s in STREAMS for a in ("--stream", s)])
        first = view.first_line()
        view_started = time.monotonic()
        check(first.startswith("strandel view: http://127.0.0.1:") and f"(bridge {bridge_url})" in first,
              f"the view's first line: {first}")
        view_url = first.split()[2]
        view_port = int(view_url.rstrip("/").rsplit(":", 1)[1])
        idle = watch_idle_connection(view_port)

        # Another name for the view's address (DNS rebinding) is refused, for a picture and for
        # the live connection alike.
        upgrade = {"Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
                   "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="}
        for target, headers in [("/frame/rgb.jpg", {}), ("/live", upgrade)]:
            status = status_for(view_port, target, dict(headers, Host=f"attacker.example:{view_port}"))
            check(status == 403, f"GET {target} for attacker.example answered {status}")

        browser = Browser(chromium, os.path.join(scratch, "profile"))
        own_tab, own_session = browser.open(view_url)

        # The picture and a plot with data.
        summary = wait_until("pictures and a plot with data", lambda: (
            lambda s: s if s and s["frames"]["rgb"] >= 3 and s["frames"]["depth"] >= 3
            and plot_of(s) and plot_of(s)["samples"] > 10 else None)(browser.summary()), 30)
        check(summary["chartJs"], "the page has no Chart.js")
        check(summary["state"] == "live", f"the page's state: {summary['state']}")
        plot = plot_of(summary)
        check([d["label"] for d in plot["datasets"]] == JOINTS,
              f"one line per joint, named: {plot['datasets']}")
        check(all(d["points"] > 0 for d in plot["datasets"]), f"every line has points: {plot['datasets']}")
        check(all(abs(v) < 1e-9 for v in plot["last"]), f"the arm starts at zero: {plot['last']}")

        colours, spread = picture_variety(browser.screenshot(element_clip(browser, "rgb")))
        check(colours >= 20 and spread >= 8.0,
              f"the rgb picture looks blank: {colours} colours, brightness spread {spread:.1f}")
        colours, spread = picture_variety(browser.screenshot(element_clip(browser, "depth")))
        check(colours >= 8, f"the depth picture looks blank: {colours} colours")

        # Another site's page reads neither pictures nor joints; the view's own page goes on.
        foreign, foreign_url = serve_foreign_page(view_port)
        foreign_tab, _ = browser.open(foreign_url, new_tab=True)
        probe = wait_until("the other site's page done probing", lambda: (
            lambda p: p if p and "pending" not in (p["ws"], p["fetch"], p["img"]) else None)(
                browser.evaluate("window.probe")), 10)
        check(probe == {"ws": "refused", "messages": 0, "fetch": "failed", "img": "failed"},
              f"the other site's page got through: {probe}")
        browser.close_tab(foreign_tab)
        browser.session = own_session
        frames_before = browser.summary()["frames"]["rgb"]
        wait_until("the view's own page still showing new pictures",
                   lambda: browser.summary()["frames"]["rgb"] > frames_before + 2, 10)

        # A tab opened once the history holds more sample messages (10 a second for each of the
        # 8 streams) than a tab may have waiting (256) gets all of it, and then what comes.
        time.sleep(max(0.0, view_started + 4.5 - time.monotonic()))
        late_tab, _ = browser.open(view_url, new_tab=True)
        spans = "JSON.stringify(window.strandelView ? Object.entries(strandelView.series).map(" \
                "([k, s]) => [k, s.t.length ? s.t[s.t.length - 1] - s.t[0] : 0]) : [])"
        wait_until("a late tab with 3.5 s of history of every stream", lambda: (
            lambda spans: len(spans) == len(STREAMS) and all(ms > 3500 for _, ms in spans) and spans)(
                json.loads(browser.evaluate(spans))), 10)
        browser.close_tab(late_tab)
        browser.session = own_session

        wait_until("the idle connection's end", lambda: dict(idle), 10)
        check(0 < idle.get("closed_after", 0) < 8,
              f"an idle connection was not closed within a few seconds: {idle}")

        # A joint command moves the plotted values.
        strandel(["post", "articulations/arm/set_j", '{"indices":[2],"joint_positions":[1.0]}'],
                 bridge_url, args.strandel)
        wait_until("the elbow's line at 1.0", lambda: (
            lambda p: p and abs(p["datasets"][2]["last"] - 1.0) < 1e-6
            and abs(p["datasets"][0]["last"]) < 1e-9)(plot_of(browser.summary())), 10)

        if args.screenshot:
            strandel(["post", "articulations/arm/move_j",
                      '{"asynchronous":true,"indices":null,"joint_positions":[0.7,-0.6,1.4,-0.9,0.6,0.3]}'],
                     bridge_url, args.strandel)
            time.sleep(4)
            with open(args.screenshot, "wb") as out:
                out.write(browser.screenshot())

        # The bridge goes away: the page says so; it comes back: the view follows by itself.
        port = bridge_url.rstrip("/").rsplit(":", 1)[1]
        bridge.interrupt()
        wait_until("'bridge unreachable' on the page",
                   lambda: "bridge unreachable" in (browser.summary() or {}).get("state", ""), 15)
        frames_before = browser.summary()["frames"]["rgb"]
        bridge, _ = start_bridge(args.bridge, int(port))
        populate(bridge_url, args.strandel)
        wait_until("the view back to live with new frames and samples", lambda: (
            lambda s: s if s["state"] == "live" and s["frames"]["rgb"] > frames_before + 2
            and plot_of(s) and abs(plot_of(s)["last"][2]) < 1e-9 else None)(browser.summary()), 20)

        status = view.interrupt()
        check(status == 0, f"the view exited {status} on Ctrl-C: {view.output()}")
        view = None
    finally:
        if browser:
            browser.close()
        if foreign:
            foreign.shutdown()
            foreign.server_close()
        if view:
            view.close()
        bridge.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--strandel", required=True)
    parser.add_argument("--bridge", required=True)
    parser.add_argument("--chromium", default=os.environ.get("STRANDEL_CHROMIUM", ""))
    parser.add_argument("--screenshot", help="also save a screenshot of the whole page here")
    args = parser.parse_args()
    chromium = args.chromium or shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("SKIPPED: no Chromium found (install Debian's chromium, or pass --chromium PATH)")
        return 77
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="strandel-view-test-") as scratch:
        try:
            run(args, chromium, scratch)
        except CheckFailed as failure:
            print(f"FAILED: {failure}")
            print("0 passed, 1 failed")
            return 1
    print(f"view in the browser: every check passed in {time.monotonic() - started:.1f} s")
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
