"""Recording helpers: a stream into JSON Lines, camera frames into numbered directories, and the
rate of what arrives.

Files written here share their formats with the command line's recordings:

- a stream recording holds one JSON object per line, each written with one write call:
  {"time": ..., "offset": ..., "message": <the message>} for each message,
  {"time": ..., "offset": ..., "reconnect": {"reconnects": N, "downtime_ms": M, "reason": "..."}}
  for each reopen of a reconnecting stream and, last, however the recording ended,
  {"time": ..., "offset": ..., "end": {"messages": N, "cause": C, "close_code": ..., "close_reason":
  ..., "error": ...}}: the message lines written, and C one of "count", "seconds", "interrupted"
  (Ctrl-C), "closed" (the bridge closed the stream: close_code and close_reason) or "error" (error:
  the exception's type and text); keys that do not apply are null. "time" is the UTC wall clock
  when it was received (ISO 8601, six fractional digits, "Z"), "offset" the seconds on a monotonic
  clock since the first line of the recording, at microsecond resolution;
- a camera series is a directory of numbered frame directories 000001/, 000002/, ... and an index
  frames.jsonl with one line per frame, written once that frame's files are complete:
  {"frame": 1, "dir": "000001", "time": ..., "offset": ..., "sim_time": <number or null>,
  "files": ["000001/frame.json", "000001/rgb.npy", ...]}.

A line is written with one call, unbuffered; a line that a failed write (a full disk) or Ctrl-C
(KeyboardInterrupt, which these helpers let through) cut short is cut off the file again, so the
files hold complete lines only.
"""

from __future__ import annotations

import json
import math
import os
import re
import time
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator, Optional, Sequence, Union, cast

if TYPE_CHECKING:
    from . import Cameras, IsaacSimClient, ReconnectReport, Stream

__all__ = ["RateStats", "capture_series", "read_recording", "record"]

_Path = Union[str, "os.PathLike[str]"]

# Longest wait of one receive call, so that a `seconds` bound is kept without a message arriving.
_SLICE = 0.1


def _wall_clock(ns: int) -> str:
    seconds, rest = divmod(ns, 1_000_000_000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%06dZ" % (rest // 1000)


def _compact(value: Any) -> str:
    # Keys kept in their order, UTF-8 text as it is, NaN and infinities refused: strict JSON.
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)


class _Lines:
    """An open JSON Lines file whose lines carry "time" and "offset"; the offset clock starts at
    the first line."""

    def __init__(self, file: IO[bytes]) -> None:
        self._file = file
        self._start: Optional[int] = None
        self._length = 0  # bytes of the complete lines written

    def write(self, before: str, after: str, received_ns: int, wall_ns: int) -> None:
        """Writes {<before>,"time":...,"offset":...,<after>} as one line and flushes it; `before`
        (possibly empty) and `after` are members already as JSON text, `received_ns` the monotonic
        and `wall_ns` the wall clock time of the event."""
        if self._start is None:
            self._start = received_ns
        offset_us = (received_ns - self._start) // 1000
        members = '"time":"%s","offset":%d.%06d' % (_wall_clock(wall_ns), offset_us // 1_000_000,
                                                   offset_us % 1_000_000)
        line = "{%s%s,%s}\n" % (before + "," if before else "", members, after)
        self._write_whole(line.encode("utf-8"))

    def _write_whole(self, data: bytes) -> None:
        """Writes `data` with os.write, again only for what a short write left; when a write
        raises (OSError, KeyboardInterrupt), cuts the file back to its complete lines first."""
        fd = self._file.fileno()
        rest = memoryview(data)
        try:
            while rest:
                rest = rest[os.write(fd, rest):]
        except BaseException:
            if len(rest) < len(data):
                try:
                    os.ftruncate(fd, self._length)
                    os.lseek(fd, self._length, os.SEEK_SET)
                except OSError:
                    pass  # the error that matters is the one raised
            raise
        self._length += len(data)


def _now() -> tuple[int, int]:
    """The monotonic and the wall clock, in nanoseconds."""
    return time.monotonic_ns(), time.time_ns()


def _end_line(lines: _Lines, messages: int, cause: str, close_code: Optional[int] = None,
              close_reason: Optional[str] = None, error: Optional[BaseException] = None) -> None:
    end = {"messages": messages, "cause": cause, "close_code": close_code, "close_reason": close_reason,
           "error": None if error is None else "%s: %s" % (type(error).__name__, error)}
    lines.write("", '"end":' + _compact(end), *_now())


