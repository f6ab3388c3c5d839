"""Client for the NVIDIA Isaac Sim bridge: articulations, surface grippers, cameras, streams.

Every call that talks to the bridge releases the GIL while it waits. Errors, all subclasses of
Error and of RuntimeError: HTTPError for a bridge answer outside 200..299, TransportError (and its
TimeoutError, also the builtin TimeoutError) for a failed exchange, HandshakeError for a stream
that could not be opened, ResponseTooLargeError and MessageTooLargeError past the size caps,
FrameFormatError for a malformed camera frame, StreamClosedError and PeerClosedError for stream
misuse. Builtin exceptions otherwise: ValueError for bad arguments and malformed JSON answers,
BufferError for a capture into a frame whose arrays are in use, ImportError for a frame's arrays
without numpy (nothing else needs it).
"""

import builtins

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, Optional, Union

import numpy.typing as npt

from . import tools as tools

__version__: str

JSON = Any
"""A plain Python JSON value: dict, list, str, int, float, bool or None."""

_Limit = Union["AxisLimit", Mapping[str, float], tuple[float, float], None]
_Limits = Union["AxisLimits", Mapping[str, _Limit], None]

class Error(Exception):
    """The base of every error kind of this module: `except strandel.Error` catches them all."""

class HTTPError(Error, RuntimeError):
    """A bridge answer outside 200..299. args[0] is "Bridge returned status N"; str(error) adds the
    method and URL when known and the start of the body (at most 200 characters)."""

    status_code: int
    body: bytes
    method: Optional[str]
    url: Optional[str]
    def __init__(self, message: str, status_code: int, body: bytes, method: Optional[str] = None,
                 url: Optional[str] = None) -> None: ...

class TransportError(Error, RuntimeError):
    """An HTTP exchange whose last attempt got no complete answer, or a stream's failed I/O."""

    curl_code: int
    url: str
    attempts: int
    def __init__(self, message: str, curl_code: int, url: str, attempts: int) -> None: ...

class TimeoutError(TransportError, builtins.TimeoutError):
    """A TransportError because the time-out passed; also a builtin TimeoutError."""

class HandshakeError(Error, RuntimeError):
    """A stream that could not be opened; status_code 0 when no HTTP answer arrived. str(error)
    adds " (status N)" when there is a status."""

    url: str
    status_code: int
    body: bytes
    def __init__(self, message: str, url: str, status_code: int, body: bytes) -> None: ...

class ResponseTooLargeError(Error, RuntimeError):
    """An HTTP answer's body passed max_response_bytes; never retried."""

    limit: int
    def __init__(self, message: str, limit: int) -> None: ...

class MessageTooLargeError(Error, RuntimeError):
    """A stream message passed max_message_bytes; the stream goes on after it."""

    limit: int
    def __init__(self, message: str, limit: int) -> None: ...

class FrameFormatError(Error, RuntimeError):
    """A 2xx capture answer that is not a well-formed binary camera frame."""

class StreamClosedError(Error, RuntimeError):
    """A call on a stream that is closed, can no longer send, or is reconnecting."""

class PeerClosedError(Error, RuntimeError):
    """A send after the bridge closed the stream."""

    close_code: Optional[int]
    def __init__(self, message: str, close_code: Optional[int]) -> None: ...

class Headers(Mapping[str, str]):
    """Response headers: iterates over the names as received; lookup ignores ASCII case."""

    def __init__(self, items: Any = ...) -> None: ...
    def __getitem__(self, name: str) -> str: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...

class Response:
    """The final attempt of one HTTP exchange."""

    @property
    def status(self) -> int: ...
    @property
    def body(self) -> bytes: ...
    @property
    def headers(self) -> Headers: ...
    def json(self) -> JSON:
        """The body parsed as one strict JSON text; ValueError when it is not."""

class AxisLimit:
    """A lower and an upper bound for one axis (not checked)."""

    def __init__(self, minimum: float = 0.0, maximum: float = 0.0) -> None: ...
    @property
    def minimum(self) -> float: ...
    @property
    def maximum(self) -> float: ...

class AxisLimits:
    """Optional limits per axis; an axis left as None is sent as null."""

    x: Optional[AxisLimit]
    y: Optional[AxisLimit]
    z: Optional[AxisLimit]
    def __init__(self, x: _Limit = None, y: _Limit = None, z: _Limit = None) -> None: ...

class CameraFrame:
    """A decoded frame. Its arrays are numpy views of the frame's buffers (no copy) that keep the
    frame alive (ImportError without numpy); an array numpy cannot view as described comes as
    one-dimensional uint8.
    CameraFrame() is an empty frame to capture into (Cameras.capture(..., into=frame)), which
    raises BufferError while arrays of the frame are alive."""

    def __init__(self) -> None: ...
    @property
    def structure(self) -> dict[str, JSON]: ...
    @property
    def outputs(self) -> list[npt.NDArray[Any]]: ...
    def output(self, name: str) -> Optional[npt.NDArray[Any]]:
        """The array the top-level member `name` of structure refers to, or None."""

