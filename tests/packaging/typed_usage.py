"""A program written against the package strandel's types; it is type-checked, never run.

check_pip.cmake runs mypy --strict on it against an installed wheel: mypy must report exactly the
one error on the line marked "the one type error" and nothing else, which shows that it finds the
package's stub (without it every name is Any and that line passes) and that the stub accepts
correct use.
"""

from typing import Any, Optional

import numpy.typing as npt

import strandel


def joint_positions(client: strandel.IsaacSimClient, articulation_id: str) -> list[float]:
    state = client.articulations.get_joints_state(articulation_id)
    return [float(position) for position in state["joint_positions"]]


def rgb_of(client: strandel.IsaacSimClient, camera_id: str,
           into: strandel.CameraFrame) -> Optional[npt.NDArray[Any]]:
    frame = client.cameras.capture(camera_id, ["rgb"], into=into)
    return frame.output("rgb")


def report(reopen: strandel.ReconnectReport) -> None:
    print("reconnected", reopen.reconnects, "after", reopen.downtime, "s:", reopen.reason)


def main() -> int:
    http_url = "http://127.0.0.1:8211"
    client = strandel.IsaacSimClient("cell-1", http_url, strandel.websocket_url_for(http_url),
                                     timeout=5.0, max_retries=2, reuse_connections=True)
    arm: str = client.articulations.create("/World/arm")["articulation_id"]
    client.articulations.move_joint_positions(arm, [0.2, 0.4], indices=[0, 1])
    print(joint_positions(client.with_options(max_retries=0), arm))
    frame = strandel.CameraFrame()
    camera: str = client.cameras.create("/World/camera", resolution=[64, 48])["camera_id"]
    print(rgb_of(client, camera, frame))
    with client.articulations.stream_joint_positions(arm, reconnect=True, on_reconnect=report) as stream:
        text: Optional[str] = stream.receive(timeout=1.0)
        print(text, stream.reconnects, strandel.wait_for_any([stream, None], 0.5))
        written: int = strandel.tools.record(stream, "joints.jsonl", count=10, seconds=2.0)
        stream.on_reconnect = None
    stats = strandel.tools.RateStats()
    for entry in strandel.tools.read_recording("joints.jsonl"):
        stats.add(float(entry["offset"]))
    rate: Optional[float] = stats.rate
    frames = strandel.tools.capture_series(client.cameras, camera, "series", count=2, rate=5.0)
    print(written, rate, stats.stddev_interval, frames, stream.ended)
    try:
        client.articulations.remove(arm)
    except strandel.HTTPError as error:
        status: str = error.status_code  # the one type error: status_code is an int
        print(status, error.body.decode(), strandel.__version__)
        return 1
    except strandel.Error as error:
        late: Optional[TimeoutError] = error if isinstance(error, strandel.TimeoutError) else None
        print(error, late)
        return 2
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
