"""Control the simulated Velto engine from tests and tools.

``_pyveltosdk`` runs against a simulated engine library, ``libvelto_rtc_sdk.so``
(``velto_rtc_sdk.dll`` on Windows), installed beside it: it journals every operation with its decoded
arguments, runs native engine threads like the real engine and, once a program joins a channel,
a live call with media, remote users and statistics. This package steers it and reads what it
saw::

    import velto_sim

    velto_sim.reset()                          # empty journal, default behaviour
    velto_sim.set_result("joinChannel", -17)   # the next joinChannel calls fail
    velto_sim.fire("onRemoteUserJoined", uid=42, arg=120)     # on engine thread 0

Every public name is importable from the package itself; the modules group them by concern:
``controls`` (the journal and forced failures), ``records`` (notification records),
``delivery`` (notifications and frames on engine threads), ``live`` (live calls), ``push``
(media pushed from Python), ``network`` (calls between processes), ``media`` (any file format,
through PyAV) and ``peer`` (``python -m velto_sim peer``).

The engine's settings, its journal entries and what its switches stop are described in the
documentation, on the page "The simulated engine" (docs/simulated-engine.md).
"""

from __future__ import annotations

import ctypes
from typing import Any, Callable

from . import _library
from ._library import SimError
from .controls import (SDK_STRING, BUILD, VERSION, calls, clear_results, counts,
                       create_gives_null, fail_resolve_path, journal, outstanding_refs,
                       refuse_subinterface, reset, set_result)
from .delivery import (AUDIO_MIX, AUDIO_PLAY, AUDIO_PLAY_BEFORE_MIX, AUDIO_RECORD, VIDEO_CAPTURE,
                       VIDEO_RENDER, deliver_audio, deliver_video, fire, observer_options)
from .live import TONE_AMPLITUDE, decode_pattern, live, set_live, settings
from .push import PUSH_AUDIO_MAX_SECONDS, end_push, push_audio, push_video
from .records import (EVENT_RECORDS, EVENTS, FirstFrameSize, LocalAudioStats, LocalVideoStats,
                      RemoteAudioStats, RemoteVideoStats, RtcStats)

# The loader's names stay reachable here: the network module and the tests use them.
_lib: ctypes.CDLL = _library.lib
_declare: Callable[..., Any] = _library.declare
_read_json: Callable[[Any], Any] = _library.read_json

# Last: the network module reaches the loader through this package.
from .network import network, transport_bench  # noqa: E402

__all__ = [
    "VERSION", "BUILD", "SimError",
    "reset", "journal", "calls",
    "set_result", "clear_results", "refuse_subinterface", "fail_resolve_path",
    "create_gives_null", "counts", "outstanding_refs",
    "fire", "deliver_audio", "deliver_video", "observer_options",
    "RtcStats", "LocalVideoStats", "RemoteVideoStats", "LocalAudioStats",
    "RemoteAudioStats", "FirstFrameSize", "EVENT_RECORDS", "EVENTS",
    "AUDIO_RECORD", "AUDIO_PLAY", "AUDIO_MIX", "AUDIO_PLAY_BEFORE_MIX",
    "VIDEO_CAPTURE", "VIDEO_RENDER", "SDK_STRING",
    "set_live", "live", "settings", "decode_pattern", "TONE_AMPLITUDE",
    "network", "transport_bench",
    "push_audio", "push_video", "end_push", "PUSH_AUDIO_MAX_SECONDS",
]
