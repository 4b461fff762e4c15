"""Engine and Channel: the engine's lifecycle as context managers over _pyveltosdk.

The process has one engine at a time (the extension holds it process-wide), so one Engine may
be entered at a time. Entering initialises it and registers the frame routers from the entering
thread, which is where errors of processors are raised again; leaving terminates it, also when
the body raised. A Channel leaves on exit in the same way and closes its iterators.

After ``os.fork()`` the child has no engine: the Engine and Channel it inherited are detached
there (leaving their ``with`` blocks does nothing and raises nothing, their iterators end) and
the child may open an Engine of its own. The parent's objects are untouched by the child.
"""

from __future__ import annotations

import enum
import json
import os
import threading
import warnings
import weakref
from typing import (Any, Callable, FrozenSet, Iterable, Mapping, Optional, Tuple, Type,
                    TypeVar, Union, overload)

import _pyveltosdk as _sdk

from ._arguments import channel_name_of, init_text_of, member_of, uid_of
from ._events import Event, EventStream, Membership
from ._frames import AUDIO_KINDS, VIDEO_KINDS, AudioFrame, StreamKind, VideoFrame
from ._handlers import EventClasses, Handler, Handlers
from ._publish import AudioSource, Publication, VideoSource, start_audio, start_video
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


def _detach_in_fork_child() -> None:
    """In a fork child: the engine open in the parent is not the child's (the extension forgot
    it there). Its Engine is closed without calling the engine, so the child may open its own."""
    global _active, _active_lock
    _active_lock = threading.Lock()  # another thread may have held it at the fork
    engine, _active = _active, None
    if engine is not None:
        engine._detach()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_detach_in_fork_child)


