"""Raw frames reach the registered callable on the engine's threads and can be rewritten."""
import gc
import sys
import threading
import time

import pytest

import _pyveltosdk as sdk
import velto_sim as sim
from conftest import calls, run_python

AUDIO_TYPES = [sdk.StreamAudioRecord, sdk.StreamAudioPlay, sdk.StreamAudioMix,
               sdk.StreamAudioPlayBeforeMix]
VIDEO_TYPES = [sdk.StreamVideoCap, sdk.StreamVideoRender]


class Recorder:
    """A stream_callback that records its arguments and answers with a fixed value."""

    def __init__(self, answer=None):
        self.answer = answer
        self.seen = []

    def __call__(self, *args):
        self.seen.append(args)
        return self.answer(*args) if callable(self.answer) else self.answer


@pytest.mark.parametrize("stream_type", AUDIO_TYPES)
def test_audio_protocol_and_uid(engine, stream_type):
    cb = Recorder((None,))
    sdk.registerAudioObserver(cb)
    data = bytes(range(256)) + bytes(64)
    answer, after = sim.deliver_audio(stream_type, data, uid=77, samples=160,
                                      bytes_per_sample=2, channels=1, samples_per_sec=16000)
    assert answer == 1 and after == data
    uid = 77 if stream_type == sdk.StreamAudioPlayBeforeMix else 0
    assert cb.seen == [(stream_type, uid, 160, 1, 16000, data)]
    assert all(type(a) is int for a in cb.seen[0][:5])


@pytest.mark.parametrize("answer,expected", [
    ((None,), b"\x01" * 320),
    ((b"",), b"\x01" * 320),
    (("",), b"\x01" * 320),
    ((b"\x02" * 100,), b"\x02" * 100 + b"\0" * 220),
    ((bytes(range(200)) * 2,), (bytes(range(200)) * 2)[:320]),
    (("ab",), b"ab" + b"\0" * 318),
    (("é",), "é".encode() + b"\0" * 318),
])
def test_audio_copy_back_pads_cuts_or_leaves_alone(engine, answer, expected):
    sdk.registerAudioObserver(Recorder(answer))
    _, after = sim.deliver_audio(sdk.StreamAudioRecord, b"\x01" * 320, samples=160)
    assert after == expected


def test_returning_the_input_leaves_the_frame_as_it_was(engine):
    sdk.registerAudioObserver(lambda *a: (a[5],))
    sdk.registerVideoObserver(lambda t, u, w, h, y, cu, cv: (y, cu, cv))
    data = bytes(range(256)) * 4
    assert sim.deliver_audio(0, data, samples=512)[1] == data
    planes = (bytes(range(16)), b"\x07" * 4, b"\x09" * 4)
    assert sim.deliver_video(10, 4, 4, *planes)[1] == planes


def test_video_planes_are_written_independently(engine):
    cb = Recorder((None, b"\xaa\xbb", None))
    sdk.registerVideoObserver(cb)
    y, u, v = b"\x01" * 16, b"\x02" * 4, b"\x03" * 4
    answer, after = sim.deliver_video(sdk.StreamVideoRender, 4, 4, y, u, v, uid=9)
    assert answer == 1
    assert after == (y, b"\xaa\xbb\0\0", v)
    assert cb.seen == [(11, 9, 4, 4, y, u, v)]


@pytest.mark.parametrize("width,height,y_len,uv_len", [(3, 3, 9, 2), (1, 1, 1, 0), (5, 2, 10, 2)])
def test_plane_sizes_for_odd_dimensions(engine, width, height, y_len, uv_len):
    cb = Recorder((b"\xff" * 100, b"\xee" * 100, b"\xdd" * 100))
    sdk.registerVideoObserver(cb)
    _, after = sim.deliver_video(10, width, height, bytes(y_len), bytes(uv_len), bytes(uv_len))
    assert [len(p) for p in cb.seen[0][4:]] == [y_len, uv_len, uv_len]
    assert after == (b"\xff" * y_len, b"\xee" * uv_len, b"\xdd" * uv_len)


