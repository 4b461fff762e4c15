"""Event handlers of a channel (``channel.on``): functions called for the events of chosen
classes, beside the iterators, built on the channel's public event streams.

Handlers registered outside a coroutine run on one thread of the layer per channel, which reads
one EventStream and calls them in the order they were registered, event after event. Handlers
registered from a coroutine run on that coroutine's event loop, in a task of their own that
reads another EventStream; a handler there may be a coroutine function, awaited before the next
handler runs. Leaving the channel closes the streams: the handlers see the events queued until
then and end; ``leave()`` waits for the thread unless a handler itself leaves.

An error in a thread's handler goes where the module sends an error of a frame callable: it is
printed as the interpreter prints an uncaught error and raised again, asynchronously, in the
thread that registered the handler (not when that thread has ended or the program has begun to
shut down). On a loop it goes to the loop's exception handler, as an error of any asyncio
callback does. Either way the next handlers and events go on.
"""

from __future__ import annotations

import asyncio
import ctypes
import inspect
import sys
import threading
from typing import (TYPE_CHECKING, Any, Callable, Dict, List, Optional, Set, Tuple, Type,
                    TypeVar, Union)

from ._events import Event, EventStream, kinds_mask

if TYPE_CHECKING:
    from ._engine import Channel

__all__ = ["Handlers", "EventClasses", "Handler"]

#: A handler takes one event; what it returns is ignored (awaited first on a loop).
Handler = TypeVar("Handler", bound=Callable[..., Any])
#: What ``on`` and ``off`` select by: one event class or a tuple of them.
EventClasses = Union[Type[Event], Tuple[Type[Event], ...]]


def classes_of(selected: EventClasses) -> Tuple[Type[Event], ...]:
    """`selected` as a tuple of event classes; TypeError names what is not one."""
    chosen: Tuple[Type[Event], ...] = selected if isinstance(selected, tuple) else (selected,)
    if not chosen:
        raise TypeError("name at least one event class")
    kinds_mask(chosen)  # raises TypeError for anything else
    return chosen


class _Entry:
    __slots__ = ("handler", "classes", "registrar")

    def __init__(self, handler: Callable[..., Any], classes: Tuple[Type[Event], ...],
                 registrar: threading.Thread) -> None:
        self.handler = handler
        self.classes = classes
        self.registrar = registrar


# Exception class -> the class raised in the registering thread (see _class_to_raise).
_raised_for: Dict[Type[BaseException], Type[BaseException]] = {}


def _class_to_raise(kind: Type[BaseException]) -> Type[BaseException]:
    """The first class along `kind`'s method resolution order that can be created without
    arguments: an asynchronous exception is created from its class alone, so a class that needs
    arguments would arrive as an unrelated TypeError. Decided once per class."""
    known = _raised_for.get(kind)
    if known is not None:
        return known
    chosen: Type[BaseException] = BaseException
    for candidate in kind.__mro__:
        if isinstance(candidate, type) and issubclass(candidate, BaseException):
            try:
                made = candidate()
            except Exception:
                continue
            if isinstance(made, candidate):
                chosen = candidate
                break
    if len(_raised_for) >= 256:
        _raised_for.clear()
    _raised_for[kind] = chosen
    return chosen


def _print_uncaught(error: BaseException) -> None:
    """As the interpreter prints an uncaught error, keeping it in sys.last_* as it does."""
    kind, traceback = type(error), error.__traceback__
    if not isinstance(error, SystemExit):
        sys.last_type, sys.last_value, sys.last_traceback = kind, error, traceback
        if sys.version_info >= (3, 12):
            setattr(sys, "last_exc", error)
    try:
        sys.excepthook(kind, error, traceback)
    except BaseException:  # a failing hook: the interpreter's own printing
        sys.__excepthook__(kind, error, traceback)


def _raise_in(registrar: threading.Thread, error: BaseException) -> None:
    """Raises `error`'s class in `registrar` if it still runs its code."""
    if registrar is threading.current_thread() or registrar.ident is None:
        return
    # Not into a thread that ended (its id may be another's now), and not once the main thread
    # has finished the program's code: it then waits for the other threads to finish (the
    # flag, of 3.9 on, is set before the threading module's exit functions run).
    shutting_down = bool(getattr(threading, "_SHUTTING_DOWN", False))
    if not registrar.is_alive() or shutting_down or not threading.main_thread().is_alive() or (
            sys.is_finalizing()):
        return
    ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(registrar.ident),
                                               ctypes.py_object(_class_to_raise(type(error))))


