"""Notifications and frames delivered on an engine thread, the way the engine calls the
module: ``fire`` for the event handler, ``deliver_audio`` and ``deliver_video`` for the frame
observers, and ``observer_options`` for what the observers ask for."""

from __future__ import annotations

import ctypes
from typing import Any, Dict, Optional, Tuple, Type

import _pyveltosdk as _sdk

from ._library import SimError, declare, wrap
from .records import EVENT_RECORDS

_c_int = ctypes.c_int
_c_size = ctypes.c_size_t
_c_ptr = ctypes.c_void_p
_fire = declare("vsim_fire", _c_int, ctypes.c_char_p, ctypes.c_uint32, _c_int, _c_ptr, _c_size,
                _c_int, _c_int)
_deliver_audio = declare("vsim_deliver_audio", _c_int, _c_int, ctypes.c_uint32, _c_int, _c_int,
                         _c_int, _c_int, _c_ptr, _c_size, _c_int, _c_int)
_deliver_video = declare("vsim_deliver_video", _c_int, _c_int, ctypes.c_uint32, _c_int, _c_int,
                         _c_ptr, _c_size, _c_ptr, _c_size, _c_ptr, _c_size, _c_int, _c_int)
_observer_options = declare("vsim_observer_options", _c_int, ctypes.POINTER(_c_int))

# Stream types for deliver_audio / deliver_video: the module's own constants.
#: The local microphone's frames (uid 0).
AUDIO_RECORD: int = _sdk.StreamAudioRecord
#: The mixed playback (uid 0).
AUDIO_PLAY: int = _sdk.StreamAudioPlay
#: Recording and playback mixed (uid 0).
AUDIO_MIX: int = _sdk.StreamAudioMix
#: One remote user's playback before mixing (that user's uid).
AUDIO_PLAY_BEFORE_MIX: int = _sdk.StreamAudioPlayBeforeMix
#: The local camera's frames (uid 0).
VIDEO_CAPTURE: int = _sdk.StreamVideoCap
#: One remote user's video (that user's uid).
VIDEO_RENDER: int = _sdk.StreamVideoRender


def _timeout_ms(timeout: Optional[float]) -> int:
    return -1 if timeout is None else min(max(0, int(timeout * 1000)), 2 ** 31 - 1)


def _build_record(record_type: Type[ctypes.Structure], uid: int,
                  fields: Dict[str, int]) -> ctypes.Structure:
    record = record_type()
    types = dict(record_type._fields_)
    for name, value in fields.items():
        if name not in types:
            raise TypeError("%s has no field %r" % (record_type.__name__, name))
        setattr(record, name, wrap(value, types[name]))
    if "uid" in types:
        record.uid = wrap(uid, ctypes.c_uint32)
    return record


def fire(event: str, uid: int = 0, arg: int = 0, *, thread: int = 0,
         timeout: Optional[float] = 5.0, **stats_fields: int) -> None:
    """Fire the event handler's notification `event` on engine thread `thread` (0..3) and wait
    until the module returned (timeout in seconds, None = no limit).

    For the notifications in EVENT_RECORDS the keyword arguments fill the record's fields by
    their engine names (unused* slots included); fields not given are 0 and values wrap to the
    field's width. Raises SimError (-1 no event handler, -2 timeout, -3 unknown event, -5 no
    such thread)."""
    record_type = EVENT_RECORDS.get(event)
    record = None
    if record_type is not None:
        record = _build_record(record_type, uid, stats_fields)
    elif stats_fields:
        raise TypeError("%s carries no record; unexpected %s"
                        % (event, ", ".join(sorted(stats_fields))))
    result = _fire(event.encode("utf-8"), wrap(uid, ctypes.c_uint32), wrap(arg, ctypes.c_int32),
                   None if record is None else ctypes.addressof(record),
                   0 if record is None else ctypes.sizeof(record),
                   thread, _timeout_ms(timeout))
    if result != 0:
        raise SimError(result, "fire(%r)" % event)


