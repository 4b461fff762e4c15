"""Bounded frame iterators: observe-only consumers of the frames the engine delivers.

The engine's thread only ever appends to a bounded buffer and, when consumers wait, wakes them:
a ``threading.Condition`` for sync consumers, ``loop.call_soon_threadsafe`` for asyncio ones
(asyncio objects are touched on the loop's own thread only). A full buffer drops a frame by the
stream's overflow policy and counts it in ``dropped``; it never blocks the engine or grows.

The frame router holds only a stream's buffer, never the stream itself: a stream nobody refers
to any more is closed and its buffer leaves the router, at no cost per frame.
"""

from __future__ import annotations

import asyncio
import collections
import threading
import time
import weakref
from typing import (TYPE_CHECKING, AsyncIterator, Callable, Deque, FrozenSet, Generic, Iterator,
                    List, Optional, Tuple, TypeVar, Union)

from ._frames import AudioFrame, StreamKind, VideoFrame

if TYPE_CHECKING:
    from typing_extensions import Literal

    Overflow = Literal["drop_oldest", "drop_newest", "raise"]
else:
    Overflow = str

__all__ = ["FrameStream", "FrameOverflow", "OVERFLOW_POLICIES"]

OVERFLOW_POLICIES = ("drop_oldest", "drop_newest", "raise")

F = TypeVar("F", AudioFrame, VideoFrame)


class FrameOverflow(Exception):
    """Raised by a stream with overflow="raise" at the point where frames were dropped."""

    def __init__(self, dropped: int) -> None:
        super().__init__("the consumer fell behind: %d frame(s) dropped" % dropped)
        self.dropped = dropped


