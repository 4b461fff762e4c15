"""Typed frames: what the engine hands a processor or a frame iterator.

A frame is a frozen dataclass over the bytes the engine's frame callback received: its planes
are read-only memoryviews of those bytes, never copies. ``to_ndarray()`` views the same memory
through numpy (an optional extra: ``pip install "pyveltosdk[numpy]"``).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Tuple, TypeVar, Union

import _pyveltosdk as _sdk

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["StreamKind", "AudioFrame", "VideoFrame", "i420_to_rgb"]

#: What a frame's planes may be given as to ``replace``: anything with the buffer protocol.
Buffer = Union[bytes, bytearray, memoryview, Any]


class StreamKind(enum.IntEnum):
    """Where a frame comes from; the values are the engine's stream types."""

    RECORD = _sdk.StreamAudioRecord  #: the local microphone, before it is sent (uid 0)
    PLAYBACK = _sdk.StreamAudioPlay  #: the mixed audio about to be played (uid 0)
    MIX = _sdk.StreamAudioMix  #: recording and playback mixed (uid 0)
    PLAYBACK_USER = _sdk.StreamAudioPlayBeforeMix  #: one remote user's audio before the mix
    CAPTURE = _sdk.StreamVideoCap  #: the local camera, before it is sent (uid 0)
    RENDER = _sdk.StreamVideoRender  #: one remote user's video (that user's uid)


AUDIO_KINDS = frozenset({StreamKind.RECORD, StreamKind.PLAYBACK, StreamKind.MIX,
                         StreamKind.PLAYBACK_USER})
VIDEO_KINDS = frozenset({StreamKind.CAPTURE, StreamKind.RENDER})


def _bytes_view(data: Buffer) -> memoryview:
    """`data` as a flat memoryview of unsigned bytes (no copy)."""
    view = data if isinstance(data, memoryview) else memoryview(data)
    if view.format != "B" or view.ndim != 1:
        view = view.cast("B")
    return view


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise ImportError("to_ndarray() needs numpy: pip install \"pyveltosdk[numpy]\"") from None
    return numpy


def _read_only(array: "NDArray[Any]") -> "NDArray[Any]":
    array.flags.writeable = False
    return array


_SAMPLE_TYPES = {1: "u1", 2: "<i2", 4: "<i4"}


def _kind_name(kind: object) -> str:
    return kind.name if isinstance(kind, StreamKind) else repr(kind)


@dataclass(frozen=True)
class AudioFrame:
    """One block of interleaved PCM samples (16-bit signed little-endian as the engine gives
    them). ``data`` is a read-only memoryview of the engine's bytes for this call."""

    kind: StreamKind
    uid: int
    samples: int  #: samples per channel
    channels: int
    sample_rate: int
    bytes_per_sample: int
    time: float  #: when it reached Python, in time.monotonic() seconds
    data: memoryview

    def __post_init__(self) -> None:
        object.__setattr__(self, "data", _bytes_view(self.data))

    def __repr__(self) -> str:
        return ("AudioFrame(kind=%s, uid=%d, samples=%d, channels=%d, sample_rate=%d, "
                "bytes_per_sample=%d, time=%.3f, data=<%d bytes>)" % (
                    _kind_name(self.kind), self.uid, self.samples, self.channels,
                    self.sample_rate, self.bytes_per_sample, self.time, self.data.nbytes))

    def replace(self, **changes: Any) -> "AudioFrame":
        """A copy with `changes` (data may be any buffer: bytes, bytearray, a numpy array)."""
        return _replaced(self, changes, ("data",))

    def to_ndarray(self) -> "NDArray[Any]":
        """The samples as a read-only (samples, channels) array over the same memory."""
        np = _numpy()
        dtype = np.dtype(_SAMPLE_TYPES.get(self.bytes_per_sample, "u1"))
        array = np.frombuffer(self.data, dtype=dtype)
        if self.channels > 0 and array.size == self.samples * self.channels:
            array = array.reshape(self.samples, self.channels)
        return _read_only(array)


