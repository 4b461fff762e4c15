"""Engine and Channel: the engine's lifecycle as context managers over _pyveltosdk.

The process has one engine at a time (the extension holds it process-wide), so one Engine may
be entered at a time. Entering initialises it and registers the frame routers from the entering
thread, which is where errors of processors are raised again; leaving terminates it, also when
the body raised. A Channel leaves on exit in the same way and closes its iterators.
"""

from __future__ import annotations

import enum
import json
import threading
from typing import (Any, Callable, FrozenSet, Iterable, Mapping, Optional, Set, Tuple, Type,
                    TypeVar, Union, overload)

import _pyveltosdk as _sdk

from ._events import Event, EventStream, Membership
from ._frames import AUDIO_KINDS, VIDEO_KINDS, AudioFrame, StreamKind, VideoFrame
from ._router import AudioProcessor, AudioRouter, VideoProcessor, VideoRouter, register
from ._streams import FrameStream, Overflow

__all__ = ["Engine", "Channel", "EngineError", "ChannelProfile", "ClientRole", "AudioProfile",
           "AudioScenario"]

P = TypeVar("P", bound=Callable[..., Any])


class EngineError(RuntimeError):
    """The engine refused an operation. ``code`` is the engine's result where it gives one."""

    def __init__(self, operation: str, code: Optional[int] = None) -> None:
        text = "%s failed" % operation if code is None else "%s failed (%d)" % (operation, code)
        super().__init__(text)
        self.operation = operation
        self.code = code


class ChannelProfile(enum.IntEnum):
    COMMUNICATION = 0
    LIVE_BROADCASTING = 1
    GAME = 2


class ClientRole(enum.IntEnum):
    BROADCASTER = 1
    AUDIENCE = 2


class AudioProfile(enum.IntEnum):
    DEFAULT = 0
    SPEECH_STANDARD = 1
    MUSIC_STANDARD = 2
    MUSIC_STANDARD_STEREO = 3
    MUSIC_HIGH_QUALITY = 4
    MUSIC_HIGH_QUALITY_STEREO = 5


class AudioScenario(enum.IntEnum):
    DEFAULT = 0
    CHATROOM_ENTERTAINMENT = 1
    EDUCATION = 2
    GAME_STREAMING = 3
    SHOWROOM = 4
    CHATROOM_GAMING = 5


def _text(value: Union[str, Mapping[str, Any]]) -> str:
    return value if isinstance(value, str) else json.dumps(value)


def _accepted(operation: str, accepted: bool) -> None:
    if not accepted:
        raise EngineError(operation)


def _done(operation: str, result: int) -> None:
    if result != 0:
        raise EngineError(operation, result)


def _kinds(kinds: Optional[Iterable[StreamKind]],
           allowed: FrozenSet[StreamKind]) -> Optional[FrozenSet[StreamKind]]:
    if kinds is None:
        return None
    chosen = frozenset(StreamKind(k) for k in kinds)
    if not chosen <= allowed:
        raise ValueError("not kinds of this stream: %s" % sorted(chosen - allowed))
    return chosen


_active_lock = threading.Lock()
_active: Optional["Engine"] = None


