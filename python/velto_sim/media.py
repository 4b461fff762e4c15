"""Play any media file into a simulated call: MP3, MP4, WebM, OGG, ... decoded with PyAV.

WAV and Y4M play without help through the ``sim.audio.file`` / ``sim.video.file`` settings;
every other format goes through :func:`play_file`, which decodes it with PyAV (the optional
extra ``media``: ``python -m pip install "pyveltosdk[media]"``, or
``python -m pip install av numpy``) and pushes its audio and video with
:func:`velto_sim.push_audio` and :func:`velto_sim.push_video`, so the engine paces it at real
time::

    import _pyveltosdk as sdk
    import velto_sim
    from velto_sim import media

    sdk.initialize("{}")
    sdk.enableVideo(True)
    sdk.joinChannel("", "demo", 0)
    media.play_file("talk.mp4")           # returns when the file has been handed over
"""

from __future__ import annotations

import ctypes
import os
import threading
import time
from typing import Any, Callable, Dict, Optional

import velto_sim

from . import _declare

__all__ = ["check_file", "play_file", "start_playing", "MISSING_PYAV", "NATIVE"]

#: The format each kind of media plays in without PyAV, by its file extension.
NATIVE = {"audio": ".wav", "video": ".y4m"}

_check_media_file = _declare("vsim_check_media_file", ctypes.c_int, ctypes.c_int,
                             ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t)

#: What to install when PyAV is missing.
MISSING_PYAV = ("decoding this file needs PyAV: python -m pip install \"pyveltosdk[media]\" "
                "(or python -m pip install av numpy); WAV and Y4M files play without it")


def _import_av() -> Any:
    try:
        import av  # type: ignore[import-not-found,import-untyped,unused-ignore]
    except ImportError as error:
        raise ImportError(MISSING_PYAV) from error
    return av


def check_file(path: str, kind: str) -> Optional[str]:
    """Why the file at `path` cannot play as a sender's `kind` ("audio" or "video"), in a few
    words, or None when it can. A WAV file (audio) or Y4M file (video) is checked as a call
    opens it; any other file is opened with PyAV and the first frame of that kind decoded.
    Raises ImportError, saying what to install, when the file needs PyAV and it is missing."""
    if kind not in NATIVE:
        raise ValueError("kind must be 'audio' or 'video', not %r" % (kind,))
    if os.path.isdir(path):
        return "is a folder, not a file"
    if not os.path.exists(path):
        return "no such file"
    extension = os.path.splitext(path)[1].lower()
    other = "video" if kind == "audio" else "audio"
    if extension == NATIVE[other]:
        return "a %s file holds %s only" % (extension[1:].upper(), other)
    if extension == NATIVE[kind]:
        reason = ctypes.create_string_buffer(512)
        if _check_media_file(int(kind == "video"), os.fsencode(path), reason, len(reason)) == 0:
            return None
        return reason.value.decode("utf-8", "replace") or "cannot play it"
    av = _import_av()
    try:
        with av.open(path) as container:
            streams = getattr(container.streams, kind)
            if not streams:
                return "it holds no %s" % kind
            for _ in container.decode(streams[0]):
                return None
            return "no %s frame in it decodes" % kind
    except (av.FFmpegError, OSError, ValueError) as error:
        return "cannot read it: %s" % (getattr(error, "strerror", None) or error)


def _sender_fps(uid: int) -> int:
    """The frame rate at which the sender `uid` shows pushed frames."""
    settings = velto_sim.settings()["settings"]
    if uid == 0:
        return int(settings["video"]["fps"])
    for user in settings["users"]:
        if user["uid"] == uid:
            return int(user["fps"])
    return int(settings["video"]["fps"])


def _i420(frame: Any) -> Any:
    """(bytes, width, height) of a decoded picture as even-sized I420, its rows without the
    decoder's padding (PyAV's to_ndarray cuts each plane to its width)."""
    width, height = frame.width & ~1, frame.height & ~1
    if frame.format.name != "yuv420p" or (width, height) != (frame.width, frame.height):
        frame = frame.reformat(width=width, height=height, format="yuv420p")
    return frame.to_ndarray().tobytes(), width, height