def record(stream: Stream, path: _Path, *, count: Optional[int] = None,
           seconds: Optional[float] = None) -> int:
    """Records `stream` into the JSON Lines file `path` (created or truncated) and returns how many
    messages it wrote. Stops after `count` messages, after `seconds` seconds, or once the bridge
    has closed the stream for good (Stream.ended), whichever comes first; with neither bound it
    runs until then or until Ctrl-C. Each reopen of a stream opened with reconnect=True becomes a
    reconnect line, reported through stream.on_reconnect (the handler set before is still called,
    after the line is written, and is back in place when record returns). The last line says how
    the recording ended (an "end" line, see the module's text), also when it ends by an exception.

    Raises ValueError for a negative bound or a message that is not JSON (the lines before it stay
    written), the stream's own errors as receive raises them, OSError when the file cannot be
    written (a full disk: the file keeps its complete lines), and KeyboardInterrupt on Ctrl-C; the
    file then ends with a complete line, the end line when there was room for it. Uses the stream
    from the calling thread only."""
    if count is not None and count < 0:
        raise ValueError("count must not be negative")
    if seconds is not None and not seconds >= 0:
        raise ValueError("seconds must be a non-negative number")
    deadline = None if seconds is None else time.monotonic() + seconds
    written = 0
    with open(path, "wb", buffering=0) as file:
        lines = _Lines(file)
        before: Optional[Callable[[ReconnectReport], object]] = stream.on_reconnect

        def reconnected(report: ReconnectReport) -> None:
            lines.write("", '"reconnect":' + _compact({"reconnects": report.reconnects,
                                                       "downtime_ms": round(report.downtime * 1000),
                                                       "reason": report.reason}), *_now())
            if before is not None:
                before(report)

        stream.on_reconnect = reconnected
        cause = "count"
        try:
            while count is None or written < count:
                wait = _SLICE
                if deadline is not None:
                    wait = min(wait, deadline - time.monotonic())
                    if wait <= 0:
                        cause = "seconds"
                        break
                text = stream.receive(timeout=wait)
                if text is None:
                    if stream.ended:
                        cause = "closed"
                        break
                    continue
                received, wall = _now()
                message = json.loads(text)
                lines.write("", '"message":' + _compact(message), received, wall)
                written += 1
        except BaseException as error:
            try:
                if isinstance(error, KeyboardInterrupt):
                    _end_line(lines, written, "interrupted")
                else:
                    _end_line(lines, written, "error", error=error)
            except Exception:
                pass  # no room for it: the file ends with the last complete line
            raise
        finally:
            stream.on_reconnect = before
        if cause == "closed":
            _end_line(lines, written, cause, stream.close_code, stream.close_reason)
        else:
            _end_line(lines, written, cause)
    return written


def read_recording(path: _Path) -> Iterator[dict[str, Any]]:
    """The lines of a stream recording (or of a series' frames.jsonl) as dicts, in file order: a
    recording's "message" and "reconnect" lines and, last, its "end" line (which a recording cut
    off by a crash, or written before recordings had one, lacks), so that
    [entry["message"] for entry in read_recording(path) if "message" in entry] are the messages
    and an entry with "end" says how the recording ended. ValueError for a line that is not a
    JSON object."""
    with open(path, "rb") as file:
        for number, line in enumerate(file, 1):
            entry = json.loads(line)
            if not isinstance(entry, dict):
                raise ValueError("line %d of %s is not a JSON object" % (number, os.fspath(path)))
            yield entry


def _placeholders(structure: Any, path: tuple[str, ...] = ()) -> Iterator[tuple[tuple[str, ...], int]]:
    """(path, index) of every {"__ndarray__": index} in a frame's structure, depth first."""
    if isinstance(structure, dict):
        index = structure.get("__ndarray__")
        if len(structure) == 1 and isinstance(index, int) and not isinstance(index, bool):
            yield path, index
            return
        for name, value in structure.items():
            yield from _placeholders(value, path + (str(name),))
    elif isinstance(structure, list):
        for position, value in enumerate(structure):
            yield from _placeholders(value, path + (str(position),))


def _array_files(structure: Any, count: int) -> list[tuple[str, int]]:
    """(file name, array index) for each array of a frame: the placeholder's path joined with "_"
    (characters other than letters, digits, ".", "-" and "_" as "_"), "output_<index>" for an
    array no placeholder names; a name taken already gets "__2", "__3", ..."""
    named: list[tuple[str, int]] = []
    seen: set[int] = set()
    for path, index in _placeholders(structure):
        if 0 <= index < count and index not in seen:
            seen.add(index)
            stem = re.sub(r"[^A-Za-z0-9._-]", "_", "_".join(path)).lstrip(".") or "output_%d" % index
            named.append((stem, index))
    named.extend(("output_%d" % index, index) for index in range(count) if index not in seen)
    files: list[tuple[str, int]] = []
    taken: set[str] = set()
    for stem, index in named:
        unique, suffix = stem, 1
        while unique.lower() in taken:
            suffix += 1
            unique = "%s__%d" % (stem, suffix)
        taken.add(unique.lower())
        files.append((unique + ".npy", index))
    return files