class ReconnectReport:
    """What a reopen of a stream did, as handed to on_reconnect."""

    @property
    def reconnects(self) -> int: ...
    @property
    def reason(self) -> str: ...
    @property
    def downtime(self) -> float:
        """Seconds from the receive call that noticed the end to the reopened connection."""

class Stream:
    """One WebSocket stream; use it from one thread at a time. Messages come whole, whatever
    fragments the peer sent them in. One opened with reconnect=True reopens its connection inside
    receive(timeout=...) and iteration (never in receive() without a timeout)."""

    def receive(self, timeout: Optional[float] = None) -> Optional[str]:
        """The next whole message's text or None; waits up to `timeout` seconds when given. Once
        the peer has closed the stream: None at once, and peer_closed is True."""
    def send(self, message: Union[str, bytes]) -> None: ...
    def close(self) -> None: ...
    @property
    def peer_closed(self) -> bool: ...
    @property
    def close_code(self) -> Optional[int]: ...
    @property
    def close_reason(self) -> str: ...
    @property
    def reconnects(self) -> int:
        """How often the stream has reopened its connection (0 without reconnect)."""
    @property
    def ended(self) -> bool:
        """Whether the bridge has closed the stream for good (iteration stops, receive returns
        None at once): peer_closed, except for a stream that reopens after a close."""
    on_reconnect: Optional[Callable[[ReconnectReport], object]]
    """The callable each reopen is reported to, or None; replaceable at any time."""
    def __enter__(self) -> "Stream": ...
    def __exit__(self, *args: object) -> bool: ...
    def __iter__(self) -> "Stream": ...
    def __next__(self) -> JSON:
        """The next message decoded as JSON; StopIteration once the peer has closed the stream."""

def websocket_url_for(http_url: str) -> str:
    """The WebSocket base URL for the HTTP base URL: http to ws, https to wss, the rest unchanged;
    a URL of another scheme, or none, as it is."""

def wait_for_any(streams: Sequence[Optional[Stream]], timeout: float) -> list[int]:
    """Positions of the streams that have something for their next receive within `timeout`
    seconds; [] when the time passed first."""

class Articulations:
    def create(self, prim_path: str, urdf_path: Optional[str] = None) -> JSON: ...
    def assemble_robot(self, articulation_id: str, gripper_id: str, arm_mount_link: str,
                       gripper_mount_link: Optional[str] = None, offset: JSON = None,
                       mask_collisions: bool = True) -> JSON: ...
    def remove(self, articulation_id: str) -> None: ...
    def get_dof_limits(self, articulation_id: str) -> JSON: ...
    def get_driver_joint(self, articulation_id: str) -> JSON: ...
    def get_joints_state(self, articulation_id: str) -> JSON: ...
    def set_joint_positions(self, articulation_id: str, joint_positions: Sequence[float],
                            indices: Optional[Sequence[int]] = None) -> JSON: ...
    def move_joint_positions(self, articulation_id: str, joint_positions: Sequence[float],
                             indices: Optional[Sequence[int]] = None,
                             asynchronous: bool = False) -> JSON: ...
    def set_driven_joints(self, articulation_id: str, joint_names: Sequence[str]) -> JSON: ...
    def stream_joint_positions(
        self, articulation_id: str, *, reconnect: bool = False, idle_timeout: float = 0.0,
        on_reconnect: Optional[Callable[[ReconnectReport], object]] = None,
        reconnect_after_close: bool = False, initial_backoff: float = 0.1,
        max_backoff: float = 2.0) -> Stream: ...
    def stream_articulation_state(
        self, articulation_id: str, *, reconnect: bool = False, idle_timeout: float = 0.0,
        on_reconnect: Optional[Callable[[ReconnectReport], object]] = None,
        reconnect_after_close: bool = False, initial_backoff: float = 0.1,
        max_backoff: float = 2.0) -> Stream: ...

class SurfaceGrippers:
    def create(self, prim_path: str) -> JSON: ...
    def get(self, surface_gripper_id: str) -> JSON: ...
    def get_status(self, surface_gripper_id: str) -> JSON: ...
    def get_properties(self, surface_gripper_id: str) -> JSON: ...
    def get_attachment_points(self, surface_gripper_id: str) -> JSON: ...
    def open(self, surface_gripper_id: str, asynchronous: bool = False) -> JSON: ...
    def close(self, surface_gripper_id: str, asynchronous: bool = False) -> JSON: ...
    def remove(self, surface_gripper_id: str) -> None: ...
    def set_properties(self, surface_gripper_id: str, coaxial_force_limit: Optional[float] = None,
                       shear_force_limit: Optional[float] = None,
                       max_grip_distance: Optional[float] = None,
                       retry_interval: Optional[float] = None, rotation_limits: _Limits = None,
                       translation_limits: _Limits = None,
                       forward_axis: Optional[str] = None) -> JSON: ...
    def set_attachment_point_properties(
        self, surface_gripper_id: str, joint_paths: Optional[Sequence[str]] = None,
        local_pose_0: JSON = None, local_pose_1: JSON = None,
        z_axis_translation_drive_stiffness: Optional[float] = None,
        z_axis_translation_drive_damping: Optional[float] = None, rotation_limits: _Limits = None,
        translation_limits: _Limits = None, clearance_offset: Optional[float] = None,
        forward_axis: Optional[str] = None) -> JSON: ...