class _Dispatch:
    """The handlers of one way of running them (the thread, or one loop), and their stream."""

    def __init__(self, stream: EventStream) -> None:
        self.stream = stream
        # Replaced whole, never changed in place: the dispatcher iterates a complete set.
        self.entries: Tuple[_Entry, ...] = ()

    def chosen(self, event: Event) -> List[_Entry]:
        return [entry for entry in self.entries if isinstance(event, entry.classes)]


class _ThreadDispatch(_Dispatch):
    def __init__(self, stream: EventStream, name: str) -> None:
        super().__init__(stream)
        self.thread = threading.Thread(target=self._run, name=name, daemon=True)

    def _run(self) -> None:
        for event in self.stream:
            for entry in self.chosen(event):
                try:
                    entry.handler(event)
                except BaseException as error:
                    _print_uncaught(error)
                    _raise_in(entry.registrar, error)


# Tasks of loops still reading: a loop holds its tasks only weakly.
_loop_tasks: "Set[asyncio.Task[None]]" = set()


class _LoopDispatch(_Dispatch):
    def __init__(self, stream: EventStream, loop: asyncio.AbstractEventLoop) -> None:
        super().__init__(stream)
        self.loop = loop
        self.task = loop.create_task(self._run())
        _loop_tasks.add(self.task)
        self.task.add_done_callback(_loop_tasks.discard)

    async def _run(self) -> None:
        async for event in self.stream:
            for entry in self.chosen(event):
                try:
                    result = entry.handler(event)
                    if inspect.isawaitable(result):
                        await result
                except Exception as error:
                    # No "task" key: from 3.12 on, the loop would run a custom exception
                    # handler in that task's context, which is the one running now.
                    self.loop.call_exception_handler({
                        "message": "event handler %r failed on %r" % (entry.handler, event),
                        "exception": error})


def _running_loop() -> Optional[asyncio.AbstractEventLoop]:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


class Handlers:
    """A channel's handlers: what ``Channel.on`` and ``Channel.off`` change."""

    def __init__(self, channel: "Channel") -> None:
        self._channel = channel
        self._lock = threading.Lock()
        self._thread: Optional[_ThreadDispatch] = None
        self._loops: Dict[asyncio.AbstractEventLoop, _LoopDispatch] = {}

    def add(self, selected: EventClasses, handler: Callable[..., Any]) -> None:
        classes = classes_of(selected)
        if not callable(handler):
            raise TypeError("a handler must be callable, not %s" % type(handler).__name__)
        loop = _running_loop()
        if loop is None and inspect.iscoroutinefunction(handler):
            raise TypeError("%r is a coroutine function: register it from a coroutine, so it "
                            "runs on that event loop" % (handler,))
        entry = _Entry(handler, classes, threading.current_thread())
        with self._lock:
            self._channel._check_joined()
            dispatch: _Dispatch
            if loop is None:
                if self._thread is None:
                    self._thread = _ThreadDispatch(
                        self._channel.events(), "pyveltosdk-handlers-%s" % self._channel.name)
                    self._thread.thread.start()
                dispatch = self._thread
            else:
                if loop not in self._loops:
                    self._loops[loop] = _LoopDispatch(self._channel.events(), loop)
                dispatch = self._loops[loop]
            dispatch.entries = dispatch.entries + (entry,)

    def remove(self, selected: Optional[EventClasses],
               handler: Optional[Callable[..., Any]]) -> None:
        classes = None if selected is None else classes_of(selected)
        removed = False
        with self._lock:
            dispatches: List[_Dispatch] = list(self._loops.values())
            if self._thread is not None:
                dispatches.append(self._thread)
            for dispatch in dispatches:
                kept: List[_Entry] = []
                for entry in dispatch.entries:
                    if handler is not None and entry.handler != handler:
                        kept.append(entry)
                        continue
                    rest = () if classes is None else tuple(
                        c for c in entry.classes if c not in classes)
                    if len(rest) != len(entry.classes):
                        removed = True
                    if rest:
                        kept.append(_Entry(entry.handler, rest, entry.registrar))
                dispatch.entries = tuple(kept)
        if not removed:
            raise ValueError("no such handler on this channel")

    def count(self) -> int:
        with self._lock:
            dispatches: List[_Dispatch] = list(self._loops.values())
            if self._thread is not None:
                dispatches.append(self._thread)
            return sum(len(dispatch.entries) for dispatch in dispatches)

    def end(self) -> None:
        """After the channel closed its event streams: the handlers run what was queued, then
        end. Waits for the thread, unless called from it (a handler that leaves)."""
        with self._lock:
            thread, self._thread = self._thread, None
            self._loops = {}
        if thread is not None:
            thread.stream.close()
            if thread.thread is not threading.current_thread():
                thread.thread.join()