class Engine:
    """The engine, initialised on ``with`` entry with `init_text` (a JSON text or a mapping,
    such as ``{"sim": {...}}`` for the simulated engine) and terminated on exit."""

    def __init__(self, init_text: Union[str, Mapping[str, Any]] = "") -> None:
        self.init_text = _text(init_text)
        self._audio = AudioRouter()
        self._video = VideoRouter()
        self._channel: Optional[Channel] = None
        self._open = False

    # --- lifecycle ---------------------------------------------------------------------------

    def open(self) -> "Engine":
        """Initialise the engine (what ``with`` does on entry)."""
        global _active
        with _active_lock:
            if _active is not None:
                raise RuntimeError("another Engine is open; the process has one engine")
            _active = self
        try:
            _sdk.initialize(self.init_text)
            register(self._audio, self._video)
        except BaseException:
            _sdk.terminate()
            with _active_lock:
                _active = None
            raise
        self._open = True
        return self

    def close(self) -> None:
        """Leave any channel, end every iterator and terminate the engine. Idempotent."""
        global _active
        if not self._open:
            return
        try:
            if self._channel is not None:
                self._channel.leave()
        finally:
            self._open = False
            self._audio.clear()
            self._video.clear()
            _sdk.terminate()
            with _active_lock:
                _active = None

    @property
    def is_open(self) -> bool:
        return self._open

    def __enter__(self) -> "Engine":
        return self.open()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _check_open(self) -> None:
        if not self._open:
            raise RuntimeError("the Engine is not open: use it in a with block or call open()")

    # --- channel -----------------------------------------------------------------------------

    def join(self, channel: str, uid: int = 0, key: str = "") -> "Channel":
        """Join `channel` as `uid` (0: the engine picks one); the Channel leaves on exit."""
        self._check_open()
        if self._channel is not None and not self._channel.left:
            raise RuntimeError("already in channel %r; leave it first" % self._channel.name)
        joined = Channel(self, channel, uid)
        try:
            _done("joinChannel", _sdk.joinChannel(key, channel, uid))
        except BaseException:
            joined._close_streams()
            raise
        self._channel = joined
        return joined

    @property
    def channel(self) -> "Optional[Channel]":
        """The channel joined now, if any."""
        return self._channel if self._channel is not None and not self._channel.left else None

    # --- switches, mutes, profiles -----------------------------------------------------------

    @property
    def version(self) -> str:
        return _sdk.getVersion().decode("utf-8", "replace")

    def enable_video(self, enabled: bool = True) -> None:
        self._check_open()
        _done("enableVideo", _sdk.enableVideo(enabled))

    def enable_audio(self, enabled: bool = True) -> None:
        self._check_open()
        _done("enableAudio", _sdk.enableAudio(enabled))

    def mute_local_video(self, muted: bool = True) -> None:
        self._check_open()
        _accepted("muteLocalVideo", _sdk.muteLocalVideo(muted))

    def mute_local_audio(self, muted: bool = True) -> None:
        self._check_open()
        _accepted("muteLocalAudio", _sdk.muteLocalAudio(muted))

    def mute_remote_video(self, muted: bool = True) -> None:
        """Stop (or resume) receiving every remote user's video."""
        self._check_open()
        _accepted("muteAllRemoteVideoStreams", _sdk.muteAllRemoteVideoStreams(muted))

    def mute_remote_audio(self, muted: bool = True) -> None:
        """Stop (or resume) receiving every remote user's audio."""
        self._check_open()
        _accepted("muteAllRemoteAudioStreams", _sdk.muteAllRemoteAudioStreams(muted))

    def enable_dual_stream(self, enabled: bool = True) -> None:
        self._check_open()
        _accepted("enableDualStreamMode", _sdk.enableDualStreamMode(enabled))

    def enable_web_interoperability(self, enabled: bool = True) -> None:
        self._check_open()
        _accepted("enableWebSdkInteroperability", _sdk.enableWebSdkInteroperability(enabled))

    def set_channel_profile(self, profile: ChannelProfile) -> None:
        self._check_open()
        _accepted("setChannelProfile", _sdk.setChannelProfile(int(profile)))

    def set_client_role(self, role: ClientRole) -> None:
        self._check_open()
        _accepted("setClientRole", _sdk.setClientRole(int(role)))

    def set_video_profile(self, width: int, height: int, frame_rate: int, bitrate: int) -> None:
        self._check_open()
        _accepted("setVideoProfile", _sdk.setVideoProfile(width, height, frame_rate, bitrate))

    def set_audio_profile(self, profile: AudioProfile,
                          scenario: AudioScenario = AudioScenario.DEFAULT) -> None:
        self._check_open()
        _accepted("setAudioProfile", _sdk.setAudioProfile(int(profile), int(scenario)))

    def set_parameters(self, parameters: Union[str, Mapping[str, Any]]) -> None:
        """Hand the engine raw parameters (a JSON text or a mapping); the module prints them."""
        _sdk.setParameters(_text(parameters))

    def set_log_path(self, path: str) -> None:
        self._check_open()
        _accepted("setLogPath", _sdk.setLogPath(path))

    @staticmethod
    def log_off() -> None:
        """Stop the statistics lines on standard output for the rest of the process (the
        statistics events keep coming)."""
        _sdk.logOff()

    @staticmethod
    def add_view(view: int) -> None:
        """Register a native view handle, as _pyveltosdk.addView."""
        _sdk.addView(view)

    # --- the frame observers -----------------------------------------------------------------

    @property
    def frame_observers(self) -> "Tuple[_sdk.AudioFrameCallback, _sdk.VideoFrameCallback]":
        """The audio and video callables this Engine registers as the module's frame observers
        on entry (each turns the raw frame into a typed one, runs the processors and feeds the
        streams). For a program that registers other callbacks with ``_pyveltosdk`` for a while
        (a benchmark's raw baseline) and then hands the frames back to the Engine."""
        return self._audio, self._video


