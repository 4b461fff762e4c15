"""Type information for the ``_pyveltosdk`` extension module (the Velto real-time A/V engine)."""

from typing import Callable, Final, List, Optional, Tuple, Union

from typing_extensions import TypeAlias

# --- Frame kinds: the first argument of every frame callback ---------------------------------

StreamAudioRecord: Final = 0
StreamAudioPlay: Final = 1
StreamAudioMix: Final = 2
StreamAudioPlayBeforeMix: Final = 3
StreamVideoCap: Final = 10
StreamVideoRender: Final = 11

# --- Frame callbacks: types for checkers only, the module has no such attributes --------------
# A callback answers with one replacement per buffer: bytes (or str, sent as UTF-8) overwrite
# the start of the buffer, cut to its size, and zero the rest; None or an empty value leaves the
# buffer as it is. Any other answer (None instead of a tuple, a list, a bytearray, a wrong
# length) is a TypeError, raised in the thread that registered the callback.

#: Called on an engine thread for every audio frame as
#: ``(stream_type, uid, samples, channels, samples_per_sec, data) -> (samples,)``.
AudioFrameCallback: TypeAlias = Callable[
    [int, int, int, int, int, bytes], Tuple[Optional[Union[bytes, str]]]]

#: Called on an engine thread for every I420 video frame as
#: ``(stream_type, uid, width, height, y, u, v) -> (y, u, v)``.
VideoFrameCallback: TypeAlias = Callable[
    [int, int, int, int, bytes, bytes, bytes],
    Tuple[Optional[Union[bytes, str]], Optional[Union[bytes, str]], Optional[Union[bytes, str]]]]

# --- Lifecycle ----------------------------------------------------------------------------------

def initialize(initText: str, /) -> None:
    """Create and initialise the engine with its JSON init text; releases any engine first."""

def terminate() -> None:
    """Release the engine; no frame reaches Python afterwards."""

def getVersion() -> bytes:
    """The engine library's version text."""

def setLogPath(path: str, /) -> bool:
    """Set the engine's log file (relative paths resolved by the engine); True on success."""

def logOff() -> bool:
    """Stop the statistics lines for the rest of the process; always True."""

# --- Channel and views --------------------------------------------------------------------------

def setChannelProfile(profile: int, /) -> bool:
    """Set the channel profile; True when the engine accepted it."""

def setClientRole(role: int, /) -> bool:
    """Set the client role; True when the engine accepted it."""

def joinChannel(key: str, channel: str, uid: int, /) -> int:
    """Bind the first added view to the local user, join; 0 joined, -1 no channel, -7 no engine."""

def leaveChannel() -> int:
    """Leave the channel; the engine's result (0 = left), -7 without an engine."""

def addView(view: int, /) -> None:
    """Add a native view handle to the pool the local and remote users are bound to."""

# --- Media --------------------------------------------------------------------------------------

def enableWebSdkInteroperability(enable: object, /) -> bool:
    """Switch interoperability with the web SDK; True when the engine accepted it."""

def setVideoProfile(width: int, height: int, frameRate: int, bitrate: int, /) -> bool:
    """Set the video encoder configuration; True when the engine accepted it."""

def setAudioProfile(profile: int, scenario: int, /) -> bool:
    """Set the audio profile and scenario; True when the engine accepted them."""

def enableVideo(enable: object, /) -> int:
    """Enable (truthy) or disable video; the engine's result (0 = done)."""

def enableAudio(enable: object, /) -> int:
    """Enable (truthy) or disable audio; the engine's result (0 = done)."""

def muteLocalVideo(mute: object, /) -> bool:
    """Stop (truthy) or resume local video capture, rendering and sending; True on success."""

def muteLocalAudio(mute: object, /) -> bool:
    """Mute (truthy) or unmute the local audio; True on success."""

def muteAllRemoteVideoStreams(mute: object, /) -> bool:
    """Stop (truthy) or resume receiving every remote video stream; True on success."""

def muteAllRemoteAudioStreams(mute: object, /) -> bool:
    """Stop (truthy) or resume receiving every remote audio stream; True on success."""

def enableDualStreamMode(enable: object, /) -> bool:
    """Switch sending a second, low-resolution stream; True when the engine accepted it."""

def setParameters(parameters: str, /) -> None:
    """Print ``setParameters:<text>`` on native stdout and hand the text to the engine."""

# --- Frame observers ----------------------------------------------------------------------------

def registerAudioObserver(stream_callback: AudioFrameCallback, /) -> None:
    """Route every raw audio frame through ``stream_callback``; RuntimeError without an engine."""

def registerVideoObserver(stream_callback: VideoFrameCallback, /) -> None:
    """Route every raw video frame through ``stream_callback``; RuntimeError without an engine."""

# --- Private: the engine event queue behind the pyveltosdk package ------------------------------

class _EventQueue:
    """An open engine event queue; made only by ``_event_queue``, not a module attribute."""

    @property
    def dropped(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    @property
    def capacity(self) -> int: ...
    def take(self, max: int = -1, /) -> List[Tuple[int, ...]]:
        """Up to ``max`` waiting events as (kind, monotonic_ns, *fields), oldest first."""
    def wait(self, timeout: Optional[float] = None, /) -> bool:
        """Block with the GIL released until events wait or the queue is closed."""
    def fileno(self) -> int:
        """A descriptor that is readable while events wait, and for good once closed. Closing
        it is harmless: the queue never writes to or closes a number it no longer owns."""
    def members(self) -> List[int]:
        """The uids present now, ascending (a members queue)."""
    def close(self) -> None:
        """Stop receiving events and wake every waiter."""

def _event_queue(capacity: int, kinds: int = ..., this_channel: bool = ..., members: bool = ...,
                 /) -> _EventQueue:
    """Open a bounded queue (1 to 2**20 events) that receives the engine's participant and
    statistics events; with ``this_channel`` only those of the channel joined now (or next);
    with ``members`` it keeps the set of users present instead (``members()``)."""
