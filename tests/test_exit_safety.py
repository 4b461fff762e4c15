"""Ending a program, or terminating the engine, while the engine's threads deliver frames.

The exit programs live in tools/exit_cases.py and run in fresh interpreters, a few times per
case (VELTO_EXIT_RUNS, default 5); tools/exit_soak.py runs the same programs hundreds of times.
"""
import os
import random
import sys
import threading
import time

import pytest

import _pyveltosdk as sdk
import velto_sim as sim

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
import exit_cases  # noqa: E402

EXIT_RUNS = int(os.environ.get("VELTO_EXIT_RUNS", "5"))


@pytest.mark.parametrize("case", list(exit_cases.CASES))
def test_program_ends_with_its_own_status_while_frames_are_in_flight(case):
    if exit_cases.skip_reason(case):
        pytest.skip(exit_cases.skip_reason(case))
    for seed in range(EXIT_RUNS):
        # Every other run with the live call on too: the engine's own media at real rates.
        env = dict(os.environ, VELTO_SIM_LIVE="1" if seed % 2 else "0")
        outcome = exit_cases.run_case(case, seed, timeout=60, env=env)
        assert outcome.ok, outcome.describe()


class FrameFlows:
    """Daemon threads delivering audio, video and notifications on engine threads 0..3 until
    stopped; a delivery that finds no engine alive goes to the engine's fallback thread."""

    def __init__(self):
        self.stop = threading.Event()
        self.errors = []
        self.threads = [threading.Thread(target=self._run, args=(kind, index), daemon=True)
                        for index in range(4) for kind in ("audio", "video", "events")]

    def _run(self, kind, index):
        audio = bytes(range(256)) * 4
        planes = (bytes(32 * 16), bytes(32 * 4), bytes(32 * 4))
        while not self.stop.is_set():
            try:
                if kind == "audio":
                    sim.deliver_audio(index, audio, uid=index, samples=256, thread=index)
                elif kind == "video":
                    sim.deliver_video(10 + index % 2, 32, 16, *planes, uid=index, thread=index)
                else:
                    sim.fire("onRemoteUserJoined", uid=500 + index, thread=index)
                    sim.fire("onRemoteUserOffline", uid=500 + index, thread=index)
            except sim.SimError as error:
                if error.code != -1:  # -1: no engine has existed yet to take a notification
                    self.errors.append(error)
                    return

    def __enter__(self):
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for thread in self.threads:
            thread.join(30)
        assert not any(t.is_alive() for t in self.threads), "a frame flow never ended"
        assert self.errors == []


@pytest.fixture
def whole_callbacks():
    # With a long switch interval the interpreter never takes the GIL from a callback that is
    # running, so its first line runs before any other thread's next line: the callback's own
    # count then says exactly when it started relative to terminate().
    previous = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    yield
    sys.setswitchinterval(previous)


def test_no_callback_starts_once_terminate_has_returned(no_engine, whole_callbacks):
    rng = random.Random(1234)
    with FrameFlows():
        for _ in range(20):
            state = {"calls": 0, "late": 0, "terminated": False}

            def callback(stream_type, *rest):
                state["calls"] += 1
                if state["terminated"]:
                    state["late"] += 1
                return (None,) if stream_type < 10 else (None, None, None)

            sdk.initialize("{}")
            sdk.registerAudioObserver(callback)
            sdk.registerVideoObserver(callback)
            deadline = time.monotonic() + 10
            while state["calls"] < 20 and time.monotonic() < deadline:
                time.sleep(0.001)
            assert state["calls"] >= 20, "frames never reached the callback"
            time.sleep(rng.uniform(0, 0.01))
            sdk.terminate()
            state["terminated"] = True
            calls_at_return = state["calls"]
            time.sleep(0.03)  # frames keep coming, now through the released engine's observers
            assert state["late"] == 0
            assert state["calls"] == calls_at_return
    assert sim.counts()["alive"] == 0


def test_terminate_keeps_frames_shut_until_the_next_registration(no_engine):
    seen = []
    with FrameFlows():
        sdk.initialize("{}")
        sdk.registerAudioObserver(lambda *a: seen.append(a[0]) or (None,))
        sdk.terminate()
        sdk.initialize("{}")  # a new engine alone reopens nothing
        time.sleep(0.05)
        assert seen == []
        sdk.registerAudioObserver(lambda *a: seen.append(a[0]) or (None,))
        deadline = time.monotonic() + 10
        while not seen and time.monotonic() < deadline:
            time.sleep(0.001)
        assert seen, "frames never reached the callable registered after terminate"
        sdk.terminate()


def test_terminate_while_a_callback_runs_lets_it_finish(no_engine):
    # terminate() waits for no engine thread; a callback that is running (here, waiting with the
    # GIL released) completes, and its answer is still copied into the frame.
    entered, release = threading.Event(), threading.Event()

    def slow(stream_type, uid, samples, channels, rate, data):
        entered.set()
        release.wait(10)
        return (b"\x07" * len(data),)

    sdk.initialize("{}")
    sdk.registerAudioObserver(slow)
    result = {}
    delivery = threading.Thread(
        target=lambda: result.update(after=sim.deliver_audio(0, b"\x01" * 8, samples=4)[1]))
    delivery.start()
    assert entered.wait(10)
    sdk.terminate()
    release.set()
    delivery.join(10)
    assert result["after"] == b"\x07" * 8
    assert sim.deliver_audio(0, b"\x01" * 8, samples=4)[1] == b"\x01" * 8
