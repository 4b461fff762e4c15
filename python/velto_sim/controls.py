"""The journal of what the module called, and the controls that make the engine fail on
purpose: forced results, refused sub-interfaces, a failing ``resolvePath``, no engine at all."""

from __future__ import annotations

import ctypes
from typing import Any, Dict, List, Tuple

from ._library import declare, read_json

_c_int = ctypes.c_int
_c_int_p = ctypes.POINTER(ctypes.c_int)
_reset = declare("vsim_reset", None)
_journal_json = declare("vsim_journal_json", ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t)
_set_result = declare("vsim_set_result", None, ctypes.c_char_p, _c_int)
_clear_results = declare("vsim_clear_results", None)
_refuse_subinterface = declare("vsim_refuse_subinterface", None, _c_int, _c_int)
_fail_resolve_path = declare("vsim_fail_resolve_path", None, _c_int)
_create_gives_null = declare("vsim_create_gives_null", None, _c_int)
_counts = declare("vsim_counts", None, _c_int_p, _c_int_p, _c_int_p)
_outstanding_refs = declare("vsim_outstanding_refs", _c_int, _c_int)
_get_engine_version = declare("getEngineVersion", ctypes.c_char_p, _c_int_p)

#: ``outstanding_refs`` id for the SdkString objects handed out by resolvePath.
SDK_STRING = 5


def _version() -> Tuple[bytes, int]:
    build = ctypes.c_int(0)
    text = _get_engine_version(ctypes.byref(build))
    return text, build.value


#: The engine's version text, as getEngineVersion returns it (e.g. b"4.2.0-sim").
#: Reading it at import journals one getEngineVersion call; reset() clears it.
VERSION, BUILD = _version()


def reset() -> None:
    """Clear the journal, forced results, refusals and switches; restart the engine counters
    (created == alive, released == 0). Outstanding references are kept: they count live
    objects."""
    _reset()


def journal() -> List[Dict[str, Any]]:
    """Every call so far, in order: {"engine", "call", "args", "result"}."""
    return read_json(_journal_json)


def calls(name: str) -> List[Dict[str, Any]]:
    """The args of every journal entry named `name`, in order."""
    return [entry["args"] for entry in journal() if entry["call"] == name]


def set_result(call: str, result: int) -> None:
    """Make the operation `call` ("joinChannel", "EngineParameters.setParameters", ...) return
    `result` until reset() or clear_results()."""
    _set_result(call.encode("utf-8"), result)


def clear_results() -> None:
    """Forget every result set with set_result()."""
    _clear_results()


def refuse_subinterface(id: int, refuse: bool = True) -> None:
    """Make getSubInterface(id) fail (-1) without handing anything out."""
    _refuse_subinterface(id, 1 if refuse else 0)


def fail_resolve_path(fail: bool = True) -> None:
    """Make EngineParameters.resolvePath fail (-1) without handing out a string."""
    _fail_resolve_path(1 if fail else 0)


def create_gives_null(on: bool = True) -> None:
    """Make createEngine return no engine."""
    _create_gives_null(1 if on else 0)


def counts() -> Dict[str, int]:
    """Engines created, alive and released (since the last reset())."""
    created, alive, released = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    _counts(ctypes.byref(created), ctypes.byref(alive), ctypes.byref(released))
    return {"created": created.value, "alive": alive.value, "released": released.value}


def outstanding_refs(id: int) -> int:
    """References handed out and not given back: sub-interface id 1..4, or SDK_STRING (5).
    Negative when the module released more often than it received."""
    return _outstanding_refs(id)