@dataclass(frozen=True)
class VideoFrame:
    """One I420 picture: a full-size luma plane ``y`` and quarter-size chroma planes ``u`` and
    ``v``, each a read-only memoryview of the engine's bytes for this call."""

    kind: StreamKind
    uid: int
    width: int
    height: int
    time: float  #: when it reached Python, in time.monotonic() seconds
    y: memoryview
    u: memoryview
    v: memoryview

    def __post_init__(self) -> None:
        for name in ("y", "u", "v"):
            object.__setattr__(self, name, _bytes_view(getattr(self, name)))

    def __repr__(self) -> str:
        return ("VideoFrame(kind=%s, uid=%d, width=%d, height=%d, time=%.3f, y=<%d bytes>, "
                "u=<%d bytes>, v=<%d bytes>)" % (
                    _kind_name(self.kind), self.uid, self.width, self.height, self.time,
                    self.y.nbytes, self.u.nbytes, self.v.nbytes))

    def replace(self, **changes: Any) -> "VideoFrame":
        """A copy with `changes` (planes may be any buffer: bytes, bytearray, numpy arrays)."""
        return _replaced(self, changes, ("y", "u", "v"))

    def chroma_size(self) -> Tuple[int, int]:
        """(width, height) of the u and v planes."""
        return _chroma_size(self.width, self.height, len(self.u))

    def to_ndarray(self) -> "Tuple[NDArray[numpy.uint8], ...]":
        """(y, u, v) as read-only 2-D uint8 arrays over the same memory."""
        np = _numpy()
        cw, ch = self.chroma_size()
        return (_read_only(np.frombuffer(self.y, np.uint8).reshape(self.height, self.width)),
                _read_only(np.frombuffer(self.u, np.uint8).reshape(ch, cw)),
                _read_only(np.frombuffer(self.v, np.uint8).reshape(ch, cw)))

    def to_rgb(self) -> "NDArray[numpy.uint8]":
        """The picture as a new (height, width, 3) RGB array; see i420_to_rgb."""
        return i420_to_rgb(self.y, self.u, self.v, self.width, self.height)


def _chroma_size(width: int, height: int, length: int) -> Tuple[int, int]:
    # The module hands width * height // 4 bytes per chroma plane; for even sizes that is the
    # usual half by half, for odd ones the rows are cut short, so only the even part is a picture.
    for cw, ch in (((width + 1) // 2, (height + 1) // 2), (width // 2, height // 2)):
        if cw * ch == length:
            return cw, ch
    raise ValueError("chroma planes of %d bytes do not fit a %dx%d picture"
                     % (length, width, height))


def i420_to_rgb(y: Buffer, u: Buffer, v: Buffer, width: int,
                height: int) -> "NDArray[numpy.uint8]":
    """An I420 picture (BT.601, limited range, as cameras deliver it) as a new
    (height, width, 3) uint8 RGB array. Needs numpy."""
    np = _numpy()
    y_plane = np.frombuffer(_bytes_view(y), np.uint8)
    u_view, v_view = _bytes_view(u), _bytes_view(v)
    cw, ch = _chroma_size(width, height, len(u_view))
    if y_plane.size != width * height or len(v_view) != len(u_view):
        raise ValueError("planes do not fit a %dx%d I420 picture" % (width, height))
    luma = (y_plane.reshape(height, width).astype(np.float32) - 16.0) * 1.164
    # Each chroma sample covers a 2x2 block; repeat it and cut to the picture.
    def upsample(plane: memoryview) -> Any:
        small = np.frombuffer(plane, np.uint8).reshape(ch, cw).astype(np.float32) - 128.0
        return small.repeat(2, axis=0).repeat(2, axis=1)[:height, :width]

    cb, cr = upsample(u_view), upsample(v_view)
    if cb.shape != luma.shape:  # odd sizes cut short: pad the last row/column
        pad = ((0, height - cb.shape[0]), (0, width - cb.shape[1]))
        cb, cr = np.pad(cb, pad, mode="edge"), np.pad(cr, pad, mode="edge")
    rgb = np.empty((height, width, 3), np.float32)
    rgb[..., 0] = luma + 1.596 * cr
    rgb[..., 1] = luma - 0.392 * cb - 0.813 * cr
    rgb[..., 2] = luma + 2.017 * cb
    result: "NDArray[numpy.uint8]" = np.clip(rgb + 0.5, 0, 255).astype(np.uint8)
    return result


# --- the frame path: frames made without __init__ -------------------------------------------
# A processor has well under a microsecond per audio frame; the dataclass __init__ (one
# object.__setattr__ per field, plus __post_init__) costs several. Frames made here carry
# exactly what __init__ would store.

_new = object.__new__
_set = object.__setattr__


def make_video_frame(kind: StreamKind, uid: int, width: int, height: int, time: float,
                     y: bytes, u: bytes, v: bytes) -> VideoFrame:
    frame = _new(VideoFrame)
    _set(frame, "__dict__", {
        "kind": kind, "uid": uid, "width": width, "height": height, "time": time,
        "y": memoryview(y), "u": memoryview(u), "v": memoryview(v)})
    return frame


Frame = TypeVar("Frame", AudioFrame, VideoFrame)


def _replaced(frame: Frame, changes: Dict[str, Any], planes: Tuple[str, ...]) -> Frame:
    """dataclasses.replace without __init__ (a processor's hot path): the same fields, the
    planes given as any buffer turned into byte views."""
    values = frame.__dict__.copy()
    for name, value in changes.items():
        if name not in values:
            raise TypeError("%s has no field %r" % (type(frame).__name__, name))
        values[name] = _bytes_view(value) if name in planes else value
    copy = _new(type(frame))
    _set(copy, "__dict__", values)
    return copy


def answer_bytes(view: memoryview) -> bytes:
    """What the module copies back for a replaced plane: the bytes themselves when the view
    covers a whole bytes object, else a copy."""
    base = view.obj
    if type(base) is bytes and view.nbytes == len(base) and view.contiguous:
        return base
    return view.tobytes()