class Engine:
    """The engine, initialised on ``with`` entry with `init_text` and terminated on exit.

    `init_text` is a mapping (such as ``{"sim": {...}}`` for the simulated engine), turned into
    JSON, or the text of a JSON object; an empty text means the engine's defaults. Any other
    text raises ValueError here, before the engine sees it.
    """

    def __init__(self, init_text: Union[str, Mapping[str, Any]] = "") -> None:
        self.init_text = init_text_of(init_text)
        self._audio = AudioRouter()
        self._video = VideoRouter()
        self._channel: Optional[Channel] = None
        self._open = False
        self._video_on = False  # as this Engine last switched it
        self._video_warned = False

    def __repr__(self) -> str:
        if not self._open:
            return "<Engine closed>"
        channel = self.channel
        return "<Engine open, %s>" % (
            "no channel" if channel is None else "in channel %r as uid %d" % (
                channel.name, channel.uid))

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
        self._video_on = False  # a fresh engine starts with video off
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

    def _detach(self) -> None:
        """Fork child: forget the parent's engine without a call; the channel's iterators end."""
        self._open = False
        if self._channel is not None:
            self._channel._close_streams()

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
        """Join `channel` as `uid` (0: the engine picks one); the Channel leaves on exit.

        The name must have 1 to 64 bytes in UTF-8 and the uid be from 0 to 4294967295, else
        ValueError, before the engine is called."""
        channel = channel_name_of(channel)
        uid = uid_of(uid)
        if not isinstance(key, str):
            raise TypeError("key must be a str, not %s" % type(key).__name__)
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
        """The engine library's version text, such as ``"4.2.0"``. A property, read as
        ``engine.version`` (not called); open or not."""
        return _sdk.getVersion().decode("utf-8", "replace")

    def enable_video(self, enabled: bool = True) -> None:
        """Switch video on (or off): without it the engine hands over no video frames."""
        self._check_open()
        _done("enableVideo", _sdk.enableVideo(enabled))
        self._video_on = bool(enabled)

    def _warn_if_video_off(self) -> None:
        """Once per Engine: a program waiting for video frames with video off waits forever."""
        if self._video_on or self._video_warned:
            return
        self._video_warned = True
        warnings.warn("video is off, so no video frames will come: call engine.enable_video() "
                      "first", RuntimeWarning, stacklevel=3)

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

    def set_channel_profile(self, profile: Union[ChannelProfile, str, int]) -> None:
        """Set the channel profile: a ChannelProfile, its name in any case (``"live_broadcasting"``)
        or its number. ValueError names the profiles for any other value."""
        chosen = member_of(ChannelProfile, profile, "channel profile")
        self._check_open()
        _accepted("setChannelProfile", _sdk.setChannelProfile(int(chosen)))

    def set_client_role(self, role: Union[ClientRole, str, int]) -> None:
        """Set the client role: a ClientRole, its name in any case (``"audience"``) or its
        number. ValueError names the roles for any other value."""
        chosen = member_of(ClientRole, role, "client role")
        self._check_open()
        _accepted("setClientRole", _sdk.setClientRole(int(chosen)))

    def set_video_profile(self, width: int, height: int, frame_rate: int, bitrate: int) -> None:
        self._check_open()
        _accepted("setVideoProfile", _sdk.setVideoProfile(width, height, frame_rate, bitrate))

    def set_audio_profile(self, profile: Union[AudioProfile, str, int],
                          scenario: Union[AudioScenario, str, int] = AudioScenario.DEFAULT
                          ) -> None:
        """Set the audio profile and scenario, each a member, its name in any case or its
        number. ValueError names the allowed ones for any other value."""
        chosen = member_of(AudioProfile, profile, "audio profile")
        chosen_scenario = member_of(AudioScenario, scenario, "audio scenario")
        self._check_open()
        _accepted("setAudioProfile", _sdk.setAudioProfile(int(chosen), int(chosen_scenario)))

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
        # Weak: a stream its reader dropped is freed (and gives back its descriptor) at once.
        self._event_streams: "weakref.WeakSet[EventStream]" = weakref.WeakSet()
        self._processors: Tuple[Callable[..., Any], ...] = ()
        self._lock = threading.Lock()
        self._handlers = Handlers(self)

    def __repr__(self) -> str:
        if self.left:
            return "<Channel %r uid=%d, left>" % (self.name, self.uid)
        return "<Channel %r uid=%d, %d remote user(s)>" % (self.name, self.uid, len(self.users))

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
        self._handlers.end()

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
        """Participant events and statistics records of this channel from now on, in order (only
        `types` when given). Bounded to `maxsize` (1 to 2**20; memory is taken as events come):
        when the reader falls behind the oldest go, counted in ``dropped``. ValueError for a
        size out of range."""
        self._check_joined()
        stream = EventStream(maxsize, types, on_close=self._forget_events)
        with self._lock:
            self._event_streams.add(stream)
        return stream

    @overload
    def on(self, event_class: EventClasses) -> Callable[[Handler], Handler]: ...

    @overload
    def on(self, event_class: EventClasses, handler: Handler) -> Handler: ...

    def on(self, event_class: EventClasses, handler: Optional[Handler] = None) -> Any:
        """Call `handler` with every event of `event_class` (a class such as UserJoined, or a
        tuple of them) from now on; returns `handler`. Used as a decorator without it::

            @channel.on(velto.UserJoined)
            def greet(event):
                print("hello", event.uid)

        Registered outside a coroutine, handlers run on one thread of the layer for the
        channel, in the order they were registered, one event after the other. An error in
        one is printed and raised again in the thread that registered it, as an error of a
        processor is; the next handlers still run. Registered from a coroutine, they run on
        its event loop instead and may be coroutine functions, each awaited in turn; an error
        there goes to the loop's exception handler.

        Handlers see the events queued until the channel is left, then end; ``leave()`` waits
        for the thread to finish the handler it runs. TypeError for something other than an
        event class or a callable, or for a coroutine function registered outside a
        coroutine."""
        def add(function: Handler) -> Handler:
            self._handlers.add(event_class, function)
            return function

        return add if handler is None else add(handler)

    def off(self, target: Union[EventClasses, Callable[..., Any]],
            handler: Optional[Callable[..., Any]] = None) -> None:
        """Stop calling handlers: ``off(f)`` stops `f` for every class, ``off(UserJoined)``
        every handler of UserJoined, ``off(UserJoined, f)`` `f` for UserJoined only. An event
        being handled may still reach the handlers after it. ValueError if none matched."""
        if isinstance(target, (type, tuple)):
            self._handlers.remove(target, handler)
        elif handler is None:
            self._handlers.remove(None, target)
        else:
            raise TypeError("off(event_class, handler): %r is not an event class" % (target,))

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
        router.add_stream(stream.buffer)
        return stream

    def video_frames(self, uid: Optional[int] = None, *, kinds: Optional[Iterable[StreamKind]] = None,
                     maxsize: int = 8, overflow: Overflow = "drop_oldest"
                     ) -> FrameStream[VideoFrame]:
        """Video frames from now on; as audio_frames. With video off (no
        ``engine.enable_video()`` yet) none come: the first such stream warns once with a
        RuntimeWarning."""
        self._check_joined()
        self.engine._warn_if_video_off()
        router = self.engine._video
        stream: FrameStream[VideoFrame] = FrameStream(uid, _kinds(kinds, VIDEO_KINDS), maxsize,
                                                      overflow, router.remove_stream)
        router.add_stream(stream.buffer)
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

    # --- publishing --------------------------------------------------------------------------

    def publish_audio(self, source: AudioSource, *, sample_rate: int = 48000,
                      channels: Optional[int] = None, buffer_frames: int = 20) -> Publication:
        """Send `source` as this user's audio, in place of the microphone, until it ends.

        `source` is one of:

        - bytes (or bytearray, memoryview) of 16-bit signed little-endian PCM, interleaved, at
          `sample_rate` samples a second and `channels` channels (default 1);
        - a numpy array of int16 samples, or of floats from -1 to 1: shape (samples,) for
          `channels` channels interleaved (default 1), or (samples, channels);
        - an iterable or async iterable of such blocks, of any length each, or of AudioFrame
          (each in its own format), such as another user's ``audio_frames``; an async iterable
          is read by a task of the running event loop, so publish it from a coroutine (one
          that is both, as a FrameStream, is read by a thread outside a coroutine);
        - the path of a media file (str or os.PathLike), whose first audio stream is decoded
          by PyAV (``pip install "pyveltosdk[media]"``).

        The media is converted to the format of the recorded frames the engine hands over
        (their samples, channels and rate; a file through PyAV's resampler, other sources by
        linear interpolation, which needs numpy) and cut into those frames. A thread of the
        layer (or the asyncio task) reads and converts the source ahead of the engine into a
        buffer of `buffer_frames` frames; on the engine's thread a frame only takes the next
        one, never waiting. A frame that finds the buffer empty, also before the first or
        while a slow source is late, goes out as silence, counted in ``underruns`` once
        publishing has started. The rest of the source then plays on: nothing is skipped.

        Returns a running Publication; it ends when the source is exhausted and its last
        frame was sent (a last partial frame is completed with silence), on ``stop()``, when
        the channel is left, or when the source raises. Then the microphone's own frames go
        out again (``engine.mute_local_audio()`` sends nothing instead). One audio
        publication runs at a time in a channel: RuntimeError while another one runs.

        Raises TypeError or ValueError for a source of the wrong type or shape, at once; errors
        met later, while reading an iterable or decoding a file, end the publication and are
        raised by its ``wait()`` or ``await``. Needs the StreamKind.RECORD frames of a
        processor: with ``mute_local_audio()`` or audio off the engine asks for none, and
        publishing waits.
        """
        return start_audio(self, source, sample_rate=sample_rate, channels=channels,
                           buffer_frames=buffer_frames)

    def publish_video(self, source: VideoSource, *, width: Optional[int] = None,
                      height: Optional[int] = None, fps: Optional[float] = None,
                      buffer_frames: int = 4) -> Publication:
        """Send `source` as this user's video, in place of the camera, until it ends.

        `source` is one of:

        - bytes (or bytearray, memoryview) of I420 pictures of `width` x `height` (the luma
          plane, then the two chroma planes of ``(width + 1) // 2`` x ``(height + 1) // 2``),
          one picture or several one after another;
        - a uint8 numpy array of the same bytes; an array of shape (height * 3 // 2, width), as
          I420 is often laid out, gives the size itself;
        - an iterable or async iterable of such pictures, or of VideoFrame (each of its own
          size); an async iterable is read as for publish_audio;
        - the path of a media file (str or os.PathLike), whose first video stream is decoded
          by PyAV (``pip install "pyveltosdk[media]"``), shown at its own times.

        Each picture is scaled to the size of the captured frames the engine hands over (a
        file's by PyAV, other sources nearest-neighbour with numpy when the sizes differ). With
        `fps`, pictures are shown at that rate and a file at its own; the engine's frame shows
        the latest picture due, so a faster source skips pictures and a slower one repeats
        them. Without `fps`, each engine frame takes the next picture. A thread of the layer
        (or the asyncio task) converts ahead of the engine into a buffer of `buffer_frames`
        pictures; on the engine's thread a frame never waits. When the buffer is empty the
        last picture is shown again (black before the first), counted in ``underruns`` while
        the source is late.

        Returns a running Publication, which ends as for publish_audio; then the camera's own
        frames go out again. Needs video on (``engine.enable_video()``): without it the
        engine asks for no StreamKind.CAPTURE frames, and publishing waits. Raises as
        publish_audio.
        """
        return start_video(self, source, width=width, height=height, fps=fps,
                           buffer_frames=buffer_frames)
