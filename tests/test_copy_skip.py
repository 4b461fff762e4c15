"""An answer that is the very bytes object given for a plane is not copied back, and that never
loses an edit: the engine's buffer ends as the answers say, whichever objects they are.

The engine threads of the simulated engine keep their thread state, so frames delivered one after
another on the same thread get the same refilled bytes objects whenever the callable kept none.
"""
import ctypes
import os
import sys

import pytest

import _pyveltosdk as sdk
import velto_sim as sim

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
import frame_leaks  # noqa: E402


def planes(salt, width=16, height=16):
    y = bytes((i * 3 + salt) & 0xFF for i in range(width * height))
    u = bytes((i * 5 + salt + 1) & 0xFF for i in range(width * height // 4))
    v = bytes((i * 7 + salt + 2) & 0xFF for i in range(width * height // 4))
    return y, u, v


FIRST, SECOND = planes(1), planes(100)


# Each case: the answer to the second frame, made from the planes given with it and those given
# with the first frame (kept by the callable), and what the second frame's planes must then be.
@pytest.mark.parametrize("answer,expected", [
    pytest.param(lambda now, before: now, lambda: SECOND, id="echo"),
    pytest.param(lambda now, before: before, lambda: FIRST, id="kept from the first frame"),
    pytest.param(lambda now, before: (now[0], before[1], now[2]),
                 lambda: (SECOND[0], FIRST[1], SECOND[2]), id="one kept plane"),
    pytest.param(lambda now, before: (now[0], now[2], now[1]),
                 lambda: (SECOND[0], SECOND[2], SECOND[1]), id="chroma swapped"),
    pytest.param(lambda now, before: (None, now[1], now[1]),
                 lambda: (SECOND[0], SECOND[1], SECOND[1]), id="one object for two planes"),
    pytest.param(lambda now, before: (now[0][:8], now[1], b"\x01" + now[2]),
                 lambda: (SECOND[0][:8] + bytes(248), SECOND[1], (b"\x01" + SECOND[2])[:64]),
                 id="edited around a given plane"),
    pytest.param(lambda now, before: (now[0], "ab", now[2]),
                 lambda: (SECOND[0], b"ab" + bytes(62), SECOND[2]), id="str beside given planes"),
])
@pytest.mark.parametrize("same_thread", [True, False], ids=["one thread", "two threads"])
def test_video_answers_apply_whichever_objects_they_are(engine, answer, expected, same_thread):
    kept = []

    def callback(stream_type, uid, width, height, *given):
        if not kept:
            kept.append(given)
            return (None, None, None)
        return answer(given, kept[0])

    sdk.registerVideoObserver(callback)
    assert sim.deliver_video(10, 16, 16, *FIRST) == (1, FIRST)
    _, after = sim.deliver_video(10, 16, 16, *SECOND, thread=0 if same_thread else 1)
    assert after == expected()
    assert kept[0] == FIRST  # what the callable kept never changed


def test_audio_answer_kept_from_an_earlier_frame_is_copied_back(engine):
    frames = [bytes([n]) * 640 for n in range(1, 6)]
    kept = []

    def callback(stream_type, uid, samples, channels, rate, data):
        kept.append(data)
        # Echo on odd frames, the first frame's bytes on even ones.
        return (data,) if len(kept) % 2 else (kept[0],)

    sdk.registerAudioObserver(callback)
    after = [sim.deliver_audio(0, data, samples=320)[1] for data in frames]
    assert after == [frames[0], frames[0], frames[2], frames[0], frames[4]]
    assert kept == frames


# --- the copy is skipped -----------------------------------------------------------------------

@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    if frame_leaks.compiler() is None:
        pytest.skip("no C++ compiler for the frame driver")
    return frame_leaks.build_driver(str(tmp_path_factory.mktemp("driver")))


def overwrite(buffer, fill):
    ctypes.memset(buffer, fill, len(buffer))


@pytest.mark.parametrize("frames", [1, 5])
def test_returning_the_given_object_writes_nothing_back(engine, driver, frames):
    # The native driver hands the module buffers the test owns, so the callable can change them
    # behind the module's back: whatever it finds there afterwards was not written by the module.
    audio = ctypes.create_string_buffer(b"\x11" * 640, 640)
    y, u, v = (ctypes.create_string_buffer(p, len(p)) for p in FIRST)
    seen = []  # copies: the given objects must stay free to be refilled for the next frame

    def on_audio(stream_type, uid, samples, channels, rate, data):
        seen.append(bytes(bytearray(data)))
        overwrite(audio, 0x22)
        return (data,)

    def on_video(stream_type, uid, width, height, given_y, given_u, given_v):
        seen.append(bytes(bytearray(given_y)))
        overwrite(y, 0x33)
        overwrite(u, 0x44)
        overwrite(v, 0x55)
        # An equal copy of u (a new object) is written back; the given y and v are not.
        return (given_y, bytes(bytearray(given_u)), given_v)

    sdk.registerAudioObserver(on_audio)
    sdk.registerVideoObserver(on_video)
    audio_observer = frame_leaks.observer("ObserverRegistry.attachAudioObserver")
    video_observer = frame_leaks.observer("ObserverRegistry.attachVideoObserver")
    assert driver.fd_audio(audio_observer, 0, 0, audio, 320, 2, 1, 32000, frames) == 0
    assert driver.fd_video(video_observer, 10, 0, y, u, v, 16, 16, frames) == 0

    assert audio.raw == b"\x22" * 640
    assert (y.raw, u.raw, v.raw) == (b"\x33" * 256, FIRST[1], b"\x55" * 64)
    # Each frame saw the buffer as the previous callback left it: nothing was restored.
    assert seen == [b"\x11" * 640] + [b"\x22" * 640] * (frames - 1) + \
        [FIRST[0]] + [b"\x33" * 256] * (frames - 1)