def _hand_over(push: Callable[..., None], stop: threading.Event,
               timeout: Optional[float]) -> bool:
    """push(timeout=...) retried in short waits, so that `stop` ends a wait for room at once;
    False when stopped first. TimeoutError once nothing was taken for `timeout` seconds."""
    deadline = None if timeout is None else time.monotonic() + timeout
    while not stop.is_set():
        try:
            push(timeout=0.05)
            return True
        except TimeoutError:
            if deadline is not None and time.monotonic() >= deadline:
                raise
    return False


def play_file(path: str, *, uid: int = 0, audio: bool = True, video: bool = True,
              loop: bool = False, stop: Optional[threading.Event] = None,
              timeout: Optional[float] = 10.0) -> Dict[str, int]:
    """Decode the file at `path` and push its audio (16-bit, at the file's rate, mono or
    stereo) and video (I420, even sizes, resampled to the sender's frame rate) as the local
    user (uid 0) or a pattern user of sim.users. Returns when everything was handed over, or
    when `stop` is set: the engine's queues then still hold up to a second of it. `loop`
    starts again at the end until `stop` is set. Returns what was pushed: {"audio": samples,
    "video": frames}.

    Raises ImportError (saying what to install) without PyAV, PyAV's errors for a file it
    cannot read, and what push_audio / push_video raise (TimeoutError when the engine takes
    nothing for `timeout` seconds: no call is running). The counts are audio samples (per
    channel, at the file's rate) and video frames pushed."""
    av = _import_av()
    stop = stop if stop is not None else threading.Event()
    pushed = {"audio": 0, "video": 0}
    fps = _sender_fps(uid)
    while not stop.is_set():
        with av.open(path) as container:
            streams = []
            if audio and container.streams.audio:
                streams.append(container.streams.audio[0])
            if video and container.streams.video:
                streams.append(container.streams.video[0])
            if not streams:
                raise ValueError("%s has no %s stream" % (path, "audio or video"
                                                          if audio and video else
                                                          "audio" if audio else "video"))
            resampler = None
            held = None  # the last picture, shown until the sender's next tick passes it
            shown = 0    # ticks of the sender's frame rate already pushed
            for decoded in container.decode(*streams):
                if stop.is_set():
                    break
                if isinstance(decoded, av.AudioFrame):
                    if resampler is None:
                        layout = "mono" if len(decoded.layout.channels) == 1 else "stereo"
                        resampler = av.AudioResampler(format="s16", layout=layout,
                                                      rate=decoded.sample_rate)
                    for chunk in resampler.resample(decoded):
                        channels = 1 if chunk.layout.name == "mono" else 2
                        size = chunk.samples * 2 * channels
                        data = bytes(chunk.planes[0])[:size]
                        # Pieces push_audio takes whole, so that a retry never repeats any.
                        step = (int(chunk.sample_rate * velto_sim.PUSH_AUDIO_MAX_SECONDS)
                                * 2 * channels)
                        for start in range(0, size, step):
                            piece = data[start:start + step]
                            if _hand_over(lambda **wait: velto_sim.push_audio(
                                    piece, chunk.sample_rate, channels, uid=uid, **wait),
                                    stop, timeout):
                                pushed["audio"] += len(piece) // (2 * channels)
                    continue
                when = float(decoded.time or 0.0)
                # Each tick of the sender shows the latest picture due by then.
                while held is not None and shown / fps < when and _hand_over(
                        lambda **wait: velto_sim.push_video(*held, uid=uid, **wait),
                        stop, timeout):
                    pushed["video"] += 1
                    shown += 1
                held = _i420(decoded)
            if held is not None and _hand_over(
                    lambda **wait: velto_sim.push_video(*held, uid=uid, **wait), stop, timeout):
                pushed["video"] += 1
        if not loop:
            break
    return pushed


def start_playing(path: str, **options: Any) -> Any:
    """play_file on a daemon thread; returns (thread, stop event: the one given as `stop`, or a
    new one). Set the event to stop early. Errors are printed by the thread and end it."""
    stop = options.get("stop") or threading.Event()
    options["stop"] = stop
    thread = threading.Thread(target=play_file, args=(path,), kwargs=options,
                              name="velto-play", daemon=True)
    thread.start()
    return thread, stop
