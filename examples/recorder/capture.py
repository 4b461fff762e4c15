"""The frame callbacks: effects, then a reference to each remote frame offered to its worker.

They run on the engine's threads and return at once: no encoding, no file access, no waiting
(a full queue drops the frame and counts it). The engine hands over `bytes` copies, which stay
valid as long as they are referenced, so keeping the reference is the copy. Their own time per
frame is measured, by stream kind: the thread's CPU time (what the callback costs) and the wall
time (how long it held the engine's thread, waits for the CPU included)."""

import array
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import _pyveltosdk as sdk

from .recording import Worker

STREAM_NAMES = {
    sdk.StreamAudioRecord: "record",
    sdk.StreamAudioPlay: "playback",
    sdk.StreamAudioMix: "mix",
    sdk.StreamAudioPlayBeforeMix: "user audio",
    sdk.StreamVideoCap: "capture",
    sdk.StreamVideoRender: "user video",
}

# A user whose last frame is older than this has left the composite's grid.
PRESENCE_SECONDS = 0.6


class VolumeChange:
    """Makes 16-bit PCM `factor` times as loud, clipped to the 16-bit range, through a table of
    all 65536 results (far cheaper per frame than arithmetic and clipping per sample)."""

    def __init__(self, factor: float) -> None:
        self._table = [min(32767, max(-32768, int((v - 65536 if v >= 32768 else v) * factor)))
                       for v in range(65536)]

    def __call__(self, data: bytes) -> bytes:
        table = self._table
        return array.array("h", [table[v] for v in array.array("H", data)]).tobytes()


class Capture:
    def __init__(self, new_worker: Callable[[int], Worker], composite: Optional[Worker],
                 grayscale: bool = False, volume: float = 1.0) -> None:
        self._new_worker = new_worker
        self.composite = composite
        self.grayscale = grayscale
        self._volume = VolumeChange(volume) if volume != 1.0 else None
        self._neutral: Dict[int, bytes] = {}
        self.workers: Dict[int, Worker] = {}  # by uid; made on engine threads, started by main
        self.latest: Dict[int, Tuple[float, int, int, Any]] = {}  # the composite reads these
        self.seen: Dict[int, float] = {}
        self.accepting = True
        self._lock = threading.Lock()  # guards the worker map's growth and the timings
        # kind -> [frames, CPU ns, wall ns, longest wall ns]
        self._timings: Dict[int, List[int]] = {}

    def _worker(self, uid: int) -> Worker:
        worker = self.workers.get(uid)
        if worker is None:
            with self._lock:
                worker = self.workers.get(uid)
                if worker is None:
                    worker = self.workers[uid] = self._new_worker(uid)
        return worker

    def _timed(self, kind: int, began: Tuple[int, int]) -> None:
        wall = time.perf_counter_ns() - began[0]
        cpu = time.thread_time_ns() - began[1]
        with self._lock:
            timing = self._timings.get(kind)
            if timing is None:
                timing = self._timings[kind] = [0, 0, 0, 0]
            timing[0] += 1
            timing[1] += cpu
            timing[2] += wall
            if wall > timing[3]:
                timing[3] = wall

    @staticmethod
    def _begin() -> Tuple[int, int]:
        return time.perf_counter_ns(), time.thread_time_ns()

    # --- engine threads ------------------------------------------------------------------------

    def on_audio(self, kind: int, uid: int, samples: int, channels: int, rate: int,
                 data: bytes) -> Tuple[Optional[bytes]]:
        began = self._begin()
        answer = None
        if kind == sdk.StreamAudioPlayBeforeMix:
            if self._volume is not None:
                answer = data = self._volume(data)
            if self.accepting:
                arrived = time.monotonic()
                uid &= 0xFFFFFFFF
                self.seen[uid] = arrived
                self._worker(uid).offer(("audio", arrived, rate, channels, data))
        elif kind == sdk.StreamAudioPlay and self.composite is not None and self.accepting:
            self.composite.offer(("audio", time.monotonic(), rate, channels, data))
        self._timed(kind, began)
        return (answer,)

    def on_video(self, kind: int, uid: int, width: int, height: int, y: bytes, u: bytes,
                 v: bytes) -> Tuple[Optional[bytes], Optional[bytes], Optional[bytes]]:
        began = self._begin()
        answer: Tuple[Optional[bytes], Optional[bytes], Optional[bytes]] = (None, None, None)
        if kind == sdk.StreamVideoCap and self.grayscale:
            answer = (None, self._gray(len(u)), self._gray(len(v)))
        elif kind == sdk.StreamVideoRender and self.accepting:
            arrived = time.monotonic()
            uid &= 0xFFFFFFFF
            self.seen[uid] = arrived
            planes = (y, u, v)
            self.latest[uid] = (arrived, width, height, planes)
            self._worker(uid).offer(("video", arrived, width, height, planes))
        self._timed(kind, began)
        return answer

    def _gray(self, size: int) -> bytes:
        plane = self._neutral.get(size)
        if plane is None:
            plane = self._neutral[size] = b"\x80" * size
        return plane

    # --- any thread ----------------------------------------------------------------------------

    def present(self, at: float) -> List[int]:
        """The users heard or seen in the last PRESENCE_SECONDS before `at`, by uid."""
        return sorted(uid for uid, seen in list(self.seen.items())
                      if at - PRESENCE_SECONDS <= seen)

    def timings(self) -> Dict[str, Dict[str, Any]]:
        with self._lock:
            timings = {kind: list(values) for kind, values in self._timings.items()}
        return {STREAM_NAMES.get(kind, str(kind)): {
                    "type": kind, "frames": frames,
                    "microsPerFrame": round(cpu / frames / 1000.0, 2),
                    "wallMicrosPerFrame": round(wall / frames / 1000.0, 2),
                    "maxWallMicros": round(longest / 1000.0, 1)}
                for kind, (frames, cpu, wall, longest) in sorted(timings.items())}
