"""One frame callback per kind, registered with _pyveltosdk, that turns the raw arguments into a
typed frame, runs the processors in order and offers the result to the frame streams.

Runs on the engine's threads holding the GIL. Processors and streams are kept in tuples that
are replaced whole, never changed in place, so the engine's thread always iterates a complete
set while another thread adds or removes one. An error in a processor is not caught: the module
prints it and raises it again in the thread that registered the router (the one that entered
the Engine), exactly as for a raw callback; the frame is then left as the engine gave it.
"""

from __future__ import annotations

import threading
import time
from typing import Callable, FrozenSet, Generic, NoReturn, Optional, Tuple, TypeVar

import _pyveltosdk as _sdk

from ._frames import AudioFrame, StreamKind, VideoFrame, answer_bytes, make_video_frame
from ._streams import FrameBuffer

F = TypeVar("F", AudioFrame, VideoFrame)

#: A processor takes a frame and returns its replacement, or None to leave it as it is.
AudioProcessor = Callable[[AudioFrame], Optional[AudioFrame]]
VideoProcessor = Callable[[VideoFrame], Optional[VideoFrame]]

_KINDS = {int(kind): kind for kind in StreamKind}
_KEEP_AUDIO = (None,)
_KEEP_VIDEO = (None, None, None)
_monotonic = time.monotonic
_new = object.__new__
_set = object.__setattr__


class _Router(Generic[F]):
    def __init__(self) -> None:
        # (processor, kinds or None) pairs, in the order they were added.
        self.processors: Tuple[Tuple[Callable[[F], Optional[F]],
                                     Optional[FrozenSet[StreamKind]]], ...] = ()
        self.streams: Tuple[FrameBuffer[F], ...] = ()
        # The one processor when it is all there is (no kinds, no streams): the common effect,
        # given a shorter path.
        self.sole: Optional[Callable[[F], Optional[F]]] = None
        # Serialises writers; the engine's thread never takes it. Reentrant: a stream dropped by
        # its consumer may be closed by the collector in the middle of a change.
        self._lock = threading.RLock()

    def _changed(self) -> None:
        """Under the lock, after processors or streams changed."""
        only = self.processors[0] if len(self.processors) == 1 else None
        self.sole = only[0] if only is not None and only[1] is None and not self.streams else None

    def add_processor(self, processor: Callable[[F], Optional[F]],
                      kinds: Optional[FrozenSet[StreamKind]]) -> None:
        with self._lock:
            self.processors = self.processors + ((processor, kinds),)
            self._changed()

    def remove_processor(self, processor: Callable[[F], Optional[F]]) -> bool:
        with self._lock:
            kept = tuple(p for p in self.processors if p[0] is not processor)
            removed = len(kept) != len(self.processors)
            self.processors = kept
            self._changed()
        return removed

    def add_stream(self, stream: FrameBuffer[F]) -> None:
        with self._lock:
            # A buffer closed while this ran (its stream collected) goes here at the latest.
            self.streams = tuple(s for s in self.streams if not s.closed) + (stream,)
            self._changed()

    def remove_stream(self, stream: FrameBuffer[F]) -> None:
        with self._lock:
            self.streams = tuple(s for s in self.streams if s is not stream)
            self._changed()

    def clear(self) -> None:
        with self._lock:
            self.processors = ()
            streams, self.streams = self.streams, ()
            self._changed()
        for stream in streams:
            stream.close()

    @staticmethod
    def _wrong_result(frame: F, result: object) -> NoReturn:
        name = frame.__class__.__name__
        raise TypeError("a %s processor must return a %s or None, not %s"
                        % (name, name, result.__class__.__name__))

    def _process(self, frame: F) -> F:
        """The frame after every processor; offered to the streams even when one raises."""
        out = frame
        try:
            for processor, kinds in self.processors:
                if kinds is not None and out.kind not in kinds:
                    continue
                result = processor(out)
                if result is not None:
                    if result.__class__ is not frame.__class__:
                        self._wrong_result(frame, result)
                    out = result
        except BaseException:
            for stream in self.streams:
                stream.offer(frame)
            raise
        for stream in self.streams:
            stream.offer(out)
        return out


class AudioRouter(_Router[AudioFrame]):
    """Registered as the audio stream_callback."""

    def __call__(self, stream_type: int, uid: int, samples: int, channels: int, rate: int,
                 data: bytes) -> Tuple[Optional[bytes]]:
        sole = self.sole
        if sole is None and not self.processors and not self.streams:
            return _KEEP_AUDIO
        # Made in place rather than through a helper (see make_video_frame): a call costs a
        # tenth of the budget on older versions.
        frame = _new(AudioFrame)
        width = samples * channels
        _set(frame, "__dict__", {
            "kind": _KINDS[stream_type], "uid": uid & 0xFFFFFFFF, "samples": samples,
            "channels": channels, "sample_rate": rate,
            "bytes_per_sample": len(data) // width if width > 0 else 2, "time": _monotonic(),
            "data": memoryview(data)})
        if sole is not None:
            out = sole(frame)
            if out is None:
                return _KEEP_AUDIO
            if out.__class__ is not AudioFrame:
                self._wrong_result(frame, out)
        else:
            out = self._process(frame)
        if out.data is frame.data:
            return _KEEP_AUDIO
        return (answer_bytes(out.data),)


class VideoRouter(_Router[VideoFrame]):
    """Registered as the video stream_callback."""

    def __call__(self, stream_type: int, uid: int, width: int, height: int, y: bytes, u: bytes,
                 v: bytes) -> Tuple[Optional[bytes], Optional[bytes], Optional[bytes]]:
        if not self.processors and not self.streams:
            return _KEEP_VIDEO
        frame = make_video_frame(_KINDS[stream_type], uid & 0xFFFFFFFF, width, height,
                                 _monotonic(), y, u, v)
        out = self._process(frame)
        if out is frame:
            return _KEEP_VIDEO
        return (None if out.y is frame.y else answer_bytes(out.y),
                None if out.u is frame.u else answer_bytes(out.u),
                None if out.v is frame.v else answer_bytes(out.v))


def register(audio: AudioRouter, video: VideoRouter) -> None:
    """Binds both routers to the engine of this moment, from the calling thread."""
    _sdk.registerAudioObserver(audio)
    _sdk.registerVideoObserver(video)
