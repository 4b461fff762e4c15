"""Publishing a program's own media in place of the local microphone and camera.

A publication fills the recorded-audio (``StreamKind.RECORD``) or captured-video
(``StreamKind.CAPTURE``) frames the engine hands over, through a processor over the layer's one
registration, so it works with any engine that delivers those frames. The work is split so that
the engine's thread never waits for Python code of ours or of the source:

- a feeder, a daemon thread of the layer (an asyncio task for an async iterable), reads the
  source, converts it to the format of the engine's latest frame (samples, channels and rate, or
  width and height), cuts it into frames and appends them to a bounded deque; while the deque is
  full it sleeps for about half the deque's length in frames;
- the processor, on the engine's thread, takes the next frame from the deque (``popleft``, which
  is atomic and takes no lock) and, when none is there, sends silence or the last picture again
  and counts an underrun.

Only the engine's thread pops; only the feeder appends, except that finishing clears the deque.
Finishing (the end of the source played out, ``stop()``, leaving the channel, an error) is
serialised by one lock that the engine's thread never takes.
"""

from __future__ import annotations

import asyncio
import collections
import os
import sys
import threading
import time
import traceback
import weakref
from typing import (TYPE_CHECKING, Any, AsyncIterable, AsyncIterator, Deque, Dict, Generator,
                    Iterable, Iterator, List, Optional, Tuple, Union)

from ._frames import AudioFrame, StreamKind, VideoFrame, _chroma_size

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from ._engine import Channel

__all__ = ["Publication", "AudioSource", "VideoSource", "AudioItem", "VideoItem"]

#: One block of audio from an iterable source: 16-bit PCM bytes at the publication's
#: ``sample_rate`` and ``channels``, a numpy array (int16, or float in -1..1; shape (samples,) or
#: (samples, channels)), or an AudioFrame in its own format.
AudioItem = Union[bytes, bytearray, memoryview, "NDArray[Any]", AudioFrame]

#: One picture from an iterable source: I420 bytes or a uint8 numpy array at the publication's
#: ``width`` and ``height``, or a VideoFrame of its own size.
VideoItem = Union[bytes, bytearray, memoryview, "NDArray[Any]", VideoFrame]

#: What publish_audio sends: PCM in one buffer, an iterable or async iterable of blocks, or a
#: media file's path.
AudioSource = Union[bytes, bytearray, memoryview, "NDArray[Any]", str, "os.PathLike[str]",
                    Iterable[AudioItem], AsyncIterable[AudioItem]]

#: What publish_video sends: I420 pictures in one buffer, an iterable or async iterable of
#: pictures, or a media file's path.
VideoSource = Union[bytes, bytearray, memoryview, "NDArray[Any]", str, "os.PathLike[str]",
                    Iterable[VideoItem], AsyncIterable[VideoItem]]

_Format = Tuple[int, int, int]  # audio: samples, channels, rate; video: width, height, chroma bytes

#: Seconds of audio in one block read from a buffer source.
_BLOCK_SECONDS = 0.1
#: The longest sleep of a feeder, so that it sees stop() and leaving within about this long.
_LONGEST_PAUSE = 0.05

_MISSING_PYAV = ("publishing a media file needs PyAV: python -m pip install \"pyveltosdk[media]\" "
                 "(or python -m pip install av)")

# The publication of each kind running in each channel.
_running: "weakref.WeakKeyDictionary[Channel, Dict[StreamKind, Publication]]" = (
    weakref.WeakKeyDictionary())
_running_lock = threading.Lock()


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise ImportError("converting raw media to the engine's format needs numpy: "
                          "pip install \"pyveltosdk[numpy]\"") from None
    return numpy


def _av() -> Any:
    try:
        import av  # type: ignore[import-not-found,import-untyped,unused-ignore]
    except ImportError as error:
        raise ImportError(_MISSING_PYAV) from error
    return av


def _is_array(value: object) -> bool:
    return type(value).__module__ == "numpy" and hasattr(value, "dtype")


def _is_buffer(value: object) -> bool:
    return isinstance(value, (bytes, bytearray, memoryview))