class Cameras:
    def create(self, prim_path: str, resolution: Optional[Sequence[int]] = None,
               frequency: Optional[float] = None) -> JSON: ...
    def capture(self, camera_id: str, data_types: Optional[Sequence[str]] = None,
                world_frame: Optional[bool] = None, *,
                into: Optional[CameraFrame] = None) -> CameraFrame:
        """The decoded frame; with `into`, decoded into that frame (its buffers reused) and
        returned. BufferError while arrays of `into` are alive; `into` is left empty on failure."""
    def remove(self, camera_id: str) -> None: ...

class AttemptReport:
    """What one HTTP attempt of a call did, as handed to on_attempt."""

    @property
    def method(self) -> str: ...
    @property
    def url(self) -> str: ...
    @property
    def attempt(self) -> int: ...
    @property
    def status(self) -> int:
        """The answer's HTTP status; 0 when the attempt got no complete answer."""
    @property
    def failure(self) -> str:
        """"none", "transport", "timeout" or "response_too_large"."""
    @property
    def error(self) -> str: ...
    @property
    def duration(self) -> float:
        """Seconds the attempt took."""
    @property
    def next_delay(self) -> Optional[float]:
        """Seconds of back-off before the next attempt; None when this attempt is the last."""

class IsaacSimClient:
    """One bridge. `timeout` is the time-out of one transfer attempt in seconds, `max_retries`
    the number of retries after the first attempt. Safe to use from several threads at once. On
    the main thread Ctrl-C (KeyboardInterrupt) ends a call within a fraction of a second, during a
    transfer or the back-off between attempts.
    `reuse_connections` keeps connections to the bridge open between calls; `max_response_bytes`
    and `max_message_bytes` cap an HTTP body and a stream message (0: no limit; a longer one
    raises ResponseTooLargeError / MessageTooLargeError). `retry_statuses` are the statuses
    retried (None: 408, 409, 429, 500 and 502 up); `initial_backoff` and `max_backoff` (seconds)
    the first back-off and its cap, before a jitter factor of 0.75 to 1 (from a generator of the
    client's own with `seeded_jitter`). `on_attempt` is called after every HTTP attempt, with the
    GIL, possibly on several threads at once; what it raises ends the call unchanged."""

    def __init__(self, label: str, base_url: str, websocket_base_url: str, timeout: float = 10.0,
                 max_retries: int = 3, *, reuse_connections: bool = False,
                 max_response_bytes: int = 0, max_message_bytes: int = 0,
                 retry_statuses: Optional[Iterable[int]] = None, initial_backoff: float = 0.5,
                 max_backoff: float = 8.0, seeded_jitter: bool = False,
                 on_attempt: Optional[Callable[[AttemptReport], object]] = None) -> None: ...
    def with_options(self, *, timeout: float = ..., max_retries: int = ...,
                     reuse_connections: bool = ..., max_response_bytes: int = ...,
                     max_message_bytes: int = ..., retry_statuses: Optional[Iterable[int]] = ...,
                     initial_backoff: float = ..., max_backoff: float = ...,
                     seeded_jitter: bool = ...,
                     on_attempt: Optional[Callable[[AttemptReport], object]] = ...
                     ) -> "IsaacSimClient":
        """A client for the same bridge sharing this one's connection pool; options not given
        keep this client's values. reuse_connections cannot change: ValueError."""
    @property
    def base_url(self) -> str: ...
    @property
    def websocket_base_url(self) -> str: ...
    @property
    def articulations(self) -> Articulations: ...
    @property
    def surface_grippers(self) -> SurfaceGrippers: ...
    @property
    def cameras(self) -> Cameras: ...
    def get(self, path: str) -> Response: ...
    def post(self, path: str, body: Union[str, bytes] = "") -> Response: ...
    def put(self, path: str, body: Union[str, bytes] = "") -> Response: ...
    def patch(self, path: str, body: Union[str, bytes] = "") -> Response: ...
    def delete(self, path: str) -> Response: ...
    def open_joint_position_stream(
        self, articulation_id: str, *, reconnect: bool = False, idle_timeout: float = 0.0,
        on_reconnect: Optional[Callable[[ReconnectReport], object]] = None,
        reconnect_after_close: bool = False, initial_backoff: float = 0.1,
        max_backoff: float = 2.0) -> Stream: ...
    def open_articulation_state_stream(
        self, articulation_id: str, *, reconnect: bool = False, idle_timeout: float = 0.0,
        on_reconnect: Optional[Callable[[ReconnectReport], object]] = None,
        reconnect_after_close: bool = False, initial_backoff: float = 0.1,
        max_backoff: float = 2.0) -> Stream: ...
