"""The output formats and the writers behind them.

A writer holds one file with at most one video and one audio stream and is used by one worker
thread at a time. Its timestamps are seconds from the file's origin, taken from when the frames
arrived: frames are placed by time, gaps are filled (silence, a repeated picture), never closed
up by counting frames. Write failures raise `WriteFailed`."""

import collections
import importlib
from typing import Any, Deque, List, NamedTuple, Optional, Tuple

NAMES = ("mp4", "webm", "raw")


class WriteFailed(Exception):
    """A file could not be written (a full disk, a file size limit...); str() says which."""


class VideoFormat(NamedTuple):
    width: int
    height: int
    fps: int


class AudioFormat(NamedTuple):
    rate: int
    channels: int


# A picture in I420: planes y, u, v as buffers (bytes or arrays) of the sizes the engine uses.
Planes = Tuple[Any, Any, Any]


class AudioClock:
    """Where audio frames go in time. Samples are written one after another, and silence is
    put where frames went missing (an engine that skipped a late round, a frame dropped here, a
    muted user), so the sound stays with the pictures of its time.

    A frame is never early, only late by a varying delay. So each frame is held until the next
    `lookahead` frames have arrived (a tenth of a second of 10 ms frames): the least lag among
    them is the sound that went missing before it, and late frames, which the engine follows
    with on-time ones, move nothing."""

    def __init__(self, rate: int, lookahead: int = 10, slack_seconds: float = 0.012) -> None:
        self.rate = rate
        self.lookahead = lookahead
        self.slack = slack_seconds * rate
        self._held: Deque[Tuple[float, Any]] = collections.deque()  # (lag, payload)
        self._received = 0.0  # samples of the frames so far, silence not counted
        self._filled = 0  # silence put in so far, in samples

    def place(self, seconds: float, samples: float, payload: Any) -> List[Tuple[int, Any]]:
        """Takes a frame of `samples` (at this clock's rate) that arrived `seconds` into the
        file; returns the frames now due, each with the samples of silence to write first."""
        self._held.append((seconds * self.rate - self._received, payload))
        self._received += samples
        due = []
        while len(self._held) > self.lookahead:
            due.append(self._release())
        return due

    def drain(self) -> List[Tuple[int, Any]]:
        """Every frame still held, at the end."""
        return [self._release() for _ in range(len(self._held))]

    def _release(self) -> Tuple[int, Any]:
        lag, payload = self._held.popleft()
        lowest = min([lag] + [later for later, _ in self._held]) - self._filled
        if lowest <= self.slack:
            return 0, payload
        self._filled += int(lowest)
        return int(lowest), payload

    def silence_to_end(self, seconds: float, written: int) -> int:
        """Samples of silence that make the audio last until `seconds`: what went missing in
        the last frames, which no later frame will reveal."""
        gap = seconds * self.rate - written
        return int(gap) if gap > self.slack else 0


def importable(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def missing_libraries() -> Optional[str]:
    """What the compressed formats need and is not installed, or None."""
    missing = [name for name, module in (("PyAV", "av"), ("numpy", "numpy"))
               if not importable(module)]
    return " and ".join(missing) or None


def extension(name: str) -> str:
    return {"mp4": ".mp4", "webm": ".webm"}.get(name, "")


def file_paths(name: str, base: str) -> List[str]:
    """Every file a writer of format `name` may make for `base`, in the order they are listed."""
    if name == "raw":
        return [base + ".y4m", base + ".wav"]
    return [base + extension(name)]


def open_writer(name: str, base: str, video: Optional[VideoFormat],
                audio: Optional[AudioFormat]) -> Any:
    """A writer for `base` (a path without extension) in format `name`."""
    if name == "raw":
        from .rawfile import RawWriter
        return RawWriter(base, video, audio)
    from .avfile import AvWriter
    return AvWriter(name, base + extension(name), video, audio)