def _sim_time(structure: Any) -> Optional[float]:
    """The structure's member "sim_time" when it is a finite number, else None."""
    value = structure.get("sim_time") if isinstance(structure, dict) else None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        return None
    return value


def capture_series(cameras: Union[Cameras, IsaacSimClient], camera_id: str, out_dir: _Path, *,
                   count: int, rate: Optional[float] = None,
                   data_types: Optional[Sequence[str]] = None) -> int:
    """Captures `count` frames of the camera into `out_dir` (created when missing; it must be
    empty) and returns how many it wrote. Frame N goes to the directory "%06d" % N: frame.json (the
    frame's structure) and one .npy file per array (numpy.save), named after the structure member
    that refers to it (see _array_files); then its line is appended to frames.jsonl. `cameras` is
    a client's cameras facade or the client itself. With `rate`, frames start at most `rate` times
    a second (a late frame starts at once, without catching up); without, one after the other.

    Every capture reuses one CameraFrame and nothing of a frame is kept after its files are
    written, so memory stays that of one frame. Raises FileExistsError when out_dir holds
    anything, ValueError for a count below 0 or a rate that is not positive, the capture's own
    errors, and KeyboardInterrupt on Ctrl-C; the frames listed in frames.jsonl are then complete."""
    if count < 0:
        raise ValueError("count must not be negative")
    if rate is not None and not rate > 0:
        raise ValueError("rate must be a positive number of frames per second")
    facade = cast("Cameras", getattr(cameras, "cameras", cameras))
    from . import CameraFrame  # the package is complete by the time this runs
    import numpy  # only the arrays need it: importing strandel does not
    os.makedirs(out_dir, exist_ok=True)
    if os.listdir(out_dir):
        raise FileExistsError("%s is not empty" % os.fspath(out_dir))
    frame = CameraFrame()
    period = None if rate is None else 1.0 / rate
    next_start = time.monotonic()
    with open(os.path.join(out_dir, "frames.jsonl"), "wb", buffering=0) as index_file:
        lines = _Lines(index_file)
        for number in range(1, count + 1):
            if period is not None:
                pause = next_start - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                next_start = max(next_start + period, time.monotonic())
            facade.capture(camera_id, data_types, into=frame)
            received, wall = _now()
            name = "%06d" % number
            os.mkdir(os.path.join(out_dir, name))
            structure = frame.structure
            files = [name + "/frame.json"]
            with open(os.path.join(out_dir, name, "frame.json"), "wb") as file:
                file.write(_compact(structure).encode("utf-8") + b"\n")
            outputs = frame.outputs
            for file_name, position in _array_files(structure, len(outputs)):
                numpy.save(os.path.join(out_dir, name, file_name), outputs[position], allow_pickle=False)
                files.append(name + "/" + file_name)
            del outputs  # the frame's arrays: the next capture reuses their buffers
            lines.write('"frame":%d,"dir":"%s"' % (number, name),
                        '"sim_time":%s,"files":%s' % (_compact(_sim_time(structure)), _compact(files)),
                        received, wall)
    return count


class RateStats:
    """Arrival statistics of a stream of events (messages, frames): how many, the average rate,
    and the intervals between consecutive events (minimum, maximum, mean, standard deviation).
    Feed it with add(); not safe for use from several threads at once."""

    def __init__(self) -> None:
        self.count = 0
        self._first: Optional[float] = None
        self._last: Optional[float] = None
        self._mean = 0.0
        self._squares = 0.0  # sum of squared deviations from the mean (Welford)
        self.min_interval: Optional[float] = None
        self.max_interval: Optional[float] = None

    def add(self, at: Optional[float] = None) -> None:
        """Counts one event at monotonic time `at` in seconds (now when None); times must not
        go back."""
        now = time.monotonic() if at is None else at
        if self._last is not None:
            interval = now - self._last
            if interval < 0:
                raise ValueError("event times must not go back")
            intervals = self.count  # intervals seen so far, this one included
            delta = interval - self._mean
            self._mean += delta / intervals
            self._squares += delta * (interval - self._mean)
            self.min_interval = interval if self.min_interval is None else min(self.min_interval, interval)
            self.max_interval = interval if self.max_interval is None else max(self.max_interval, interval)
        else:
            self._first = now
        self._last = now
        self.count += 1

    @property
    def rate(self) -> Optional[float]:
        """Events per second between the first and the last event; None before two events or
        when they came at the same time."""
        if self._first is None or self._last is None or self._last <= self._first:
            return None
        return (self.count - 1) / (self._last - self._first)

    @property
    def mean_interval(self) -> Optional[float]:
        return self._mean if self.count > 1 else None

    @property
    def stddev_interval(self) -> Optional[float]:
        """Population standard deviation of the intervals; None before two events."""
        return math.sqrt(self._squares / (self.count - 1)) if self.count > 1 else None