class Channel:
    """A joined channel: frames, processors, events and the users present. Leaves on exit."""

    def __init__(self, engine: Engine, name: str, uid: int) -> None:
        self.engine = engine
        self.name = name
        self.uid = uid
        self.left = False
        # Opened before joining, so no participant of this channel is missed.
        self._membership = Membership()
        self._event_streams: Set[EventStream] = set()
        self._processors: Tuple[Callable[..., Any], ...] = ()
        self._lock = threading.Lock()

    # --- lifecycle ---------------------------------------------------------------------------

    def leave(self) -> None:
        """Leave the channel, remove its processors and end its iterators. Idempotent."""
        if self.left:
            return
        self.left = True
        try:
            if self.engine.is_open:
                _done("leaveChannel", _sdk.leaveChannel())
        finally:
            self._close_streams()

    def _close_streams(self) -> None:
        self.left = True
        for processor in self._processors:
            self.engine._audio.remove_processor(processor)
            self.engine._video.remove_processor(processor)
        self._processors = ()
        for router in (self.engine._audio, self.engine._video):
            for stream in router.streams:
                stream.close()
        with self._lock:
            streams = list(self._event_streams)
        for events in streams:
            events.close()
        self._membership.close()

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.leave()

    async def __aenter__(self) -> "Channel":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        self.leave()

    def _check_joined(self) -> None:
        if self.left:
            raise RuntimeError("the channel %r was left" % self.name)

    # --- participants and events -------------------------------------------------------------

    @property
    def users(self) -> FrozenSet[int]:
        """The remote users present now."""
        return self._membership.users()

    def events(self, maxsize: int = 1024,
               types: Optional[Tuple[Type[Event], ...]] = None) -> EventStream:
        """Participant events and statistics records from now on, in order (only `types` when
        given). Bounded to `maxsize`: when the reader falls behind the oldest go, counted in
        ``dropped``."""
        self._check_joined()
        stream = EventStream(maxsize, types, on_close=self._forget_events)
        with self._lock:
            self._event_streams.add(stream)
        return stream

    def _forget_events(self, stream: EventStream) -> None:
        with self._lock:
            self._event_streams.discard(stream)

    # --- frames ------------------------------------------------------------------------------

    def audio_frames(self, uid: Optional[int] = None, *, kinds: Optional[Iterable[StreamKind]] = None,
                     maxsize: int = 64, overflow: Overflow = "drop_oldest"
                     ) -> FrameStream[AudioFrame]:
        """Audio frames from now on (of `uid` and `kinds` when given), bounded to `maxsize`.
        `overflow`: "drop_oldest" keeps the newest frames, "drop_newest" keeps the oldest,
        "raise" keeps the oldest and raises FrameOverflow where frames went missing."""
        self._check_joined()
        router = self.engine._audio
        stream: FrameStream[AudioFrame] = FrameStream(uid, _kinds(kinds, AUDIO_KINDS), maxsize,
                                                      overflow, router.remove_stream)
        router.add_stream(stream)
        return stream

    def video_frames(self, uid: Optional[int] = None, *, kinds: Optional[Iterable[StreamKind]] = None,
                     maxsize: int = 8, overflow: Overflow = "drop_oldest"
                     ) -> FrameStream[VideoFrame]:
        """Video frames from now on; as audio_frames."""
        self._check_joined()
        router = self.engine._video
        stream: FrameStream[VideoFrame] = FrameStream(uid, _kinds(kinds, VIDEO_KINDS), maxsize,
                                                      overflow, router.remove_stream)
        router.add_stream(stream)
        return stream

    @overload
    def audio_processor(self, processor: AudioProcessor) -> AudioProcessor: ...

    @overload
    def audio_processor(self, *, kinds: Iterable[StreamKind]
                        ) -> Callable[[AudioProcessor], AudioProcessor]: ...

    def audio_processor(self, processor: Optional[AudioProcessor] = None, *,
                        kinds: Optional[Iterable[StreamKind]] = None) -> Any:
        """Decorator: run `processor` on the engine's thread for every audio frame (of `kinds`)
        while in the channel. It returns a replacement frame (``frame.replace(data=...)``),
        whose data is written into the engine's frame, or None to leave it. Processors run in
        the order they were added, each given the previous one's result."""
        chosen = _kinds(kinds, AUDIO_KINDS)

        def add(function: AudioProcessor) -> AudioProcessor:
            self._check_joined()
            self.engine._audio.add_processor(function, chosen)
            self._processors = self._processors + (function,)
            return function

        return add if processor is None else add(processor)

    @overload
    def video_processor(self, processor: VideoProcessor) -> VideoProcessor: ...

    @overload
    def video_processor(self, *, kinds: Iterable[StreamKind]
                        ) -> Callable[[VideoProcessor], VideoProcessor]: ...

    def video_processor(self, processor: Optional[VideoProcessor] = None, *,
                        kinds: Optional[Iterable[StreamKind]] = None) -> Any:
        """Decorator: as audio_processor, for video frames (planes y, u, v)."""
        chosen = _kinds(kinds, VIDEO_KINDS)

        def add(function: VideoProcessor) -> VideoProcessor:
            self._check_joined()
            self.engine._video.add_processor(function, chosen)
            self._processors = self._processors + (function,)
            return function

        return add if processor is None else add(processor)

    def remove_processor(self, processor: Callable[..., Any]) -> None:
        """Stop running `processor`; ValueError if it was not added to this channel."""
        if processor not in self._processors:
            raise ValueError("not a processor of this channel")
        self._processors = tuple(p for p in self._processors if p is not processor)
        self.engine._audio.remove_processor(processor)
        self.engine._video.remove_processor(processor)
