"""Participant events and statistics records as dataclasses, read from the engine's native event
queue (``_pyveltosdk._event_queue``).

Engine threads copy each notification into the queue without the GIL; Python reads it here. A
sync reader blocks in the queue's own wait with the GIL released; an asyncio reader watches the
queue's descriptor with ``loop.add_reader``, so no thread is involved. The queue is bounded: when
a reader falls behind, the oldest events go and ``dropped`` counts them. A queue takes only the
events of the channel it was opened for, never a late one of an earlier engine or channel.
"""

from __future__ import annotations

import asyncio
import collections
import enum
import threading
import time
from dataclasses import dataclass, field
from typing import (Any, AsyncIterator, Callable, Deque, Dict, FrozenSet, Iterator, List, Optional,
                    Tuple, Type, Union)

import _pyveltosdk as _sdk

__all__ = [
    "Event", "UserJoined", "UserLeft", "LeaveReason", "ChannelLeft", "LocalVideoStats",
    "RemoteVideoStats", "LocalAudioStats", "RemoteAudioStats", "EventStream",
]


class LeaveReason(enum.IntEnum):
    """Why a remote user left. A number the engine gives that has no name here is a member
    too, named ``UNKNOWN`` and keeping the number: ``LeaveReason(7)`` is
    ``<LeaveReason.UNKNOWN: 7>``, equal to 7."""

    QUIT = 0
    DROPPED = 1
    BECAME_AUDIENCE = 2

    @classmethod
    def _missing_(cls, value: object) -> Optional["LeaveReason"]:
        if not isinstance(value, int) or isinstance(value, bool):
            return None
        # Made for the call and not kept: the class's members stay the named ones.
        member = int.__new__(cls, value)
        member._name_ = "UNKNOWN"
        member._value_ = value
        return member


@dataclass(frozen=True)
class UserJoined:
    uid: int
    elapsed: int = 0  #: ms from joining the channel until this user was seen
    time: float = field(default=0.0, compare=False)  #: time.monotonic() of the notification


@dataclass(frozen=True)
class UserLeft:
    uid: int
    reason: LeaveReason = LeaveReason.QUIT  #: UNKNOWN for a number without a name
    time: float = field(default=0.0, compare=False)

    def __post_init__(self) -> None:
        if type(self.reason) is not LeaveReason:
            object.__setattr__(self, "reason", LeaveReason(self.reason))


@dataclass(frozen=True)
class ChannelLeft:
    """The local user left the channel; the call's totals."""

    duration: int  #: seconds
    tx_bytes: int
    rx_bytes: int
    user_count: int
    time: float = field(default=0.0, compare=False)


@dataclass(frozen=True)
class LocalVideoStats:
    sent_bitrate: int
    sent_frame_rate: int
    encoder_output_frame_rate: int
    renderer_output_frame_rate: int
    target_bitrate: int
    target_frame_rate: int
    encoded_bitrate: int
    encoded_frame_width: int
    encoded_frame_height: int
    encoded_frame_count: int
    codec_type: int
    tx_packet_loss_rate: int
    capture_frame_rate: int
    time: float = field(default=0.0, compare=False)


@dataclass(frozen=True)
class RemoteVideoStats:
    uid: int
    delay: int
    width: int
    height: int
    received_bitrate: int
    decoder_output_frame_rate: int
    renderer_output_frame_rate: int
    packet_loss_rate: int
    rx_stream_type: int
    total_frozen_time: int
    frozen_rate: int
    time: float = field(default=0.0, compare=False)


@dataclass(frozen=True)
class LocalAudioStats:
    num_channels: int
    sent_sample_rate: int
    sent_bitrate: int
    tx_packet_loss_rate: int
    time: float = field(default=0.0, compare=False)


@dataclass(frozen=True)
class RemoteAudioStats:
    uid: int
    quality: int
    network_transport_delay: int
    jitter_buffer_delay: int
    audio_loss_rate: int
    num_channels: int
    received_sample_rate: int
    received_bitrate: int
    total_frozen_time: int
    total_active_time: int
    publish_duration: int
    time: float = field(default=0.0, compare=False)


Event = Union[UserJoined, UserLeft, ChannelLeft, LocalVideoStats, RemoteVideoStats,
              LocalAudioStats, RemoteAudioStats]

# The native queue's kind numbers (engine/EngineEvent.h).
_CLASSES: Dict[int, Type[Event]] = {
    1: UserJoined, 2: UserLeft, 3: ChannelLeft, 4: LocalVideoStats, 5: RemoteVideoStats,
    6: LocalAudioStats, 7: RemoteAudioStats,
}
_KIND_OF: Dict[Type[Event], int] = {cls: kind for kind, cls in _CLASSES.items()}
MEMBERSHIP = (UserJoined, UserLeft, ChannelLeft)


def kinds_mask(classes: Optional[Tuple[Type[Event], ...]]) -> int:
    if classes is None:
        return 0xFFFFFFFF
    mask = 0
    for cls in classes:
        if cls not in _KIND_OF:
            raise TypeError("not an event class: %r" % (cls,))
        mask |= 1 << _KIND_OF[cls]
    return mask


def decode(raw: Tuple[int, ...]) -> Event:
    """An event from the queue's (kind, monotonic_ns, *fields) tuple."""
    cls = _CLASSES[raw[0]]
    values = list(raw[2:])
    if cls is UserLeft:
        values[1] = LeaveReason(values[1])
    make: Any = cls
    return make(*values, time=raw[1] / 1e9)  # type: ignore[no-any-return]


#: The largest ``maxsize`` of an event stream (memory is taken as events come, not up front).
MAX_EVENTS = 1 << 20


