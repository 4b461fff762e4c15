"""Live calls: switching them on and off, reading the settings and switches they run with, and
reading the code a test pattern carries."""

from __future__ import annotations

import ctypes
from typing import Any, Dict, Optional, Tuple

from ._library import declare, read_json

_set_live = declare("vsim_set_live", None, ctypes.c_int)
_live = declare("vsim_live", ctypes.c_int)
_settings_json = declare("vsim_settings_json", ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t)

#: Peak of every synthetic tone.
TONE_AMPLITUDE = 8192


def set_live(on: Optional[bool]) -> None:
    """Live calls for engines that join from now on: True on, False off, None as the
    environment variable VELTO_SIM_LIVE says (unset: on)."""
    _set_live(-1 if on is None else (1 if on else 0))


def live() -> bool:
    """Whether an engine joining now would start a live call."""
    return bool(_live())


def settings() -> Dict[str, Any]:
    """The current engine's live settings and switches, and whether it is in a live call:
    {"settings": {"video": {...}, "audio": {...}, "stats": {...}, "users": [...]},
    "switches": {"audio": bool, "video": bool, ...}, "inCall": bool}. The last engine
    released stands in while none is alive; the defaults while none ever was."""
    return read_json(_settings_json)


def decode_pattern(y: bytes, width: int, height: int) -> Optional[Tuple[int, int]]:
    """(uid, frame number) from the code in the bottom row of a test pattern's Y plane,
    or None when the frame carries no readable code (too narrow, or overwritten)."""
    cell = width // 64
    if cell == 0 or height < 1 or len(y) < width * height:
        return None
    row = y[(height - 1) * width:height * width]
    code = 0
    for i in range(64):
        value = row[i * cell + cell // 2]
        if value >= 200:
            code = code << 1 | 1
        elif value <= 50:
            code <<= 1
        else:
            return None
    return code >> 32, code & 0xFFFFFFFF
