"""One recording (a user's, or the composite) and the worker thread that writes it.

The frame callbacks only `offer` frames to a worker's bounded queue; when it is full the frame is
dropped and counted, so a slow encoder never makes the callbacks wait or memory grow. The worker
opens the files once it knows the formats (the first frames of each kind, or after a second),
then hands every frame to the writer with its arrival time."""

import collections
import os
import threading
import time
import traceback
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple

from . import console, formats
from .formats import AudioFormat, VideoFormat, WriteFailed

# Frames held while the formats are found out, and the rate of a video measured over them.
FORMAT_WAIT_SECONDS = 1.0
DEFAULT_FPS = 15
# Queue room: a couple of seconds of 30 fps video with its audio, and at most 60 pictures
# (about 80 MB at 720p) whatever the mix.
QUEUE_FRAMES = 300
QUEUE_PICTURES = 60

# ("video", arrival, width, height, planes) or ("audio", arrival, rate, channels, pcm)
Item = Tuple[Any, ...]


class Recording:
    """Frames to files. Used by one thread; `describe` may be read by another for progress."""

    def __init__(self, name: str, fmt: str, base: str, origin: Optional[float] = None,
                 video: Optional[VideoFormat] = None, wait: float = FORMAT_WAIT_SECONDS,
                 keep_last_picture: bool = True) -> None:
        self.name, self.fmt, self.base = name, fmt, base
        self.origin = origin  # monotonic time of second 0 in the files; else the first frame
        self.fixed_video = video
        self.wait = wait
        self.keep_last_picture = keep_last_picture
        self.writer: Any = None
        self.error: Optional[str] = None
        self.first: Optional[float] = None
        self.last: Optional[float] = None
        self.frames = {"video": 0, "audio": 0}  # frames received by the worker
        self.last_picture: Optional[Tuple[int, int, Any]] = None
        self._pending: List[Item] = []
        self._formats: Dict[str, Any] = {}

    def add(self, item: Item) -> None:
        kind, arrived = item[0], item[1]
        if self.first is None:
            self.first = arrived
            if self.origin is None:
                self.origin = arrived
        self.last = arrived
        self.frames[kind] += 1
        if kind == "video" and self.keep_last_picture:
            self.last_picture = (item[2], item[3], item[4])
        if self.error is not None:
            return
        if self.writer is None:
            self._pending.append(item)
            if kind == "video" and "video" not in self._formats:
                self._formats["video"] = (item[2], item[3])
            if kind == "audio" and "audio" not in self._formats:
                self._formats["audio"] = AudioFormat(item[2], item[3])
            seen_all = "audio" in self._formats and (
                "video" in self._formats or self.fixed_video is not None)
            if arrived - self.first >= self.wait or (seen_all and self.fixed_video is not None):
                self._open()
            return
        self._write(item)

    def _open(self) -> None:
        video = self.fixed_video
        if video is None and "video" in self._formats:
            times = [item[1] for item in self._pending if item[0] == "video"]
            # The median interval: one late frame, and the quick one after it, change nothing.
            gaps = sorted(b - a for a, b in zip(times, times[1:]))
            middle = gaps[len(gaps) // 2] if gaps else 0.0
            fps = int(round(1.0 / middle)) if middle > 0 else DEFAULT_FPS
            width, height = self._formats["video"]
            video = VideoFormat(width, height, max(1, min(fps, 120)))
        pending, self._pending = self._pending, []
        try:
            self.writer = formats.open_writer(self.fmt, self.base, video,
                                              self._formats.get("audio"))
        except WriteFailed as error:
            self.error = str(error)
            return
        for item in pending:
            self._write(item)

    def _write(self, item: Item) -> None:
        assert self.origin is not None
        seconds = item[1] - self.origin
        try:
            if item[0] == "video":
                self.writer.add_video(seconds, item[2], item[3], item[4])
            else:
                self.writer.add_audio(seconds, item[2], item[3], item[4])
        except WriteFailed as error:
            self.error = str(error)
            self._close_quietly()

    def _close_quietly(self) -> None:
        try:
            self.writer.close()
        except WriteFailed:
            pass

    def finish(self, end: Optional[float] = None) -> None:
        """Writes what is held, brings the audio up to `end` (monotonic time; default: the last
        frame's arrival and its 10 ms) and closes the files; errors end up in `error`."""
        if self.writer is None and self._pending and self.error is None:
            self._open()
        self._pending = []
        if self.writer is None:
            return
        try:
            if self.error is None and self.origin is not None and self.last is not None:
                self.writer.end_audio((end if end is not None else self.last + 0.01)
                                      - self.origin)
        except WriteFailed as error:
            self.error = str(error)
        # Closed also after a failed write: a file left to the collector is finished (and its
        # failure printed) whenever that happens to free it.
        try:
            self.writer.close()
        except WriteFailed as error:
            self.error = self.error or str(error)

    def describe(self) -> Dict[str, Any]:
        writer = self.writer
        entry: Dict[str, Any] = {
            "files": [os.path.basename(f) for f in writer.files] if writer else [],
            "incomplete": [],  # files cut short by a failed write
            "firstSeconds": None, "lastSeconds": None,
            "video": None, "audio": None,
        }
        if writer is None:
            return entry
        if writer.video_format is not None:
            entry["video"] = {"width": writer.video_format.width,
                              "height": writer.video_format.height,
                              "fps": writer.video_format.fps,
                              "received": self.frames["video"],
                              "written": writer.video_frames,
                              "seconds": round(writer.video_seconds(), 3)}
        if writer.audio_format is not None:
            entry["audio"] = {"sampleRate": writer.audio_format.rate,
                              "channels": writer.audio_format.channels,
                              "received": self.frames["audio"],
                              "seconds": round(writer.audio_seconds(), 3)}
        return entry


class Worker(threading.Thread):
    """Takes frames from a bounded queue and gives them to a `Recording` on its own thread.

    The queue is a deque the worker polls: an append from a callback takes no lock and wakes
    no thread, so the callbacks stay at a few microseconds. Each wake-up costs tens of
    microseconds of CPU, so the worker looks every 20 ms (a few frames at a time: their times
    were taken on arrival, so nothing moves in the files)."""

    POLL_SECONDS = 0.02

    def __init__(self, recording: Recording, hurry: threading.Event,
                 capacity: int = QUEUE_FRAMES) -> None:
        super().__init__(name="recorder-" + recording.name, daemon=True)
        self.recording = recording
        self.hurry = hurry  # set: drop what is queued, close the files at once
        self.capacity = capacity
        self._items: Deque[Item] = collections.deque()
        self._stopping = threading.Event()
        self._lock = threading.Lock()  # guards the counts below; engine threads write them
        self.dropped = {"video": 0, "audio": 0}
        self._pictures = 0  # video frames queued
        self.crashed: Optional[str] = None
        self.end: Optional[float] = None  # when the recording ends, if not at its last frame

    def offer(self, item: Item) -> None:
        """Engine threads: queue a frame, or count it dropped when the queue is full."""
        if len(self._items) >= self.capacity:
            self._count_drop(item)
        elif item[0] != "video":
            self._items.append(item)
        else:
            with self._lock:
                room = self._pictures < QUEUE_PICTURES
                if room:
                    self._pictures += 1
                else:
                    self.dropped["video"] += 1
            if room:
                self._items.append(item)

    def _count_drop(self, item: Item) -> None:
        with self._lock:
            self.dropped[item[0]] += 1

    def drops(self) -> Dict[str, int]:
        with self._lock:
            return dict(self.dropped)

    def stop(self) -> None:
        """Main thread: the worker finishes what is queued (or drops it, in a hurry), closes the
        files and ends."""
        self._stopping.set()

    def _next(self, timeout: float) -> Optional[Item]:
        """The next frame, or None after `timeout` seconds without one. In a hurry, what is
        queued is counted as dropped instead."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                item = self._items.popleft()
                if item[0] == "video":
                    with self._lock:
                        self._pictures -= 1
            except IndexError:
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self._stopping.is_set():
                    return None
                time.sleep(min(self.POLL_SECONDS, remaining))
                continue
            if not self.hurry.is_set():
                return item
            self._count_drop(item)

    def _drained(self) -> bool:
        return self._stopping.is_set() and not self._items

    def run(self) -> None:
        try:
            while not self._drained():
                item = self._next(self.POLL_SECONDS)
                if item is not None:
                    self.recording.add(item)
        except Exception:  # a fault of this program: said, and the files still closed
            self.crashed = traceback.format_exc()
            console.err.write(self.crashed)
        finally:
            self.recording.finish(self.end)


def wait_all(workers: Sequence[threading.Thread], poll: float = 0.1) -> None:
    """Main thread: joins the workers while staying responsive to signals."""
    for worker in workers:
        while worker.is_alive():
            worker.join(poll)
            time.sleep(0)