class EventStream:
    """Events of one channel in the order the engine reported them, sync (``for``) or asyncio
    (``async for``). Iteration ends after ChannelLeft, or once the stream is closed (leaving
    the channel closes it) and nothing is left to read. Several consumers, sync or asyncio, may
    read one stream at once; each event goes to one of them. A stream nobody refers to any
    more is closed and gives back its descriptor.

    ``dropped`` counts the events the bounded queue lost because the reader fell behind.
    """

    def __repr__(self) -> str:
        return "<EventStream %s, %d dropped>" % ("closed" if self.closed else "open",
                                                 self.dropped)

    def __init__(self, maxsize: int, classes: Optional[Tuple[Type[Event], ...]] = None,
                 on_close: Optional[Callable[["EventStream"], None]] = None) -> None:
        if isinstance(maxsize, bool) or not isinstance(maxsize, int):
            raise TypeError("maxsize must be an int, not %s" % type(maxsize).__name__)
        if not 1 <= maxsize <= MAX_EVENTS:
            raise ValueError("maxsize must be from 1 to %d, not %d" % (MAX_EVENTS, maxsize))
        self._queue = _sdk._event_queue(maxsize, kinds_mask(classes), True)
        self._pending: Deque[Event] = collections.deque()
        self._lock = threading.Lock()
        self._ended = False
        self._on_close = on_close
        # asyncio consumers waiting now, per loop; the loop watches the descriptor while any do.
        self._waiters: Dict[asyncio.AbstractEventLoop, List["asyncio.Future[None]"]] = {}

    @property
    def dropped(self) -> int:
        return self._queue.dropped

    @property
    def closed(self) -> bool:
        return self._queue.closed

    def fileno(self) -> int:
        """Readable while events wait (and for good once closed). The stream owns it: closing
        it yourself harms no other file (the engine never writes to it), and the next call
        hands out a working one."""
        return self._queue.fileno()

    def close(self) -> None:
        """Stop receiving; what was queued can still be read. Any thread."""
        self._queue.close()
        if self._on_close is not None:
            self._on_close(self)

    def poll(self) -> List[Event]:
        """Every event waiting now, without blocking."""
        with self._lock:
            events = list(self._pending)
            self._pending.clear()
        events.extend(decode(raw) for raw in self._queue.take())
        return events

    def _next_ready(self) -> Optional[Event]:
        """The next event if one is there; raises StopIteration at the end."""
        with self._lock:
            if not self._pending and not self._ended:
                self._pending.extend(decode(raw) for raw in self._queue.take())
            if self._pending:
                event = self._pending.popleft()
                if isinstance(event, ChannelLeft):
                    self._ended = True
                    self._pending.clear()
                return event
            if self._ended or self._queue.closed:
                self._ended = True
                raise StopIteration
            return None

    def get(self, timeout: Optional[float] = None) -> Event:
        """The next event, waiting up to `timeout` seconds with the GIL released. Raises
        TimeoutError when none came, StopIteration at the end."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            event = self._next_ready()
            if event is not None:
                break
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise TimeoutError("no event within %s s" % timeout)
            self._queue.wait(left)
        if isinstance(event, ChannelLeft):
            self.close()
        return event

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        return self.get()

    def __aiter__(self) -> AsyncIterator[Event]:
        return self

    async def __anext__(self) -> Event:
        loop = asyncio.get_running_loop()
        while True:
            try:
                event = self._next_ready()
            except StopIteration:
                raise StopAsyncIteration from None
            if event is not None:
                if isinstance(event, ChannelLeft):
                    self.close()
                return event
            await self._readable(loop)

    async def _readable(self, loop: asyncio.AbstractEventLoop) -> None:
        """Until the descriptor is readable. Every consumer on `loop` shares one reader."""
        future: "asyncio.Future[None]" = loop.create_future()
        fd = self._queue.fileno()
        with self._lock:
            waiters = self._waiters.setdefault(loop, [])
            first = not waiters
            waiters.append(future)
        try:
            if first:
                try:
                    loop.add_reader(fd, self._wake, loop, fd)
                except NotImplementedError:
                    # A loop without add_reader (Windows' proactor): wait in the default executor;
                    # the others look again and wait as this one does.
                    self._wake_all(loop)
                    await loop.run_in_executor(None, self._queue.wait, 0.25)
                    return
            await future
        finally:
            if self._forget(loop, future):
                loop.remove_reader(fd)

    def _wake(self, loop: asyncio.AbstractEventLoop, fd: int) -> None:
        """The descriptor is readable: every consumer on `loop` looks (on the loop's thread)."""
        loop.remove_reader(fd)
        self._wake_all(loop)

    def _wake_all(self, loop: asyncio.AbstractEventLoop) -> None:
        with self._lock:
            waiters = self._waiters.pop(loop, [])
        for future in waiters:
            if not future.done():
                future.set_result(None)

    def _forget(self, loop: asyncio.AbstractEventLoop, future: "asyncio.Future[None]") -> bool:
        """Drops `future` from the waiters; True when it was the last one on `loop`."""
        with self._lock:
            waiters = self._waiters.get(loop)
            if waiters is None:
                return False
            if future in waiters:
                waiters.remove(future)
            if waiters:
                return False
            del self._waiters[loop]
            return True

    def __enter__(self) -> "EventStream":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    async def __aenter__(self) -> "EventStream":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        self.close()


class Membership:
    """The remote users present now in one channel: the engine keeps the set itself as users
    come and go, so it is exact however many pass unread, and costs nothing while nobody asks."""

    def __init__(self) -> None:
        self._queue = _sdk._event_queue(1, kinds_mask(MEMBERSHIP), True, True)

    def users(self) -> FrozenSet[int]:
        return frozenset(self._queue.members())

    def close(self) -> None:
        self._queue.close()
