"""Frames of every kind and calls of every function leave nothing behind.

Frames come from a native loop on a thread of its own (tools/frame_driver.cpp), VELTO_LEAK_FRAMES
audio and a tenth as many video frames per answer (default 100000); tools/leak_soak.py sends a
million of each. A leak of one object per frame would show as thousands of blocks or references.
"""
import os
import sys

import pytest

import _pyveltosdk as sdk
import velto_sim as sim

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
import frame_leaks  # noqa: E402

AUDIO_FRAMES = int(os.environ.get("VELTO_LEAK_FRAMES", "100000"))
VIDEO_FRAMES = max(1, AUDIO_FRAMES // 10)
# Blocks that may come and go for reasons of their own (caches, the journal, thread states).
BLOCK_SLACK = 300
RSS_SLACK = 8 << 20
DEBUG = hasattr(sys, "gettotalrefcount")


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    if frame_leaks.compiler() is None:
        pytest.skip("no C++ compiler for the frame driver")
    return frame_leaks.build_driver(str(tmp_path_factory.mktemp("driver")))


@pytest.fixture
def absorber(engine):
    absorber = frame_leaks.Absorber()
    yield absorber
    absorber.stop()


@pytest.mark.parametrize("answer", sorted(frame_leaks.ANSWERS))
def test_frames_leave_no_references_blocks_or_memory(driver, absorber, answer):
    absorber.register(lambda *a: None)  # attaches the observers, so their addresses are known
    frames = frame_leaks.Frames(driver)
    before, after, calls, printed = frame_leaks.run(frames, answer, AUDIO_FRAMES, VIDEO_FRAMES,
                                                    absorber)
    assert calls == AUDIO_FRAMES + VIDEO_FRAMES
    if answer in ("refused", "raises"):
        assert printed == calls + 2400  # every error printed, warm-up round included
    assert after["refs"] == before["refs"]
    assert after["class refs"] == before["class refs"]
    assert after["blocks"] - before["blocks"] < BLOCK_SLACK, (before, after)
    if not frame_leaks.SANITIZED:
        assert after["rss"] - before["rss"] < RSS_SLACK, (before, after)
    if DEBUG:
        assert after["total refs"] - before["total refs"] < BLOCK_SLACK, (before, after)


class Arg:
    """An argument whose own reference count must come back to where it was."""

    def __index__(self):
        return 7

    def __bool__(self):
        return True


def calls_of_every_function(text, number):
    # Accepted and refused arguments for each function; logOff and addView only refused, since
    # accepted they change process-wide state for good.
    good = [
        ("initialize", (text,)), ("getVersion", ()), ("setLogPath", (text,)),
        ("setChannelProfile", (number,)), ("setClientRole", (number,)),
        ("enableWebSdkInteroperability", (number,)), ("setVideoProfile", (number,) * 4),
        ("setAudioProfile", (number, number)), ("joinChannel", (text, text, number)),
        ("leaveChannel", ()), ("enableVideo", (number,)), ("enableAudio", (number,)),
        ("muteLocalVideo", (number,)), ("muteLocalAudio", (number,)),
        ("muteAllRemoteVideoStreams", (number,)), ("muteAllRemoteAudioStreams", (number,)),
        ("enableDualStreamMode", (number,)), ("setParameters", (text,)),
    ]
    bad = [(name, (text, number, text)) for name, _ in good]
    bad += [("logOff", (number,)), ("addView", (text,)), ("terminate", (text,)),
            ("registerAudioObserver", (number,)), ("registerVideoObserver", (text, text)),
            ("setParameters", ("a\0b",)), ("setChannelProfile", (2**40,))]
    return good, bad


def test_calls_of_every_function_leave_no_references_or_blocks(engine):
    text, number = "leak-" + "x" * 40, Arg()
    good, bad = calls_of_every_function(text, number)

    def round_of_calls():
        for name, args in good:
            getattr(sdk, name)(*args)
        for name, args in bad:
            with pytest.raises((TypeError, ValueError, OverflowError)):
                getattr(sdk, name)(*args)
        sim.reset()

    for _ in range(20):
        round_of_calls()
    before = frame_leaks.snapshot(number)
    text_refs = sys.getrefcount(text)
    for _ in range(300):
        round_of_calls()
    after = frame_leaks.snapshot(number)
    assert after["refs"] == before["refs"] and sys.getrefcount(text) == text_refs
    assert after["blocks"] - before["blocks"] < BLOCK_SLACK, (before, after)
    if DEBUG:
        assert after["total refs"] - before["total refs"] < BLOCK_SLACK, (before, after)
    assert [sim.outstanding_refs(i) for i in (3, 4, sim.SDK_STRING)] == [0, 0, 0]
