"""pyveltosdk's event handlers: in order on one thread of the layer or on the registering
coroutine's loop, removed by off(), ended by leaving; errors printed and raised again."""
import asyncio
import threading
import time

import pytest

import pyveltosdk as velto
import velto_sim as sim
from conftest import run_python


def wait_for(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.005)


def handler_threads():
    return [t for t in threading.enumerate() if t.name.startswith("pyveltosdk-handlers")]


def test_handlers_run_in_order_on_one_thread_until_off_or_leaving(channel):
    seen = []

    def record(name):
        def handler(event):
            seen.append((name, type(event).__name__, event.uid, threading.current_thread()))
        return handler

    first = channel.on(velto.UserJoined, record("first"))

    @channel.on((velto.UserJoined, velto.UserLeft))
    def second(event):
        record("second")(event)

    assert second.__name__ == "second"  # the decorator gives the function back
    sim.fire("onRemoteUserJoined", uid=5)
    sim.fire("onRemoteUserOffline", uid=5)
    wait_for(lambda: len(seen) == 3)
    assert [s[:3] for s in seen] == [("first", "UserJoined", 5), ("second", "UserJoined", 5),
                                     ("second", "UserLeft", 5)]
    threads = {s[3] for s in seen}
    assert len(threads) == 1 and threads != {threading.current_thread()}

    channel.off(first)
    channel.off(velto.UserLeft, second)
    with pytest.raises(ValueError, match="no such handler"):
        channel.off(velto.UserLeft, second)
    seen.clear()
    sim.fire("onRemoteUserOffline", uid=6)
    sim.fire("onRemoteUserJoined", uid=6)
    wait_for(lambda: len(seen) == 1)
    assert [s[:3] for s in seen] == [("second", "UserJoined", 6)]

    sim.fire("onRemoteUserJoined", uid=7)  # queued before leaving: still handled
    channel.leave()
    assert [s[2] for s in seen] == [6, 7]
    assert handler_threads() == []
    with pytest.raises(RuntimeError, match="was left"):
        channel.on(velto.UserJoined, print)


@pytest.mark.parametrize("args, error, match", [
    ((int, print), TypeError, "not an event class"),
    ((velto.UserJoined, 5), TypeError, "must be callable"),
    (((), print), TypeError, "at least one"),
    ((velto.UserJoined, asyncio.sleep), TypeError, "register it from a coroutine"),
])
def test_wrong_registrations_are_refused(channel, args, error, match):
    with pytest.raises(error, match=match):
        channel.on(*args)
    assert handler_threads() == []


def test_from_a_coroutine_handlers_run_on_its_loop_and_errors_reach_its_handler(channel):
    seen = []
    failures = []

    async def main():
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda loop, context: failures.append(context["exception"]))

        @channel.on(velto.UserJoined)
        async def slow(event):
            await asyncio.sleep(0.01)
            seen.append(("slow", event.uid, threading.current_thread()))

        @channel.on(velto.UserJoined)
        def fails(event):
            seen.append(("fails", event.uid, threading.current_thread()))
            raise KeyError(event.uid)

        for uid in (1, 2):
            sim.fire("onRemoteUserJoined", uid=uid)
        while len(seen) < 4:
            await asyncio.sleep(0.005)

    asyncio.run(asyncio.wait_for(main(), 10))
    assert [s[:2] for s in seen] == [("slow", 1), ("fails", 1), ("slow", 2), ("fails", 2)]
    assert {s[2] for s in seen} == {threading.current_thread()}
    assert [type(f) for f in failures] == [KeyError, KeyError]
    assert handler_threads() == []


ERRORS = """
import threading, time
import pyveltosdk as velto
import velto_sim as sim

class NeedsArguments(LookupError):
    def __init__(self, what):
        super().__init__("needs " + what)

ran = []
with velto.Engine() as engine, engine.join("room", uid=1) as channel:
    def register():
        @channel.on(velto.UserJoined)
        def fails(event):
            raise NeedsArguments("boom %d" % event.uid)
        channel.on(velto.UserJoined, lambda event: ran.append(event.uid))
    if {registrar!r} == "main":
        register()
    else:
        worker = threading.Thread(target=register)
        worker.start()
        worker.join()
    try:  # the error may arrive at any point from the firing on
        sim.fire("onRemoteUserJoined", uid=5)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            time.sleep(0.01)
        print("nothing raised")
    except LookupError as error:
        print("main got", type(error).__name__)
    time.sleep(0.1)
print("still ran:", ran)
"""


@pytest.mark.parametrize("registrar, received", [("main", "main got LookupError"),
                                                 ("ended thread", "nothing raised")])
def test_a_handler_error_is_printed_and_raised_in_the_registering_thread(registrar, received):
    proc = run_python(ERRORS.format(registrar=registrar), timeout=60)
    assert "NeedsArguments: needs boom 5" in proc.stderr
    assert "in fails" in proc.stderr  # the handler's own traceback
    assert proc.stdout.splitlines() == [received, "still ran: [5]"]


@pytest.mark.parametrize("reader", [
    'channel.on(velto.UserJoined, lambda event: print("hello", event.uid, flush=True))',
    # The same wait, in a daemon thread of the program's own: once crashed the exit on 3.13.
    'threading.Thread(target=lambda: [print("hello", e.uid, flush=True) for e in '
    'channel.events()], daemon=True).start(); time.sleep(0.1)',
])
def test_a_program_that_exits_with_events_awaited_ends_cleanly(reader):
    proc = run_python("""
        import threading, time
        import pyveltosdk as velto
        import velto_sim as sim
        engine = velto.Engine().open()
        channel = engine.join("room", uid=1)
        %s
        sim.fire("onRemoteUserJoined", uid=5)
        time.sleep(0.2)
        print("exiting without leaving")
        """ % reader, timeout=60)
    assert proc.stdout.splitlines() == ["hello 5", "exiting without leaving"]
    assert proc.stderr == ""
