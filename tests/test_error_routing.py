"""Where a failing frame callable's error lands: printed as the interpreter prints an uncaught error,
and raised again only in the very thread that registered the callable, while that thread still
runs the program's code; and which class arrives there."""
import ast
import sys
import threading
import time

import pytest

import _pyveltosdk as sdk
import velto_sim as sim
from conftest import run_python


class Registrar:
    """A thread that registers callables and keeps what the module later raises in it."""

    def __init__(self):
        self.caught = []
        self._jobs = []
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            try:
                while not self._stop:
                    if self._jobs:
                        job, done = self._jobs.pop()
                        job()
                        done.set()
                    time.sleep(0.0005)
            except BaseException as error:  # the forwarded exception
                self.caught.append(error)

    def register(self, callable_, kind="audio"):
        done = threading.Event()
        function = sdk.registerAudioObserver if kind == "audio" else sdk.registerVideoObserver
        self._jobs.append((lambda: function(callable_), done))
        assert done.wait(10)

    def wait_for_error(self, timeout=10):
        deadline = time.monotonic() + timeout
        while not self.caught and time.monotonic() < deadline:
            time.sleep(0.001)
        assert self.caught, "the error never reached the registering thread"
        return self.caught.pop()

    def close(self):
        self._stop = True
        self._thread.join(10)


@pytest.fixture
def registrar(engine):
    registrar = Registrar()
    yield registrar
    registrar.close()


def fail_with(error):
    def failing(*frame):
        raise error
    return failing


# --- which class arrives ------------------------------------------------------------------------

class NeedsArgument(Exception):
    def __init__(self, detail):
        super().__init__(detail)


class NeedsArgumentAndValue(NeedsArgument, ValueError):
    """Its base chain runs through NeedsArgument to Exception; its MRO reaches ValueError first."""


def counting_bare_calls():
    """An error of a class of its own (so no earlier test decided it) that counts its creations
    without arguments, which it refuses."""
    class CountsBareCalls(KeyError):
        bare_calls = 0

        def __init__(self, *args):
            if not args:
                type(self).bare_calls += 1
                raise TypeError("needs a key")
            super().__init__(*args)
    return CountsBareCalls("k")


CLASSES = [
    pytest.param(lambda: NeedsArgumentAndValue("x"), ValueError, id="mro-not-base-chain"),
    pytest.param(counting_bare_calls, KeyError, id="probed-once"),
]
if sys.version_info >= (3, 11):
    CLASSES += [
        pytest.param(lambda: ExceptionGroup("many", [ValueError(1), KeyError(2)]),  # noqa: F821
                     Exception, id="exception-group"),
        pytest.param(lambda: BaseExceptionGroup("many", [KeyboardInterrupt()]),  # noqa: F821
                     BaseException, id="base-exception-group"),
    ]


@pytest.mark.parametrize("make,arrives", CLASSES)
def test_the_first_class_along_the_mro_that_needs_no_arguments_arrives(registrar, capfd, make,
                                                                       arrives):
    error = make()
    registrar.register(fail_with(error))
    for _ in range(3):
        assert sim.deliver_audio(0, b"\x01\x02", samples=1)[1] == b"\x01\x02"
        caught = registrar.wait_for_error()
        assert type(caught) is arrives and caught.args == ()
    assert type(error).__name__ in capfd.readouterr().err
    # The class is probed once, not once per error.
    assert getattr(type(error), "bare_calls", 1) == 1


# --- how it is printed ----------------------------------------------------------------------------

def test_an_error_is_printed_as_uncaught_and_kept_for_post_mortem_tools(registrar, capfd,
                                                                         monkeypatch):
    for name in ("last_type", "last_value", "last_traceback"):
        monkeypatch.delattr(sys, name, raising=False)
    error = ValueError("post mortem 31")
    registrar.register(fail_with(error))
    sim.deliver_audio(0, b"ab", samples=1)
    assert type(registrar.wait_for_error()) is ValueError
    err = capfd.readouterr().err
    assert err.startswith("Traceback (most recent call last):\n")
    assert err.rstrip().endswith("ValueError: post mortem 31") and "in failing" in err
    assert sys.last_type is ValueError and sys.last_value is error
    assert sys.last_traceback is error.__traceback__

    # A hook of the program's own is still the one that prints.
    hooked = []
    monkeypatch.setattr(sys, "excepthook", lambda *info: hooked.append(info))
    registrar.register(fail_with(KeyError("hooked")), kind="video")
    sim.deliver_video(10, 2, 2, bytes(4), b"u", b"v")
    assert type(registrar.wait_for_error()) is KeyError
    assert [(t, str(v)) for t, v, _ in hooked] == [(KeyError, "'hooked'")]
    assert sys.last_value is hooked[0][1]
    assert "hooked" not in capfd.readouterr().err


# --- which thread receives it ---------------------------------------------------------------------

