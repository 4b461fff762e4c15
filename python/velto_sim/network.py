"""Calls between processes: what this process's live call sees of the channel it shares with
the other processes of the same OS user (see the package docstring, "Calls between processes").
"""

from __future__ import annotations

import ctypes
from typing import Any, Dict, Optional

from . import _declare, _read_json

__all__ = ["network", "transport_bench"]

_network_json = _declare("vsim_network_json", ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t)
_transport_bench = _declare("vsim_transport_bench", ctypes.c_int, ctypes.c_char_p, ctypes.c_int,
                            ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_double))


def network() -> Optional[Dict[str, Any]]:
    """The current engine's membership of the channel between processes, or None when it is in
    no live call or its call stays in this process: {"dir", "channel", "uid" (its own, as
    assigned for 0), "members" (uids of the other processes greeted), "messagesIn", "bytesIn",
    "refused" (malformed, truncated, oversized or foreign messages dropped; connections over
    the bounds, silent for 2 s or greeting as a uid they do not hold), "abandoned" (video
    frames whose pieces did not all arrive), "messagesOut", "bytesOut" (frames' bytes included,
    also those that cross in shared memory), "sendsDropped" (frames a member's full queue did not
    take), "ringsIn" and "ringsOut" (shared-memory rings mapped from members and made for
    them), "slotWaits" (video frames that found every slot of a member's ring still unread),
    "videoReplaced" and "audioDropped" (members' frames that arrived whole but never reached the
    program: a video frame replaced by a newer one before the render thread took it, an audio
    frame pushed out of a member's full 60 ms queue)}."""
    return _read_json(_network_json)


def transport_bench(folder: str, width: int, height: int, frames: int) -> Dict[str, float]:
    """Sends `frames` I420 frames of width x height between two members of a channel in this
    process (rendezvous `folder`), each once the previous one arrived: {"cpu_ns", "wall_ns"}
    per frame, "memcpy_ns" for one copy of the frame's bytes, "arrived"."""
    out = (ctypes.c_double * 4)()
    if _transport_bench(folder.encode(), width, height, frames, out) != 0:
        raise RuntimeError("the transport benchmark's members could not meet in %s" % folder)
    return {"cpu_ns": out[0], "wall_ns": out[1], "memcpy_ns": out[2], "arrived": out[3]}
