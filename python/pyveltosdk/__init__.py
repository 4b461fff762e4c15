"""pyveltosdk: the Velto real-time audio/video engine for Python programs.

A typed layer over the ``_pyveltosdk`` extension: the engine and a channel as context managers,
frames as dataclasses with zero-copy numpy views, processors that rewrite frames on the engine's
thread, bounded frame and event iterators (sync and asyncio) that never hold the engine up,
participant events and statistics as dataclasses, and publications that send a program's own
audio and video (``channel.publish_audio(source)``, ``channel.publish_video(source)``)::

    import pyveltosdk as velto

    with velto.Engine() as engine, engine.join("room", uid=7) as channel:
        @channel.audio_processor
        def quieter(frame):
            ...
        for event in channel.events():
            print(event)

or with handlers, run on a thread of the layer (or on the running event loop when registered
from a coroutine)::

        @channel.on(velto.UserJoined)
        def greet(event):
            print("hello", event.uid)
"""

try:
    from importlib.metadata import PackageNotFoundError as _NotFound
    from importlib.metadata import version as _version

    try:
        __version__: str = _version("pyveltosdk")
    except _NotFound:  # imported from a source tree, not installed
        __version__ = "0+unknown"
except ImportError:  # pragma: no cover - importlib.metadata is there from 3.8 on
    __version__ = "0+unknown"

from ._arguments import MAX_CHANNEL_NAME_BYTES, MAX_UID
from ._engine import (AudioProfile, AudioScenario, Channel, ChannelProfile, ClientRole, Engine,
                      EngineError)
from ._events import (ChannelLeft, Event, EventStream, LeaveReason, LocalAudioStats,
                      LocalVideoStats, RemoteAudioStats, RemoteVideoStats, UserJoined, UserLeft)
from ._frames import AudioFrame, StreamKind, VideoFrame, i420_to_rgb
from ._publish import AudioItem, AudioSource, Publication, VideoItem, VideoSource
from ._router import AudioProcessor, VideoProcessor
from ._streams import OVERFLOW_POLICIES, FrameOverflow, FrameStream

__all__ = [
    "Engine", "Channel", "EngineError", "ChannelProfile", "ClientRole", "AudioProfile",
    "AudioScenario",
    "StreamKind", "AudioFrame", "VideoFrame", "i420_to_rgb", "AudioProcessor", "VideoProcessor",
    "FrameStream", "FrameOverflow", "OVERFLOW_POLICIES",
    "Publication", "AudioSource", "VideoSource", "AudioItem", "VideoItem",
    "Event", "EventStream", "UserJoined", "UserLeft", "LeaveReason", "ChannelLeft",
    "LocalVideoStats", "RemoteVideoStats", "LocalAudioStats", "RemoteAudioStats",
    "MAX_CHANNEL_NAME_BYTES", "MAX_UID",
]