@pytest.mark.parametrize("uid,seen", [(2**32 - 1, -1), (2**31, -(2**31)), (2**31 - 1, 2**31 - 1)])
def test_uid_arrives_as_a_signed_32_bit_int(engine, uid, seen):
    cb = Recorder((None, None, None))
    sdk.registerVideoObserver(cb)
    sim.deliver_video(sdk.StreamVideoRender, 2, 2, bytes(4), bytes(1), bytes(1), uid=uid)
    assert cb.seen[0][1] == seen


@pytest.mark.parametrize("kind,answer,error", [
    ("audio", None, TypeError),
    ("audio", (b"a", b"b", b"c"), TypeError),
    ("audio", (5,), TypeError),
    ("audio", (bytearray(b"xx"),), TypeError),
    ("audio", [b"xx"], TypeError),
    ("video", (b"x",), TypeError),
    ("video", (b"x", b"y", 3), TypeError),
    ("video", 42, TypeError),
])
def test_wrong_answers_are_reported_and_write_nothing(engine, capfd, kind, answer, error):
    errors = []

    def register_and_wait():
        if kind == "audio":
            sdk.registerAudioObserver(Recorder(answer))
        else:
            sdk.registerVideoObserver(Recorder(answer))
        registered.set()
        try:
            deadline = time.time() + 5
            while time.time() < deadline and not done.is_set():
                time.sleep(0.001)
            time.sleep(0.01)
        except BaseException as exc:  # the asynchronous exception lands here
            errors.append(exc)

    registered, done = threading.Event(), threading.Event()
    t = threading.Thread(target=register_and_wait)
    t.start()
    registered.wait()
    if kind == "audio":
        _, after = sim.deliver_audio(0, b"\x05" * 8, samples=4)
        assert after == b"\x05" * 8
    else:
        _, after = sim.deliver_video(10, 2, 2, b"\x05" * 4, b"\x06", b"\x07")
        assert after == (b"\x05" * 4, b"\x06", b"\x07")
    done.set()
    t.join()
    assert len(errors) == 1 and type(errors[0]) is error
    assert errors[0].args == ()
    assert "TypeError" in capfd.readouterr().err


def test_callable_error_is_printed_and_raised_again_in_the_registering_thread(engine, capfd):
    caught = []
    registered, done = threading.Event(), threading.Event()

    def failing(*args):
        raise ValueError("bad frame 12345")

    def registrar():
        sdk.registerAudioObserver(failing)
        registered.set()
        try:
            while not done.is_set():
                time.sleep(0.001)
            time.sleep(0.01)
        except ValueError as exc:
            caught.append(exc)

    t = threading.Thread(target=registrar)
    t.start()
    registered.wait()
    assert sim.deliver_audio(0, b"\x01\x02", samples=1)[1] == b"\x01\x02"
    done.set()
    t.join()
    err = capfd.readouterr().err
    assert "Traceback" in err and "ValueError: bad frame 12345" in err and "failing" in err
    assert len(caught) == 1 and caught[0].args == ()


def test_system_exit_in_a_callback_ends_the_program_from_the_registering_thread():
    # The registering thread gets the class alone, so the program ends as sys.exit() would.
    proc = run_python("""
        import sys, time, threading, _pyveltosdk as sdk, velto_sim as sim
        sdk.initialize("")
        def cb(*a):
            sys.exit(4)
        sdk.registerAudioObserver(cb)
        threading.Thread(target=lambda: sim.deliver_audio(0, b"ab", samples=1)).start()
        for _ in range(500):
            time.sleep(0.01)
        print("not reached")
    """, check=False, timeout=30)
    assert proc.returncode == 0, proc.stderr
    assert "not reached" not in proc.stdout
    assert "SystemExit: 4" in proc.stderr


def test_keyboard_interrupt_in_a_callback_reaches_the_registering_thread():
    proc = run_python("""
        import time, threading, _pyveltosdk as sdk, velto_sim as sim
        sdk.initialize("")
        def cb(*a):
            raise KeyboardInterrupt
        sdk.registerVideoObserver(cb)
        try:
            threading.Thread(
                target=lambda: sim.deliver_video(10, 2, 2, bytes(4), b"1", b"2")).start()
            for _ in range(500):
                time.sleep(0.01)
        except KeyboardInterrupt:
            print("interrupted")
    """, timeout=30)
    assert "interrupted" in proc.stdout