class FrameBuffer(Generic[F]):
    """What the frame router feeds: a stream's bounded buffer and its waiting consumers. Any
    number of sync and asyncio consumers may wait at once; each frame goes to one of them."""

    def __init__(self, uid: Optional[int], kinds: Optional[FrozenSet[StreamKind]],
                 maxsize: int, overflow: Overflow,
                 on_close: Callable[["FrameBuffer[F]"], None]) -> None:
        self.uid = uid
        self.kinds = kinds
        self.maxsize = maxsize
        self.overflow = overflow
        self.dropped = 0
        # For overflow="raise": drops not yet raised, and the frames buffered before them.
        self._unreported = 0
        self._before_gap = 0
        self._buffer: Deque[F] = collections.deque()
        self._lock = threading.Lock()
        self._ready = threading.Condition(self._lock)
        self._sync_waiting = 0
        # (loop, future) of each asyncio consumer waiting now, under the lock; a wake takes all.
        self._async_waiters: List[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = []
        self._closed = False
        self._on_close: Callable[[FrameBuffer[F]], None] = on_close

    def describe(self) -> str:
        """What the stream takes and holds, for its repr."""
        kinds = "all kinds" if self.kinds is None else "+".join(
            sorted(kind.name for kind in self.kinds))
        return "%s of %s, %d/%d buffered, %d dropped, %s" % (
            "any uid" if self.uid is None else "uid %d" % self.uid, kinds, len(self._buffer),
            self.maxsize, self.dropped, "closed" if self._closed else "open")

    # --- engine thread ---------------------------------------------------------------------

    def offer(self, frame: F) -> None:
        """Called by the frame router on the engine's thread, holding the GIL."""
        if (self.uid is not None and frame.uid != self.uid) or (
                self.kinds is not None and frame.kind not in self.kinds):
            return
        with self._lock:
            if self._closed:
                return
            buffer = self._buffer
            if len(buffer) >= self.maxsize:
                self.dropped += 1
                if self.overflow == "drop_oldest":
                    buffer.popleft()
                else:
                    if self.overflow == "raise":
                        if not self._unreported:
                            self._before_gap = len(buffer)
                        self._unreported += 1
                    return
            buffer.append(frame)
            if self._sync_waiting:
                self._ready.notify()
            waiters = self._async_waiters
            if not waiters:
                return
            self._async_waiters = []
        self._wake_async(waiters)

    @staticmethod
    def _wake_async(waiters: List[Tuple[asyncio.AbstractEventLoop,
                                        "asyncio.Future[None]"]]) -> None:
        for loop, future in waiters:
            try:
                loop.call_soon_threadsafe(FrameBuffer._wake_on_loop, future)
            except RuntimeError:  # the loop is closed; its consumer is gone
                pass

    @staticmethod
    def _wake_on_loop(future: "asyncio.Future[None]") -> None:
        if not future.done():
            future.set_result(None)

    # --- consumers -------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._ready.notify_all()
            waiters, self._async_waiters = self._async_waiters, []
        self._on_close(self)
        self._wake_async(waiters)

    def _pop(self) -> Optional[F]:
        """The next frame, None when none waits; raises FrameOverflow where frames went
        missing. Holding the lock."""
        if self._unreported:
            if not self._before_gap:
                count, self._unreported = self._unreported, 0
                raise FrameOverflow(count)
            self._before_gap -= 1
        return self._buffer.popleft() if self._buffer else None

    def get(self, timeout: Optional[float]) -> F:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            self._sync_waiting += 1
            try:
                while True:
                    frame = self._pop()
                    if frame is not None:
                        return frame
                    if self._closed:
                        raise StopIteration
                    left = None if deadline is None else deadline - time.monotonic()
                    if left is not None and left <= 0:
                        raise TimeoutError("no frame within %s s" % timeout)
                    self._ready.wait(left)
            finally:
                self._sync_waiting -= 1

    async def get_async(self) -> F:
        loop = asyncio.get_running_loop()
        while True:
            with self._lock:
                frame = self._pop()
                if frame is not None:
                    return frame
                if self._closed:
                    raise StopAsyncIteration
                future: "asyncio.Future[None]" = loop.create_future()
                # Published under the lock: a frame offered from now on wakes it, one offered
                # before is in the buffer already.
                waiter = (loop, future)
                self._async_waiters.append(waiter)
            try:
                await future
            finally:
                with self._lock:
                    if waiter in self._async_waiters:
                        self._async_waiters.remove(waiter)


class FrameStream(Generic[F]):
    """A bounded, observe-only iterator of frames, sync (``for``) or asyncio (``async for``).

    Frames it holds are those the engine ended up with, after any processor. ``dropped``
    counts the frames the buffer had no room for. Iteration ends once the stream is closed
    (``close()``, leaving the channel) and its buffer is empty. Several consumers, sync or
    asyncio, may read one stream at once; each frame goes to one of them. A stream that nobody
    refers to any more is closed, as if ``close()`` had been called.
    """

    def __init__(self, uid: Optional[int], kinds: Optional[FrozenSet[StreamKind]],
                 maxsize: int, overflow: Overflow,
                 on_close: Callable[[FrameBuffer[F]], None]) -> None:
        if maxsize < 1:
            raise ValueError("maxsize must be at least 1")
        if overflow not in OVERFLOW_POLICIES:
            raise ValueError("overflow must be one of %s" % ", ".join(OVERFLOW_POLICIES))
        self._sink: FrameBuffer[F] = FrameBuffer(uid, kinds, maxsize, overflow, on_close)
        # Holds the buffer, not the stream: the router's reference keeps only the buffer alive.
        # The weakref module keeps the finalizer itself alive until it runs.
        weakref.finalize(self, self._sink.close).atexit = False

    def __repr__(self) -> str:
        return "<FrameStream %s>" % self._sink.describe()

    @property
    def buffer(self) -> FrameBuffer[F]:
        """What the frame router feeds (the router holds this, never the stream)."""
        return self._sink

    @property
    def uid(self) -> Optional[int]:
        return self._sink.uid

    @property
    def kinds(self) -> Optional[FrozenSet[StreamKind]]:
        return self._sink.kinds

    @property
    def maxsize(self) -> int:
        return self._sink.maxsize

    @property
    def overflow(self) -> Overflow:
        return self._sink.overflow

    @property
    def dropped(self) -> int:
        return self._sink.dropped

    @property
    def closed(self) -> bool:
        return self._sink.closed

    def qsize(self) -> int:
        """Frames waiting now."""
        return len(self._sink._buffer)

    def close(self) -> None:
        """Stop receiving frames; consumers get what is buffered, then the iteration ends.
        Any thread."""
        self._sink.close()

    def get(self, timeout: Optional[float] = None) -> F:
        """The next frame, waiting up to `timeout` seconds (None: as long as it takes).
        Raises TimeoutError when none came, StopIteration once closed and empty."""
        return self._sink.get(timeout)

    def __iter__(self) -> Iterator[F]:
        return self

    def __next__(self) -> F:
        return self._sink.get(None)

    def __aiter__(self) -> AsyncIterator[F]:
        return self

    async def __anext__(self) -> F:
        return await self._sink.get_async()

    def __enter__(self) -> "FrameStream[F]":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    async def __aenter__(self) -> "FrameStream[F]":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        self.close()


AnyStream = Union[FrameStream[AudioFrame], FrameStream[VideoFrame]]