def _buffer(data: Optional[bytes], length: Optional[int]) -> Tuple[Any, int]:
    """A writable copy of `data` of `length` bytes (zero-padded or cut), or (None, 0)."""
    if data is None:
        return None, 0
    size = len(data) if length is None else length
    # At least one byte so an empty buffer still has an address.
    buffer = (ctypes.c_char * max(size, 1))()
    ctypes.memmove(buffer, bytes(data), min(size, len(data)))
    return buffer, size


def deliver_audio(stream_type: int, data: Optional[bytes], *, uid: int = 0,
                  samples: Optional[int] = None, bytes_per_sample: int = 2, channels: int = 1,
                  samples_per_sec: int = 48000, buffer_len: Optional[int] = None,
                  thread: int = 0, timeout: Optional[float] = 5.0
                  ) -> Tuple[int, Optional[bytes]]:
    """Deliver an audio frame (AUDIO_RECORD, AUDIO_PLAY, AUDIO_MIX, AUDIO_PLAY_BEFORE_MIX with
    `uid`) through the attached audio observer on engine thread `thread`.

    `data` None gives the observer a null buffer. `samples` defaults to
    len(data) // (bytes_per_sample * channels); `buffer_len` makes the engine's buffer that many
    bytes regardless of the frame fields. Returns (answer, bytes after the call): answer is the
    observer's 1/0, or -1 when no audio observer is attached. Raises SimError on timeout (-2),
    bad stream type (-3), a write outside the buffer (-4) or a bad thread index (-5)."""
    if samples is None:
        frame_bytes = bytes_per_sample * channels
        samples = 0 if data is None or frame_bytes <= 0 else len(data) // frame_bytes
    buffer, size = _buffer(data, buffer_len)
    result = _deliver_audio(stream_type, wrap(uid, ctypes.c_uint32), samples, bytes_per_sample,
                            channels, samples_per_sec, buffer, size, thread, _timeout_ms(timeout))
    if result < -1:
        raise SimError(result, "deliver_audio")
    return result, None if buffer is None else buffer.raw[:size]


def deliver_video(stream_type: int, width: int, height: int, y: Optional[bytes],
                  u: Optional[bytes], v: Optional[bytes], *, uid: int = 0, thread: int = 0,
                  timeout: Optional[float] = 5.0
                  ) -> Tuple[int, Tuple[Optional[bytes], Optional[bytes], Optional[bytes]]]:
    """Deliver an I420 video frame (VIDEO_CAPTURE, or VIDEO_RENDER with `uid`) through the
    attached video observer on engine thread `thread`. Each plane is copied into engine memory
    of exactly its length (None gives a null plane); strides are width and (width + 1) // 2.

    Returns (answer, (y, u, v) after the call); answer -1 when no video observer is attached.
    Raises SimError like deliver_audio."""
    planes = [_buffer(plane, None) for plane in (y, u, v)]
    result = _deliver_video(stream_type, wrap(uid, ctypes.c_uint32), width, height,
                            planes[0][0], planes[0][1], planes[1][0], planes[1][1],
                            planes[2][0], planes[2][1], thread, _timeout_ms(timeout))
    if result < -1:
        raise SimError(result, "deliver_video")
    after = tuple(None if buffer is None else buffer.raw[:size] for buffer, size in planes)
    return result, after  # type: ignore[return-value]


_OPTION_NAMES = ("audioOption1", "audioOption2", "videoOption1", "videoOption2", "videoOption3",
                 "videoOption4", "videoOption5", "videoOption6", "videoOption7", "videoOption8")


def observer_options() -> Dict[str, int]:
    """Ask the attached observers their options on engine thread 0: {"audioOption1": 0/1, ...,
    "videoOption2": int, ...}. Raises SimError(-1) when an observer is missing."""
    out = (ctypes.c_int * len(_OPTION_NAMES))()
    result = _observer_options(out)
    if result != 0:
        raise SimError(result, "observer_options")
    return dict(zip(_OPTION_NAMES, out))