def test_registration_needs_a_callable_and_an_engine(no_engine):
    with pytest.raises(TypeError, match="^stream_callback must be callable$"):
        sdk.registerAudioObserver(5)
    with pytest.raises(RuntimeError, match="initialize"):
        sdk.registerVideoObserver(print)
    assert sim.journal() == []
    sdk.initialize("")
    sim.refuse_subinterface(4)
    with pytest.raises(RuntimeError):
        sdk.registerAudioObserver(print)
    assert not calls("ObserverRegistry.attachAudioObserver")
    sim.refuse_subinterface(4, False)
    sdk.registerAudioObserver(print)
    assert len(calls("ObserverRegistry.attachAudioObserver")) == 1
    assert sim.outstanding_refs(4) == 0
    sdk.terminate()


def test_reregistration_routes_frames_to_the_new_callable_and_keeps_the_old_alive(engine):
    f, g = Recorder((None,)), Recorder((None,))
    base_f, base_g = sys.getrefcount(f), sys.getrefcount(g)
    sdk.registerAudioObserver(f)
    sdk.registerAudioObserver(g)
    sim.deliver_audio(0, b"xx", samples=1)
    assert f.seen == [] and len(g.seen) == 1
    assert sys.getrefcount(f) == base_f + 1 and sys.getrefcount(g) == base_g + 1
    attached = calls("ObserverRegistry.attachAudioObserver")
    assert len(attached) == 2 and attached[0] == attached[1]


def test_one_callable_for_both_kinds_tells_them_apart(engine):
    cb = Recorder(lambda t, *rest: (None,) if t < 10 else (None, None, None))
    before = sys.getrefcount(cb)
    sdk.registerAudioObserver(cb)
    sdk.registerVideoObserver(cb)
    assert sys.getrefcount(cb) == before + 2
    sim.deliver_audio(sdk.StreamAudioMix, b"ab", samples=1)
    sim.deliver_video(sdk.StreamVideoCap, 2, 2, bytes(4), b"u", b"v")
    assert [s[0] for s in cb.seen] == [2, 10]
    audio_observer = calls("ObserverRegistry.attachAudioObserver")[0]["observer"]
    video_observer = calls("ObserverRegistry.attachVideoObserver")[0]["observer"]
    assert audio_observer != video_observer


def test_observer_option_answers(engine):
    sdk.registerAudioObserver(print)
    sdk.registerVideoObserver(print)
    options = sim.observer_options()
    assert options == {
        "audioOption1": 0, "audioOption2": 1, "videoOption1": 1, "videoOption2": 0,
        "videoOption3": 0, "videoOption4": 0, "videoOption5": 0, "videoOption6": 3,
        "videoOption7": 0, "videoOption8": 1,
    }


@pytest.mark.parametrize("fields", [
    dict(samples=-1, bytes_per_sample=2, channels=1),
    dict(samples=2**30, bytes_per_sample=4, channels=2),
    dict(samples=2**31 - 1, bytes_per_sample=2**31 - 1, channels=2**31 - 1),
    dict(samples=4, bytes_per_sample=-2, channels=-1),
])
def test_impossible_audio_sizes_give_empty_data_and_write_nothing(engine, fields):
    cb = Recorder((b"\xff" * 64,))
    sdk.registerAudioObserver(cb)
    answer, after = sim.deliver_audio(0, b"\x01" * 16, buffer_len=16, **fields)
    assert answer == 1 and after == b"\x01" * 16
    assert cb.seen[0][5] == b""