def test_a_callable_registered_on_an_engine_thread_fails_only_its_own_frame(engine, capfd):
    calls = []

    def fails_once(*frame):
        calls.append(frame)
        if len(calls) == 1:
            raise ValueError("only the first frame")
        return (None,)

    def registers(*frame):
        sdk.registerAudioObserver(fails_once)
        return (None,)

    sdk.registerAudioObserver(registers)
    sim.deliver_audio(0, b"ab", samples=1, thread=0)  # registers on engine thread 0
    for _ in range(20):
        assert sim.deliver_audio(0, b"ab", samples=1, thread=0)[0] == 1
    assert len(calls) == 20
    err = capfd.readouterr().err
    assert err.count("Traceback") == 1 and "ValueError: only the first frame" in err


def test_a_new_thread_that_got_the_ended_registrars_id_receives_nothing(engine, capfd):
    registering = threading.Thread(target=sdk.registerAudioObserver,
                                   args=(fail_with(ValueError("registrar gone")),))
    registering.start()
    registering.join()
    reused_id = registering.ident

    ready, delivered = threading.Event(), threading.Event()
    outcome = []

    def unrelated():
        if threading.get_ident() != reused_id:
            return
        ready.set()
        try:
            delivered.wait(10)
            for _ in range(30):  # Python code to run an exception in, were one aimed here
                time.sleep(0.01)
            outcome.append("finished")
        except BaseException as error:
            outcome.append(error)

    for _ in range(100):
        thread = threading.Thread(target=unrelated)
        thread.start()
        if thread.ident == reused_id:
            break
        thread.join()
    else:
        pytest.skip("the system gave no new thread the ended thread's id")
    assert ready.wait(10)
    sim.deliver_audio(0, b"ab", samples=1)
    delivered.set()
    thread.join(10)
    assert outcome == ["finished"]
    assert "ValueError: registrar gone" in capfd.readouterr().err


# The main thread ends its code at once; a non-daemon worker delivers failing frames once the
# main thread waits for it, and writes a file that must be complete.
SHUTDOWN = r'''
import os, sys, threading, time
import _pyveltosdk as sdk, velto_sim as sim
registrar, path = os.environ["REGISTRAR"], os.environ["OUT"]
sdk.initialize("")

def failing(*frame):
    raise ValueError("while the program shuts down")

def work():
    if registrar == "worker":
        sdk.registerAudioObserver(failing)
    while threading.main_thread().is_alive():
        time.sleep(0.005)
    with open(path, "w") as f:
        for i in range(30):
            sim.deliver_audio(0, b"ab", samples=1)
            f.write("%d\n" % i)
            time.sleep(0.01)
        f.write("done\n")

if registrar == "main":
    sdk.registerAudioObserver(failing)
threading.Thread(target=work).start()
'''


@pytest.mark.parametrize("registering", ["main", "worker"])
def test_after_the_main_code_ended_errors_are_printed_only_and_workers_finish(tmp_path,
                                                                             registering):
    out = tmp_path / "worker.txt"
    proc = run_python(SHUTDOWN, timeout=60, check=False,
                      env={"REGISTRAR": registering, "OUT": str(out)})
    assert proc.returncode == 0, proc.stderr
    assert out.read_text().splitlines()[-2:] == ["29", "done"]
    assert proc.stderr.count("ValueError: while the program shuts down") == 30
    assert "Exception ignored" not in proc.stderr and "Exception in thread" not in proc.stderr


# --- replacing the callable -----------------------------------------------------------------------

# A live call delivers audio every 10 ms on the engine's threads. The main thread holds the GIL
# for a while (a long switch interval keeps it), so frames take the current binding and wait;
# then it replaces the callable (or terminates) and lets them run.
REPLACE = r'''
import sys, time
import _pyveltosdk as sdk, velto_sim as sim
sim.set_live(True)
sdk.initialize("{}")
sdk.joinChannel("", "room", 7)
events = []

def callable_number(number):
    def callback(*frame):
        events.append(number)
        return (None,)
    return callback

def hold_the_gil(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass

sys.setswitchinterval(30)
sdk.registerAudioObserver(callable_number(0))
for number in range(1, 6):
    time.sleep(0.1)
    hold_the_gil(0.05)
    sdk.registerAudioObserver(callable_number(number))
    events.append("registered %d" % number)
time.sleep(0.05)
hold_the_gil(0.05)
sdk.terminate()
events.append("terminated")
time.sleep(0.1)
print(events)
'''


def test_a_replaced_callable_is_never_called_once_the_new_registration_returned():
    proc = run_python(REPLACE, timeout=60)
    events = ast.literal_eval(proc.stdout)
    current = 0
    for event in events:
        if event == "terminated":
            current = None
        elif isinstance(event, str):
            current = int(event.split()[1])
        else:
            assert event == current, events
    assert events[-1] == "terminated", events
    # Frames did reach the replacing callables (a loaded machine may starve a few rounds).
    assert len({event for event in events if isinstance(event, int)}) >= 3, events
