"""Media pushed from Python for the local user or a pattern user, played by the engine at real
time in place of its tone, pattern or file."""

from __future__ import annotations

import ctypes
import time
from typing import Any, Optional

from ._library import SimError, declare, wrap

_push_audio = declare("vsim_push_audio", ctypes.c_int, ctypes.c_uint32, ctypes.c_char_p,
                      ctypes.c_size_t, ctypes.c_int, ctypes.c_int)
_push_video = declare("vsim_push_video", ctypes.c_int, ctypes.c_uint32, ctypes.c_int,
                      ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t)
_push_end = declare("vsim_push_end", None, ctypes.c_uint32)

#: The most audio one push_audio call hands the engine at once; longer pushes go in pieces.
PUSH_AUDIO_MAX_SECONDS = 0.1


def _push(attempt: Any, uid: int, timeout: Optional[float], what: str) -> None:
    """Calls attempt() until the engine takes the media; waits while its queue is full."""
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        result = attempt()
        if result == 0:
            return
        if result == -1:
            raise SimError(result, what, "no engine: initialize first")
        if result == -4:
            raise SimError(result, what, "uid %d is neither the local user (0) nor a pattern "
                           "user of the engine's sim.users" % uid)
        if result != -2:
            raise SimError(result, what, "the engine refused the size or format")
        if deadline is not None and time.monotonic() >= deadline:
            raise TimeoutError("%s: the engine took nothing for %.1f s; it plays pushed media "
                               "only during a call" % (what, timeout or 0.0))
        time.sleep(0.005)


def push_audio(pcm: bytes, sample_rate: int, channels: int, *, uid: int = 0,
               timeout: Optional[float] = 5.0) -> None:
    """Push 16-bit interleaved PCM (native byte order) for the local user (uid 0) or a pattern
    user of sim.users; the engine converts it to that sender's format and plays it at real
    time in place of its tone or file, silence when the queue runs dry, until end_push(uid).

    Blocks while the engine's queue (one second) is full, so a loop of pushes is paced by the
    call; raises TimeoutError when nothing could be queued for `timeout` seconds (None: no
    limit), ValueError for a wrong size or format, SimError when there is no engine or `uid`
    plays no pushed media."""
    data = bytes(pcm)
    if channels not in (1, 2):
        raise ValueError("channels must be 1 or 2, not %r" % (channels,))
    if not 1000 <= sample_rate <= 384000:
        raise ValueError("sample_rate must be from 1000 to 384000, not %r" % (sample_rate,))
    frame = 2 * channels
    if not data or len(data) % frame:
        raise ValueError("pcm must be whole frames of %d bytes (16-bit samples, %d channel%s), "
                         "got %d bytes" % (frame, channels, "s"[:channels - 1], len(data)))
    step = max(1, int(sample_rate * PUSH_AUDIO_MAX_SECONDS)) * frame
    for start in range(0, len(data), step):
        piece = data[start:start + step]
        _push(lambda: _push_audio(wrap(uid, ctypes.c_uint32), piece, len(piece), sample_rate,
                                  channels), uid, timeout, "push_audio")


def push_video(i420: bytes, width: int, height: int, *, uid: int = 0,
               timeout: Optional[float] = 5.0) -> None:
    """Push one I420 frame (the Y, U and V planes one after another) for the local user
    (uid 0) or a pattern user of sim.users; the sender shows it in place of its pattern or
    file at its own frame rate, repeating the last frame while no new one is queued, until
    end_push(uid). Sizes are even, 2..3840 by 2..2160, and may change from frame to frame.

    Blocks while the engine's queue (8 frames) is full; errors as for push_audio."""
    data = bytes(i420)
    if not (2 <= width <= 3840 and 2 <= height <= 2160 and width % 2 == 0
            and height % 2 == 0):
        raise ValueError("width and height must be even, 2..3840 by 2..2160, not %rx%r"
                         % (width, height))
    expected = width * height * 3 // 2
    if len(data) != expected:
        raise ValueError("an I420 frame of %dx%d is %d bytes, got %d"
                         % (width, height, expected, len(data)))
    _push(lambda: _push_video(wrap(uid, ctypes.c_uint32), width, height, data, len(data)),
          uid, timeout, "push_video")


def end_push(uid: int = 0) -> None:
    """End the push for `uid`: media still queued is dropped and the sender plays its own
    tone, pattern or file again."""
    _push_end(wrap(uid, ctypes.c_uint32))
