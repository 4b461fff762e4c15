"""Checks of the arguments the Pythonic layer hands to the engine, made before the engine is
called, so that a wrong value is a ValueError or TypeError saying why instead of an engine
result or a value the engine silently wraps.
"""

from __future__ import annotations

import enum
import json
import operator
from typing import Any, Mapping, Type, TypeVar, Union

__all__ = ["MAX_CHANNEL_NAME_BYTES", "MAX_UID", "uid_of", "channel_name_of", "member_of",
           "init_text_of"]

#: The largest uid: the engine's uids are unsigned 32-bit.
MAX_UID = 0xFFFFFFFF

#: The longest channel name, in UTF-8 bytes. The engine takes names up to this length (the
#: simulated engine more, up to 1024 bytes between processes); the layer holds every program to
#: the tighter limit, so that one that works on the simulated engine works on the real one.
MAX_CHANNEL_NAME_BYTES = 64

E = TypeVar("E", bound=enum.IntEnum)


def uid_of(uid: int, what: str = "uid") -> int:
    """`uid` as an int from 0 to MAX_UID; TypeError for a non-integer, ValueError outside."""
    if isinstance(uid, bool):
        raise TypeError("%s must be an int, not bool" % what)
    try:
        value = operator.index(uid)
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (what, type(uid).__name__)) from None
    if not 0 <= value <= MAX_UID:
        raise ValueError("%s must be from 0 to %d (unsigned 32-bit), not %d"
                         % (what, MAX_UID, value))
    return value


def channel_name_of(name: str) -> str:
    """`name` when the engine can join a channel of that name, else ValueError saying why."""
    if not isinstance(name, str):
        raise TypeError("the channel name must be a str, not %s" % type(name).__name__)
    if not name:
        raise ValueError("the channel name is empty; a channel needs a name")
    if "\0" in name:
        raise ValueError("the channel name contains a NUL character")
    length = len(name.encode("utf-8", "surrogatepass"))
    if length > MAX_CHANNEL_NAME_BYTES:
        raise ValueError("the channel name is %d bytes long in UTF-8; the engine takes at most %d"
                         % (length, MAX_CHANNEL_NAME_BYTES))
    return name


def _allowed(kind: Type[enum.IntEnum]) -> str:
    return ", ".join("%s (%d)" % (member.name, member.value) for member in kind)


def member_of(kind: Type[E], value: Union[E, str, int], what: str) -> E:
    """The member of `kind` that `value` names: a member, its name in any case, or its number.
    A wrong value raises ValueError (TypeError for another type) naming the allowed ones."""
    if isinstance(value, kind):
        return value
    if isinstance(value, enum.Enum) or isinstance(value, bool):
        raise TypeError("%s must be a %s, its name or its number, not %r; one of %s"
                        % (what, kind.__name__, value, _allowed(kind)))
    if isinstance(value, str):
        found = kind.__members__.get(value.strip().upper())
        if found is not None:
            return found
    elif isinstance(value, int):
        try:
            return kind(value)
        except ValueError:
            pass
    else:
        raise TypeError("%s must be a %s, its name or its number, not %s; one of %s"
                        % (what, kind.__name__, type(value).__name__, _allowed(kind)))
    raise ValueError("no %s %r; one of %s" % (what, value, _allowed(kind)))


def init_text_of(init: Union[str, Mapping[str, Any]]) -> str:
    """The engine's initialisation text: a mapping as JSON, a JSON object's text as it is, an
    empty (or blank) text as "" (the engine's defaults). Other text raises ValueError."""
    if isinstance(init, Mapping):
        return json.dumps(init)
    if not isinstance(init, str):
        raise TypeError("the initialisation must be a mapping or a JSON text, not %s"
                        % type(init).__name__)
    if not init.strip():
        return ""
    try:
        parsed = json.loads(init)
    except ValueError as error:
        raise ValueError("the initialisation text is not JSON (%s): %.60r" % (error, init)
                         ) from None
    if not isinstance(parsed, dict):
        raise ValueError("the initialisation text must be a JSON object, not %s: %.60r"
                         % (type(parsed).__name__, init))
    return init
