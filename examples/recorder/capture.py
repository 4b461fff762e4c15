"""The frame processors: effects, then a reference to each remote frame offered to its worker.

They run on the engine's threads (pyveltosdk processors) and return at once: no encoding, no
file access, no waiting (a full queue drops the frame and counts it). A frame's planes are views
of the bytes the engine handed over, which stay valid as long as they are referenced, so
keeping the frame's views is the copy. Their own time per frame is measured, by stream kind:
the thread's CPU time (what the processor costs) and the wall time (how long it held the
engine's thread, waits for the CPU included)."""

import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from pyveltosdk import AudioFrame, StreamKind, VideoFrame

from .recording import Worker

STREAM_NAMES = {
    StreamKind.RECORD: "record",
    StreamKind.PLAYBACK: "playback",
    StreamKind.MIX: "mix",
    StreamKind.PLAYBACK_USER: "user audio",
    StreamKind.CAPTURE: "capture",
    StreamKind.RENDER: "user video",
}


class VolumeChange:
    """Makes 16-bit PCM `factor` times as loud, clipped to the 16-bit range and cut toward
    zero, in one numpy pass over the frame."""

    def __init__(self, factor: float) -> None:
        import numpy

        self._np = numpy
        self.factor = factor

    def __call__(self, data: Any) -> Any:
        np = self._np
        louder = np.frombuffer(data, "<i2") * self.factor
        return np.clip(louder, -32768, 32767).astype("<i2")


class Capture:
    """The frame processors of a call (every kind goes through them, so that each is timed) and
    the workers they feed, one per remote user."""

    def __init__(self, new_worker: Callable[[int], Worker], composite: Optional[Worker],
                 grayscale: bool = False, volume: float = 1.0) -> None:
        self._new_worker = new_worker
        self.composite = composite
        self.grayscale = grayscale
        self._volume = VolumeChange(volume) if volume != 1.0 else None
        self._neutral: Dict[int, bytes] = {}
        self.workers: Dict[int, Worker] = {}  # by uid; made on engine threads, started by main
        self.latest: Dict[int, Tuple[float, int, int, Any]] = {}  # the composite reads these
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

    # --- engine threads: the processors ------------------------------------------------------

    def on_audio(self, frame: AudioFrame) -> Optional[AudioFrame]:
        began = self._begin()
        out = None
        kind = frame.kind
        if kind == StreamKind.PLAYBACK_USER:
            if self._volume is not None:
                out = frame.replace(data=self._volume(frame.data))
            if self.accepting:
                self._worker(frame.uid).offer(("audio", frame.time, frame.sample_rate,
                                               frame.channels, (out or frame).data))
        elif kind == StreamKind.PLAYBACK and self.composite is not None and self.accepting:
            self.composite.offer(("audio", frame.time, frame.sample_rate, frame.channels,
                                  frame.data))
        self._timed(kind, began)
        return out

    def on_video(self, frame: VideoFrame) -> Optional[VideoFrame]:
        began = self._begin()
        out = None
        kind = frame.kind
        if kind == StreamKind.CAPTURE and self.grayscale:
            out = frame.replace(u=self._gray(len(frame.u)), v=self._gray(len(frame.v)))
        elif kind == StreamKind.RENDER and self.accepting:
            planes = (frame.y, frame.u, frame.v)
            self.latest[frame.uid] = (frame.time, frame.width, frame.height, planes)
            self._worker(frame.uid).offer(("video", frame.time, frame.width, frame.height,
                                           planes))
        self._timed(kind, began)
        return out

    def _gray(self, size: int) -> bytes:
        plane = self._neutral.get(size)
        if plane is None:
            plane = self._neutral[size] = b"\x80" * size
        return plane

    # --- any thread ----------------------------------------------------------------------------

    def timings(self) -> Dict[str, Dict[str, Any]]:
        with self._lock:
            timings = {kind: list(values) for kind, values in self._timings.items()}
        return {STREAM_NAMES.get(StreamKind(kind), str(kind)): {
                    "type": int(kind), "frames": frames,
                    "microsPerFrame": round(cpu / frames / 1000.0, 2),
                    "wallMicrosPerFrame": round(wall / frames / 1000.0, 2),
                    "maxWallMicros": round(longest / 1000.0, 1)}
                for kind, (frames, cpu, wall, longest) in sorted(timings.items())}