def test_null_buffers_and_impossible_video_sizes_are_still_dispatched(engine):
    cb = Recorder((b"\xff" * 64, b"\xff" * 64, b"\xff" * 64))
    sdk.registerAudioObserver(Recorder((b"\xff" * 8,)))
    sdk.registerVideoObserver(cb)
    assert sim.deliver_audio(0, None, samples=4, bytes_per_sample=2) == (1, None)
    answer, after = sim.deliver_video(10, 4, 4, None, b"\x01" * 4, None)
    assert answer == 1 and after == (None, b"\xff" * 4, None)
    assert cb.seen[0][4:] == (b"", b"\x01" * 4, b"")
    answer, after = sim.deliver_video(10, -4, 4, b"\x01" * 16, b"\x01" * 4, b"\x01" * 4)
    assert after == (b"\x01" * 16, b"\x01" * 4, b"\x01" * 4)
    answer, after = sim.deliver_video(11, 2**16, 2**16, b"\x01" * 16, b"\x01" * 4, b"\x01" * 4)
    assert after == (b"\x01" * 16, b"\x01" * 4, b"\x01" * 4)
    assert cb.seen[-1][2:] == (2**16, 2**16, b"", b"", b"")


def test_no_callback_starts_after_terminate(engine):
    cb = Recorder((None,))
    sdk.registerAudioObserver(cb)
    sdk.terminate()
    # The released engine's observers are gone; the fallback thread still reaches ours.
    sim.deliver_audio(0, b"ab", samples=1)
    assert cb.seen == []


def test_audio_and_video_from_two_engine_threads_while_python_runs(engine):
    counts = {"audio": 0, "video": 0}

    def on_audio(t, uid, samples, channels, rate, data):
        counts["audio"] += 1
        return (data[::-1],)

    def on_video(t, uid, w, h, y, u, v):
        counts["video"] += 1
        return (bytes(len(y)), None, None)

    sdk.registerAudioObserver(on_audio)
    sdk.registerVideoObserver(on_video)
    failures = []

    def audio_stream():
        for i in range(300):
            data = bytes([i % 256]) * 3 + b"\x01"
            _, after = sim.deliver_audio(0, data, samples=2, thread=1)
            if after != data[::-1]:
                failures.append(("audio", i, after))

    def video_stream():
        for i in range(300):
            _, after = sim.deliver_video(11, 4, 2, b"\x09" * 8, b"\x01\x02", b"\x03\x04",
                                         uid=i, thread=2)
            if after != (bytes(8), b"\x01\x02", b"\x03\x04"):
                failures.append(("video", i, after))

    streams = [threading.Thread(target=audio_stream), threading.Thread(target=video_stream)]
    for s in streams:
        s.start()
    busy = 0
    while any(s.is_alive() for s in streams):
        busy += sum(range(100))
    for s in streams:
        s.join()
    assert failures == []
    assert counts == {"audio": 300, "video": 300}


def test_many_frames_leave_no_references_or_blocks_behind(engine):
    def cb(t, uid, *rest):
        return (rest[-1],) if t < 10 else (rest[2], None, rest[4])

    sdk.registerAudioObserver(cb)
    sdk.registerVideoObserver(cb)
    audio = bytes(1920)
    planes = (bytes(320 * 240), bytes(320 * 60), bytes(320 * 60))

    def frames(n):
        for _ in range(n):
            sim.deliver_audio(0, audio, samples=480, channels=2)
            sim.deliver_video(10, 320, 240, *planes)

    frames(200)
    gc.collect()
    refs, blocks = sys.getrefcount(cb), sys.getallocatedblocks()
    frames(3000)
    gc.collect()
    assert sys.getrefcount(cb) == refs
    assert sys.getallocatedblocks() - blocks < 200


def test_data_a_callback_keeps_or_hashes_is_never_changed_afterwards(engine):
    kept, hashes = [], []

    def cb(t, uid, samples, channels, rate, data):
        hashes.append((hash(data), data == bytes([data[0]]) * len(data)))
        if data[0] % 2:
            kept.append(data)
        return (None,)

    sdk.registerAudioObserver(cb)
    for i in range(1, 9):
        sim.deliver_audio(0, bytes([i]) * 64, samples=32)
    assert kept == [bytes([i]) * 64 for i in (1, 3, 5, 7)]
    assert [h for h, _ in hashes] == [hash(bytes([i]) * 64) for i in range(1, 9)]
    assert all(same for _, same in hashes)
