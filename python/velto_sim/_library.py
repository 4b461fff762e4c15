"""The simulated engine library as this package reaches it: finding the very library instance
the extension uses, declaring its control functions, and the error its requests raise.

Lookup order: the library already loaded in this process (the one ``_pyveltosdk`` uses), then
``libvelto_rtc_sdk.so`` (``velto_rtc_sdk.dll`` on Windows) beside the package, then the path in ``VELTO_SIM_LIB`` (development
builds only).
"""

from __future__ import annotations

import ctypes
import json
import os
from typing import Any, Optional

_LIB_NAME = "velto_rtc_sdk.dll" if os.name == "nt" else "libvelto_rtc_sdk.so"

# The engine's own entry points are exported by ordinal only on Windows, as the closed library
# exports them (sdk/velto_rtc_sdk.def).
_ORDINALS = {"createEngine": 2, "getEngineVersion": 3}


class SimError(RuntimeError):
    """A control request failed; ``code`` is the library's result."""

    MESSAGES = {
        -1: "no event handler or observer known",
        -2: "the engine thread did not finish in time",
        -3: "unknown event or stream type",
        -4: "the module wrote outside the frame buffer",
        -5: "no such engine thread",
    }

    def __init__(self, code: int, what: str, message: Optional[str] = None) -> None:
        self.code = code
        if message is None:
            message = self.MESSAGES.get(code, "failed")
        super().__init__("%s: %s (%d)" % (what, message, code))


def _load() -> ctypes.CDLL:
    # Tests must steer the very library instance the extension uses; a second copy loaded
    # from another path would have its own journal.
    if os.name == "nt":
        # Windows has no RTLD_NOLOAD: the module's handle, when the extension loaded it.
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined]
        kernel32.GetModuleHandleW.restype = ctypes.c_void_p
        kernel32.GetModuleHandleW.argtypes = [ctypes.c_wchar_p]
        handle = kernel32.GetModuleHandleW(_LIB_NAME)
        if handle:
            return ctypes.CDLL(_LIB_NAME, handle=handle)
    else:
        try:
            return ctypes.CDLL(_LIB_NAME, mode=os.RTLD_NOLOAD)
        except (OSError, AttributeError):
            pass
    # The package is installed beside the extension and the engine library.
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.join(os.path.dirname(here), _LIB_NAME)
    if os.path.exists(beside):
        return ctypes.CDLL(beside)
    dev = os.environ.get("VELTO_SIM_LIB")
    if dev:
        return ctypes.CDLL(dev)
    raise ImportError("%s not found beside %s and VELTO_SIM_LIB is not set"
                      % (_LIB_NAME, __file__))


# CDLL (not PyDLL) releases the GIL during every call: the blocking calls wait for engine
# threads whose callbacks need the GIL.
lib = _load()


def declare(name: str, restype: Any, *argtypes: Any) -> Any:
    """The library's exported function `name`, with its result and argument types set."""
    if os.name == "nt" and name in _ORDINALS:
        function = lib[_ORDINALS[name]]
    else:
        function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)
    return function


def read_json(function: Any) -> Any:
    """Calls a `(buffer, size) -> needed` export until its JSON text fits, and parses it."""
    size = function(None, 0)
    while True:
        buffer = ctypes.create_string_buffer(size + 1)
        needed = function(buffer, size + 1)
        if needed <= size:
            return json.loads(buffer.value.decode("utf-8"))
        size = needed  # engine threads appended meanwhile


def wrap(value: int, ctype: Any) -> int:
    """`value` reduced to the width of `ctype`, two's complement, as the C field would hold it."""
    bits = ctypes.sizeof(ctype) * 8
    value = int(value) & ((1 << bits) - 1)
    if ctype(-1).value < 0 and value >= 1 << (bits - 1):
        value -= 1 << bits
    return value