def _positive(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError("%s must be a positive int, not %r" % (name, value))
    return value


class Publication:
    """A publication running in a channel: what ``Channel.publish_audio`` and
    ``Channel.publish_video`` return (not made directly).

    It ends by itself once the source is exhausted and its last frame was sent; ``stop()`` ends
    it early and leaving the channel ends it too. Then the engine's own recording or camera goes
    out again. Wait for the end with ``wait(timeout)`` in a thread or ``await publication`` in a
    coroutine; both raise the error that ended it, if any (such an error is also printed to
    standard error when it happens).
    """

    #: Frames of StreamKind.RECORD or StreamKind.CAPTURE are filled.
    kind: StreamKind
    #: Engine frames that carried the source's media (for video: new pictures).
    frames_sent: int
    #: Engine frames that found nothing buffered while the source was still going, filled with
    #: silence or the last picture instead.
    underruns: int

    def __init__(self, channel: "Channel", kind: StreamKind, source: object,
                 buffer_frames: int) -> None:
        self.kind = kind
        self.frames_sent = 0
        self.underruns = 0
        self._description = _describe(source)
        self._channel = channel
        self._capacity = _positive("buffer_frames", buffer_frames)
        self._buffer: Deque[Tuple[Any, ...]] = collections.deque()
        # The engine's latest frame format; written on the engine's thread, read by the feeder.
        self._format: Optional[_Format] = None
        self._playing = False  # a frame of the source went out
        self._source_ended = False  # the feeder appended the last frame
        self._drained = False  # the engine then found the buffer empty
        self._ended = threading.Event()
        self._error: Optional[BaseException] = None
        self._lock = threading.Lock()
        self._waiters: List[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = []
        self._task: "Optional[asyncio.Task[None]]" = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._processor: Any = self._on_frame  # the one bound method, added and removed by identity

    def __repr__(self) -> str:
        state = ("failed" if self._error is not None else "done") if self._ended.is_set() else (
            "running")
        return "<Publication %s of %s, %s: %d frames sent, %d underruns>" % (
            self.kind.name, self._description, state, self.frames_sent, self.underruns)

    # --- the handle ----------------------------------------------------------------------------

    @property
    def done(self) -> bool:
        """Whether the publication has ended (played out, stopped, failed or the channel left)."""
        return self._ending()

    @property
    def error(self) -> Optional[BaseException]:
        """The error that ended the publication (from the source or its conversion), if any."""
        return self._error

    @property
    def queued(self) -> int:
        """Frames converted and waiting for the engine now."""
        return 0 if self._ended.is_set() else len(self._buffer)

    def stop(self) -> None:
        """End the publication now: the engine's next frames are its own again. Frames still
        buffered are dropped. Idempotent; any thread."""
        self._finish(None)

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Block until the publication has ended, at most `timeout` seconds (None: as long as it
        takes). Returns whether it has; raises the error that ended it. Not from a coroutine:
        ``await`` the publication there."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._ending():
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            self._ended.wait(_LONGEST_PAUSE if left is None else min(left, _LONGEST_PAUSE))
        if self._error is not None:
            raise self._error
        return True

    def __await__(self) -> Generator[Any, None, None]:
        """``await publication``: until it has ended, without blocking the loop; raises the
        error that ended it."""
        return self._wait_async().__await__()

    def __enter__(self) -> "Publication":
        return self

    def __exit__(self, *exc_info: object) -> None:
        """A ``with`` block stops the publication at its end, if it is still running."""
        self.stop()

    async def _wait_async(self) -> None:
        loop = asyncio.get_running_loop()
        while not self._ending():
            future: "asyncio.Future[None]" = loop.create_future()
            with self._lock:
                if self._ended.is_set():
                    break
                self._waiters.append((loop, future))
            # Woken by _finish; the timeout notices a channel left meanwhile.
            await asyncio.wait([future], timeout=0.1)
            with self._lock:
                if (loop, future) in self._waiters:
                    self._waiters.remove((loop, future))
        if self._error is not None:
            raise self._error

    # --- ending --------------------------------------------------------------------------------

    def _ending(self) -> bool:
        """Whether it has ended, ending it first when the channel was left. Not on the engine's
        thread."""
        if self._ended.is_set():
            return True
        if self._channel.left:
            self._finish(None)
            return True
        return False

    def _finish(self, error: Optional[BaseException]) -> None:
        if error is not None and not self._ended.is_set():
            # Only the feeder passes an error; printed before anyone can see the end.
            sys.stderr.write("pyveltosdk: publishing %s of %s ended by an error:\n"
                             % (self.kind.name, self._description))
            traceback.print_exception(type(error), error, error.__traceback__)
            sys.stderr.flush()
        with self._lock:
            if self._ended.is_set():
                return
            self._error = error
            self._ended.set()  # from here on the processor leaves frames alone
            waiters, self._waiters = self._waiters, []
        try:
            self._channel.remove_processor(self._processor)
        except ValueError:  # leaving the channel removed it already
            pass
        self._buffer.clear()
        task, loop = self._task, self._loop
        if task is not None and loop is not None and not task.done():
            try:
                if asyncio.current_task(loop) is not task:
                    loop.call_soon_threadsafe(task.cancel)
            except RuntimeError:  # its loop is closed, and the task with it
                pass
        for waiter_loop, future in waiters:
            try:
                waiter_loop.call_soon_threadsafe(_resolve, future)
            except RuntimeError:
                pass

    # --- the engine's thread -------------------------------------------------------------------

    def _on_frame(self, frame: Any) -> Any:
        raise NotImplementedError

    # --- the feeder ----------------------------------------------------------------------------

    def _convert(self, item: Any) -> Iterator[Tuple[Any, ...]]:
        """Buffer entries for one item of the source, in the engine's current format."""
        raise NotImplementedError

    def _tail(self) -> Iterator[Tuple[Any, ...]]:
        """Buffer entries left over once the source ended."""
        return iter(())

    def _pause(self) -> float:
        """How long to sleep while the buffer is full."""
        raise NotImplementedError

    def _start(self, items: Union[Iterator[Any], AsyncIterator[Any]]) -> "Publication":
        with _running_lock:
            running = _running.setdefault(self._channel, {})
            current = running.get(self.kind)
            if current is not None and not current.done:
                raise RuntimeError("already publishing %s in channel %r: stop() that first"
                                   % ("audio" if self.kind == StreamKind.RECORD else "video",
                                      self._channel.name))
            running[self.kind] = self
        try:
            if isinstance(items, AsyncIterator):
                try:
                    self._loop = asyncio.get_running_loop()
                except RuntimeError:
                    raise RuntimeError("an async iterable is read by a task of the running "
                                       "loop: publish it from a coroutine") from None
            if self.kind == StreamKind.RECORD:
                self._channel.audio_processor(kinds=[self.kind])(self._processor)
            else:
                self._channel.video_processor(kinds=[self.kind])(self._processor)
        except BaseException:
            with _running_lock:
                running.pop(self.kind, None)
            _close_sync(items)
            raise
        if isinstance(items, AsyncIterator):
            assert self._loop is not None
            self._task = self._loop.create_task(self._feed_async(items))
        else:
            name = "pyveltosdk-publish-%s" % ("audio" if self.kind == StreamKind.RECORD
                                              else "video")
            threading.Thread(target=self._feed_sync, args=(items,), name=name,
                             daemon=True).start()
        return self

    def _wait_for_format(self) -> Iterator[float]:
        while self._format is None and not self._ending():
            yield _LONGEST_PAUSE / 2

    def _put(self, entries: Iterable[Tuple[Any, ...]]) -> Iterator[float]:
        for entry in entries:
            while len(self._buffer) >= self._capacity:
                if self._ending():
                    return
                yield min(max(self._pause(), 0.001), _LONGEST_PAUSE)
            if self._ending():
                return
            self._buffer.append(entry)

    def _drain(self) -> Iterator[float]:
        yield from self._put(self._tail())
        self._source_ended = True
        while not self._drained and not self._ending():
            yield min(max(self._pause() / 2, 0.001), _LONGEST_PAUSE)

    def _feed_sync(self, items: Iterator[Any]) -> None:
        error: Optional[BaseException] = None
        try:
            for pause in self._wait_for_format():
                time.sleep(pause)
            if not self._ending():
                for item in items:
                    for pause in self._put(self._convert(item)):
                        time.sleep(pause)
                    if self._ending():
                        break
            for pause in self._drain():
                time.sleep(pause)
        except BaseException as exc:
            error = exc
        try:
            _close_sync(items)
        except BaseException as exc:  # a generator that raises on close
            error = error or exc
        self._finish(error)
        self._buffer.clear()  # an entry appended while another thread finished

    async def _feed_async(self, items: AsyncIterator[Any]) -> None:
        error: Optional[BaseException] = None
        try:
            for pause in self._wait_for_format():
                await asyncio.sleep(pause)
            if not self._ending():
                async for item in items:
                    for pause in self._put(self._convert(item)):
                        await asyncio.sleep(pause)
                    if self._ending():
                        break
            for pause in self._drain():
                await asyncio.sleep(pause)
        except asyncio.CancelledError:  # stop() or leaving, from another thread
            pass
        except BaseException as exc:
            error = exc
        finally:
            close = getattr(items, "aclose", None)
            if close is not None:
                try:
                    await close()
                except BaseException:
                    pass
        self._finish(error)
        self._buffer.clear()


_new = object.__new__
_set = object.__setattr__


def _filled(frame: Any, planes: Dict[str, memoryview]) -> Any:
    """`frame` with `planes` (memoryviews over whole bytes, made by the feeder): what
    frame.replace does, in a fifth of the time, on the engine's thread."""
    values = frame.__dict__.copy()
    values.update(planes)
    copy = _new(type(frame))
    _set(copy, "__dict__", values)
    return copy


def _read_async(source: AsyncIterable[Any]) -> bool:
    """Whether to read an async iterable with ``async for``: one that is not also a plain
    iterable (a FrameStream is both), or one published from a coroutine."""
    if not isinstance(source, Iterable):
        return True
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True


def _resolve(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


def _close_sync(items: object) -> None:
    close = getattr(items, "close", None)
    if close is not None:
        close()


def _describe(source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return repr(os.fspath(source))
    if _is_buffer(source) or _is_array(source):
        return "%s of %d bytes" % (type(source).__name__, memoryview(source).nbytes)  # type: ignore[arg-type]
    return type(source).__name__


# --- audio ---------------------------------------------------------------------------------------


class _Linear:
    """Linear interpolation from one rate to another, continuous from block to block."""

    def __init__(self, source_rate: int, target_rate: int) -> None:
        self.step = source_rate / target_rate
        self.position = 0.0  # of the next output sample, in input samples from `held`
        self.held: Any = None  # the previous block's last sample, index 0 of the next block

    def __call__(self, block: Any) -> Any:
        np = _numpy()
        x = block if self.held is None else np.concatenate((self.held, block))
        last = len(x) - 1
        count = int((last - self.position) // self.step) + 1 if last >= self.position else 0
        times = self.position + self.step * np.arange(count)
        grid = np.arange(len(x))
        out = np.empty((count, x.shape[1]))
        for channel in range(x.shape[1]):
            out[:, channel] = np.interp(times, grid, x[:, channel])
        self.position += self.step * count - last
        self.held = x[-1:]
        return out


def _map_channels(x: Any, channels: int) -> Any:
    np = _numpy()
    have = x.shape[1]
    if have == channels:
        return x
    if channels == 1:
        return x.mean(axis=1, keepdims=True)
    if have == 1:
        return np.repeat(x, channels, axis=1)
    return x[:, [min(c, have - 1) for c in range(channels)]]


def _to_s16(x: Any) -> bytes:
    np = _numpy()
    data: bytes = np.clip(np.rint(x), -32768, 32767).astype("<i2").tobytes()
    return data


def _pcm_array(array: Any, channels: Optional[int]) -> Any:
    """A numpy array of samples as a C-contiguous (samples, channels) int16 array."""
    np = _numpy()
    if array.dtype.kind == "f":
        array = np.rint(np.clip(array, -1.0, 1.0) * 32767).astype(np.int16)
    elif array.dtype != np.int16:
        raise TypeError("audio arrays must be int16, or float in -1..1, not %s" % array.dtype)
    if array.ndim == 2:
        if channels is not None and channels != array.shape[1]:
            raise ValueError("a (samples, channels) array of %d channels, but channels=%d"
                             % (array.shape[1], channels))
        return np.ascontiguousarray(array)
    if array.ndim != 1:
        raise ValueError("audio arrays must be (samples,) or (samples, channels), not %dD"
                         % array.ndim)
    count = channels or 1
    if array.size % count:
        raise ValueError("%d samples do not divide into %d channels" % (array.size, count))
    return np.ascontiguousarray(array.reshape(-1, count))


def _pcm_item(item: object, sample_rate: int, channels: Optional[int]) -> Tuple[Any, int, int]:
    """(samples as s16 bytes or a (samples, channels) int16 array, rate, channels)."""
    if isinstance(item, AudioFrame):
        if item.bytes_per_sample != 2:
            raise ValueError("only 16-bit audio frames can be published, not %d-byte samples"
                             % item.bytes_per_sample)
        return item.data.tobytes(), item.sample_rate, item.channels
    if isinstance(item, (bytes, bytearray, memoryview)):
        data = bytes(item)
        count = channels or 1
        if len(data) % (2 * count):
            raise ValueError("%d bytes are not whole 16-bit samples of %d channel(s)"
                             % (len(data), count))
        return data, sample_rate, count
    if _is_array(item):
        array = _pcm_array(item, channels)
        return array, sample_rate, array.shape[1]
    raise TypeError("an audio item must be bytes, a numpy array or an AudioFrame, not %s"
                    % type(item).__name__)


class _AudioPublication(Publication):
    def __init__(self, channel: "Channel", source: object, buffer_frames: int,
                 from_file: bool) -> None:
        super().__init__(channel, StreamKind.RECORD, source, buffer_frames)
        self._from_file = from_file
        self._zeros: Dict[str, memoryview] = {"data": memoryview(b"")}
        # Feeder state, for one target format.
        self._target: Optional[_Format] = None
        self._pending = bytearray()
        self._resampler: Any = None
        self._resampled_from: Optional[Tuple[int, int]] = None

    def _on_frame(self, frame: AudioFrame) -> Optional[AudioFrame]:
        form = (frame.samples, frame.channels, frame.sample_rate)
        self._format = form
        if self._ended.is_set():
            return None
        buffer = self._buffer
        while buffer:
            entry = buffer.popleft()
            if entry[0] == form:
                self._playing = True
                self.frames_sent += 1
                filled: AudioFrame = _filled(frame, entry[1])
                return filled
        if self._source_ended and not buffer:
            self._drained = True
        elif self._playing:
            self.underruns += 1
        if len(self._zeros["data"]) != len(frame.data):
            self._zeros = {"data": memoryview(bytes(len(frame.data)))}
        silent: AudioFrame = _filled(frame, self._zeros)
        return silent

    def _pause(self) -> float:
        form = self._format
        period = form[0] / form[2] if form is not None and form[2] > 0 else 0.01
        return period * max(1, self._capacity // 2)

    def _retarget(self) -> _Format:
        form = self._format
        assert form is not None
        if form != self._target:
            self._target = form
            self._pending = bytearray()
            self._resampler = None
        return form

    def _frames(self, pcm: bytes) -> Iterator[Tuple[Any, ...]]:
        form = self._target
        assert form is not None
        self._pending += pcm
        size = form[0] * form[1] * 2
        pending = self._pending
        if size <= 0:
            return
        while len(pending) >= size:
            chunk = bytes(pending[:size])
            del pending[:size]
            yield form, {"data": memoryview(chunk)}

    def _convert(self, item: Any) -> Iterator[Tuple[Any, ...]]:
        samples, channels, rate = self._retarget()
        if self._from_file:
            return self._frames(self._resample_decoded(item, channels, rate))
        data, source_rate, source_channels = item
        if source_rate == rate and source_channels == channels:
            return self._frames(data if isinstance(data, bytes) else data.tobytes())
        np = _numpy()
        x = (np.frombuffer(data, "<i2").reshape(-1, source_channels) if isinstance(data, bytes)
             else data).astype(np.float64)
        x = _map_channels(x, channels)
        if source_rate != rate:
            if self._resampler is None or self._resampled_from != (source_rate, channels):
                self._resampler = _Linear(source_rate, rate)
                self._resampled_from = (source_rate, channels)
            x = self._resampler(x)
        return self._frames(_to_s16(x))

    def _resample_decoded(self, decoded: Any, channels: int, rate: int) -> bytes:
        """A decoded frame (None: the resampler's remainder) as s16 at the target rate."""
        if self._resampler is None:
            layout = "mono" if channels == 1 else "stereo"
            self._resampler = _av().AudioResampler(format="s16", layout=layout, rate=rate)
        pieces = []
        for out in self._resampler.resample(decoded):
            width = 2 * len(out.layout.channels)
            pieces.append(bytes(out.planes[0])[:out.samples * width])
        pcm = b"".join(pieces)
        if channels > 2:
            np = _numpy()
            stereo = np.frombuffer(pcm, "<i2").reshape(-1, 2).astype(np.float64)
            pcm = _to_s16(_map_channels(stereo, channels))
        return pcm

    def _tail(self) -> Iterator[Tuple[Any, ...]]:
        if self._target is None:
            return
        if self._from_file and self._resampler is not None:
            yield from self._frames(self._resample_decoded(None, self._target[1],
                                                           self._target[2]))
        if self._pending:  # the last part of a frame, completed with silence
            size = self._target[0] * self._target[1] * 2
            last = bytes(self._pending) + bytes(size - len(self._pending))
            yield self._target, {"data": memoryview(last)}
            self._pending = bytearray()


def _audio_blocks(pcm: Any, rate: int, channels: int) -> Iterator[Tuple[Any, int, int]]:
    step = max(1, int(rate * _BLOCK_SECONDS))
    if isinstance(pcm, bytes):
        width = 2 * channels
        for start in range(0, len(pcm), step * width):
            yield pcm[start:start + step * width], rate, channels
    else:
        for start in range(0, len(pcm), step):
            yield pcm[start:start + step], rate, channels


def start_audio(channel: "Channel", source: AudioSource, *, sample_rate: int,
                channels: Optional[int], buffer_frames: int) -> Publication:
    """What Channel.publish_audio does."""
    _positive("sample_rate", sample_rate)
    if channels is not None:
        _positive("channels", channels)
    items: Union[Iterator[Any], AsyncIterator[Any]]
    if isinstance(source, (str, os.PathLike)):
        items = _Decoded(source, "audio")
        from_file = True
    else:
        from_file = False
        if _is_buffer(source) or _is_array(source):
            pcm, rate, count = _pcm_item(source, sample_rate, channels)
            items = _audio_blocks(pcm, rate, count)
        elif isinstance(source, AsyncIterable) and _read_async(source):
            items = _map_async(source, lambda item: _pcm_item(item, sample_rate, channels))
        elif isinstance(source, Iterable):
            items = (_pcm_item(item, sample_rate, channels) for item in source)
        else:
            raise TypeError("an audio source must be bytes, a numpy array, an iterable or async "
                            "iterable of them, or a file path, not %s" % type(source).__name__)
    return _AudioPublication(channel, source, buffer_frames, from_file)._start(items)


# --- video ---------------------------------------------------------------------------------------


def _i420_size(width: int, height: int) -> int:
    return width * height + 2 * ((width + 1) // 2) * ((height + 1) // 2)


def _scale_plane(plane: bytes, width: int, height: int, to_width: int, to_height: int) -> bytes:
    """Nearest-neighbour scaling of one 8-bit plane."""
    if (width, height) == (to_width, to_height):
        return plane
    np = _numpy()
    pixels = np.frombuffer(plane, np.uint8)[:width * height].reshape(height, width)
    rows = np.arange(to_height) * height // to_height
    columns = np.arange(to_width) * width // to_width
    data: bytes = pixels[rows[:, None], columns].tobytes()
    return data


def _plane_rows(plane: Any, width: int, height: int) -> bytes:
    """A decoded plane's first `width` pixels of its first `height` rows (no row padding)."""
    data = memoryview(plane)
    stride = plane.line_size
    if stride == width:
        return bytes(data[:width * height])
    return b"".join(bytes(data[row * stride:row * stride + width]) for row in range(height))


# A picture from the source: (y, u, v, width, height, seconds from the start or None).
_Picture = Tuple[bytes, bytes, bytes, int, int, Optional[float]]


def _picture(item: object, width: Optional[int], height: Optional[int]) -> Tuple[bytes, bytes,
                                                                                  bytes, int, int]:
    if isinstance(item, VideoFrame):
        return item.y.tobytes(), item.u.tobytes(), item.v.tobytes(), item.width, item.height
    if _is_array(item):
        item, width, height = _i420_array(item, width, height)
    if not isinstance(item, (bytes, bytearray, memoryview)):
        raise TypeError("a picture must be I420 bytes, a uint8 numpy array or a VideoFrame, "
                        "not %s" % type(item).__name__)
    if width is None or height is None:
        raise ValueError("I420 bytes need width and height")
    data = bytes(item)
    if len(data) != _i420_size(width, height):
        raise ValueError("%d bytes are not one %dx%d I420 picture (%d bytes)"
                         % (len(data), width, height, _i420_size(width, height)))
    luma, chroma = width * height, ((width + 1) // 2) * ((height + 1) // 2)
    return (data[:luma], data[luma:luma + chroma], data[luma + chroma:], width, height)


def _i420_array(array: Any, width: Optional[int], height: Optional[int]
                ) -> Tuple[bytes, Optional[int], Optional[int]]:
    """A uint8 array of I420 rows as bytes; its width and height from its shape if not given."""
    if array.dtype.name != "uint8":
        raise TypeError("I420 arrays must be uint8, not %s" % array.dtype)
    if (width is None or height is None) and array.ndim >= 2:
        width, height = array.shape[-1], array.shape[-2] * 2 // 3
    return array.tobytes(), width, height


def _pictures(source: object, width: Optional[int], height: Optional[int]
              ) -> Tuple[List[bytes], int, int]:
    """One buffer of whole I420 pictures, cut into pictures; their width and height."""
    if _is_array(source):
        source, width, height = _i420_array(source, width, height)
    if width is None or height is None:
        raise ValueError("I420 bytes need width and height")
    _positive("width", width)
    _positive("height", height)
    data = bytes(source)  # type: ignore[call-overload]
    size = _i420_size(width, height)
    if not data or len(data) % size:
        raise ValueError("%d bytes are not whole %dx%d I420 pictures of %d bytes"
                         % (len(data), width, height, size))
    return [data[start:start + size] for start in range(0, len(data), size)], width, height


class _VideoPublication(Publication):
    def __init__(self, channel: "Channel", source: object, buffer_frames: int,
                 from_file: bool) -> None:
        super().__init__(channel, StreamKind.CAPTURE, source, buffer_frames)
        self._from_file = from_file
        self._period = 1 / 15  # between the engine's frames, measured as they come
        self._last_time: Optional[float] = None
        self._clock: Optional[float] = None  # the engine's time of the source's time 0
        self._shown: Optional[Tuple[Any, ...]] = None
        self._black: Tuple[Optional[_Format], Dict[str, memoryview]] = (None, {})
        self._first_time: Optional[float] = None  # of a file's first picture

    def _on_frame(self, frame: VideoFrame) -> Optional[VideoFrame]:
        form = (frame.width, frame.height, len(frame.u))
        now = frame.time
        if self._last_time is not None and now > self._last_time:
            self._period = now - self._last_time
        self._last_time = now
        self._format = form
        if self._ended.is_set():
            return None
        buffer = self._buffer
        shown = None
        # The latest picture due by now (half a frame early is on time); without times, the next.
        while buffer:
            entry = buffer[0]
            if entry[0] != form:
                buffer.popleft()
                continue
            offset = entry[1]
            if offset is not None:
                if self._clock is None:
                    self._clock = now - offset
                elif self._clock + offset > now + self._period / 2:
                    break
            shown = buffer.popleft()
            if offset is None:
                break
        if shown is not None:
            self._shown = shown
            self._playing = True
            self.frames_sent += 1
        elif self._source_ended and not buffer:
            self._drained = True
        elif self._playing and not buffer:
            self.underruns += 1
        picture = self._shown
        if picture is None or picture[0] != form:
            if self._black[0] != form:
                chroma = memoryview(bytes([128]) * len(frame.u))
                self._black = (form, {"y": memoryview(bytes([16]) * len(frame.y)), "u": chroma,
                                      "v": chroma})
            black: VideoFrame = _filled(frame, self._black[1])
            return black
        filled: VideoFrame = _filled(frame, picture[2])
        return filled

    def _pause(self) -> float:
        return self._period * max(1, self._capacity // 2)

    def _convert(self, item: Any) -> Iterator[Tuple[Any, ...]]:
        form = self._format
        assert form is not None
        width, height, chroma = form
        chroma_width, chroma_height = _chroma_size(width, height, chroma)
        if self._from_file:
            when = item.time
            if when is not None:
                if self._first_time is None:
                    self._first_time = when
                when -= self._first_time
            # Scaled to an even size, then cut to the engine's (odd sizes lose a row/column).
            scaled = item.reformat(width=width + (width & 1), height=height + (height & 1),
                                   format="yuv420p")
            yield form, when, _planes(_plane_rows(scaled.planes[0], width, height),
                                      _plane_rows(scaled.planes[1], chroma_width, chroma_height),
                                      _plane_rows(scaled.planes[2], chroma_width, chroma_height))
            return
        y, u, v, source_width, source_height, when = item
        source_chroma = _chroma_size(source_width, source_height, len(u))
        yield form, when, _planes(_scale_plane(y, source_width, source_height, width, height),
                                  _scale_plane(u, *source_chroma, chroma_width, chroma_height),
                                  _scale_plane(v, *source_chroma, chroma_width, chroma_height))


def _planes(y: bytes, u: bytes, v: bytes) -> Dict[str, memoryview]:
    return {"y": memoryview(y), "u": memoryview(u), "v": memoryview(v)}


def _timed(pictures: Iterable[Tuple[bytes, bytes, bytes, int, int]],
           fps: Optional[float]) -> Iterator[_Picture]:
    for index, (y, u, v, width, height) in enumerate(pictures):
        yield y, u, v, width, height, None if fps is None else index / fps


def start_video(channel: "Channel", source: VideoSource, *, width: Optional[int],
                height: Optional[int], fps: Optional[float], buffer_frames: int) -> Publication:
    """What Channel.publish_video does."""
    if fps is not None and not fps > 0:
        raise ValueError("fps must be positive or None, not %r" % (fps,))
    for name, value in (("width", width), ("height", height)):
        if value is not None:
            _positive(name, value)
    items: Union[Iterator[Any], AsyncIterator[Any]]
    from_file = False
    if isinstance(source, (str, os.PathLike)):
        items = _Decoded(source, "video")
        from_file = True
    elif _is_buffer(source) or _is_array(source):
        pictures, width, height = _pictures(source, width, height)
        items = _timed((_picture(data, width, height) for data in pictures), fps)
    elif isinstance(source, AsyncIterable) and _read_async(source):
        items = _map_async(_enumerate_async(source),
                           lambda pair: _picture(pair[1], width, height)
                           + (None if fps is None else pair[0] / fps,))
    elif isinstance(source, Iterable):
        items = _timed((_picture(item, width, height) for item in source), fps)
    else:
        raise TypeError("a video source must be I420 bytes, a numpy array, an iterable or async "
                        "iterable of pictures, or a file path, not %s" % type(source).__name__)
    return _VideoPublication(channel, source, buffer_frames, from_file)._start(items)


# --- sources shared by both ------------------------------------------------------------------


class _Decoded:
    """The decoded frames of a file's first audio or video stream. The file is opened at once,
    so that a missing file or stream raises in the caller, and closed by close() or at its end."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], kind: str) -> None:
        av = _av()
        name = os.fspath(path)
        self._container = av.open(name)
        streams = (self._container.streams.audio if kind == "audio"
                   else self._container.streams.video)
        if not streams:
            self._container.close()
            raise ValueError("%r has no %s stream" % (name, kind))
        self._frames = iter(self._container.decode(streams[0]))

    def __iter__(self) -> Iterator[Any]:
        return self

    def __next__(self) -> Any:
        try:
            return next(self._frames)
        except StopIteration:
            self.close()
            raise

    def close(self) -> None:
        self._container.close()


async def _map_async(items: AsyncIterable[Any], function: Any) -> AsyncIterator[Any]:
    async for item in items:
        yield function(item)


async def _enumerate_async(items: AsyncIterable[Any]) -> AsyncIterator[Tuple[int, Any]]:
    index = 0
    async for item in items:
        yield index, item
        index += 1
