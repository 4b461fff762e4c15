"""pyveltosdk frames: typed frames over the callback's bytes, processors on the engine's thread,
bounded observe-only iterators (sync and asyncio) with their overflow policies."""
import array
import asyncio
import sys
import threading
import time

import pytest

import _pyveltosdk as sdk
import pyveltosdk as velto
import velto_sim as sim
from pyveltosdk import StreamKind

try:
    import numpy as np
except ImportError:  # the sanitizer runs install no numpy; only the array tests need it
    np = None
needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")


def pcm(*samples):
    return array.array("h", samples).tobytes()


def values(frame):
    return array.array("h", frame.data.tobytes()).tolist()


def first(frame):
    return values(frame)[0]


def deliver_numbered(count, stream_type=sim.AUDIO_RECORD, uid=0):
    """`count` two-sample frames whose first sample is their number."""
    for i in range(count):
        sim.deliver_audio(stream_type, pcm(i, -i), uid=uid)


# --- frames ---------------------------------------------------------------------------------

@needs_numpy
def test_audio_frame_carries_the_engine_numbers_and_views_its_bytes(channel):
    frames = channel.audio_frames()
    data = pcm(1, -2, 300, -400, 5, 6)
    before = time.monotonic()
    sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, data, uid=2 ** 31 + 5, channels=2,
                      samples_per_sec=16000)
    frame = frames.get(timeout=5)
    assert (frame.kind, frame.uid, frame.samples, frame.channels, frame.sample_rate,
            frame.bytes_per_sample) == (StreamKind.PLAYBACK_USER, 2 ** 31 + 5, 3, 2, 16000, 2)
    assert before <= frame.time <= time.monotonic()
    assert frame.data.readonly and frame.data.tobytes() == data
    samples = frame.to_ndarray()
    assert samples.tolist() == [[1, -2], [300, -400], [5, 6]]
    assert not samples.flags.writeable
    # The same memory as the frame's bytes: no copy was made.
    assert np.shares_memory(samples, np.frombuffer(frame.data, np.uint8))
    with pytest.raises(Exception):
        frame.uid = 3


@needs_numpy
def test_video_frame_planes_and_rgb(channel):
    frames = channel.video_frames()
    # A 4x2 picture: left half white, right half pure red (BT.601 limited range).
    y = bytes([235, 235, 81, 81] * 2)
    sim.deliver_video(sim.VIDEO_RENDER, 4, 2, y, bytes([128, 90]), bytes([128, 240]), uid=8)
    frame = frames.get(timeout=5)
    assert (frame.kind, frame.uid, frame.width, frame.height) == (StreamKind.RENDER, 8, 4, 2)
    y_plane, u_plane, v_plane = frame.to_ndarray()
    assert y_plane.shape == (2, 4) and u_plane.shape == v_plane.shape == (1, 2)
    assert not y_plane.flags.writeable and np.shares_memory(y_plane, np.frombuffer(frame.y, "u1"))
    rgb = frame.to_rgb()
    assert rgb.shape == (2, 4, 3) and rgb.dtype == np.uint8
    assert np.abs(rgb[:, :2].astype(int) - [255, 255, 255]).max() <= 2
    assert np.abs(rgb[:, 2:].astype(int) - [255, 0, 0]).max() <= 3
    with pytest.raises(ValueError):
        velto.i420_to_rgb(y, b"\x80", b"\x80", 4, 2)


# --- processors -----------------------------------------------------------------------------

def test_processors_chain_in_order_over_one_registration(channel):
    seen = []

    @channel.audio_processor
    def double(frame):
        seen.append(("double", values(frame)))
        return frame.replace(data=array.array("h", [2 * v for v in values(frame)]))

    @channel.audio_processor(kinds=[StreamKind.RECORD])
    def plus_one(frame):
        seen.append(("plus_one", values(frame)))
        return frame.replace(data=pcm(*[v + 1 for v in values(frame)]))

    @channel.audio_processor
    def observer(frame):
        seen.append(("observer", values(frame)))

    observed = channel.audio_frames()
    assert sim.deliver_audio(sim.AUDIO_RECORD, pcm(1, 2))[1] == pcm(3, 5)
    assert seen == [("double", [1, 2]), ("plus_one", [2, 4]), ("observer", [3, 5])]
    assert observed.get(timeout=5).data.tobytes() == pcm(3, 5)  # what the engine ended up with
    # plus_one is for record frames only.
    assert sim.deliver_audio(sim.AUDIO_PLAY, pcm(1, 2))[1] == pcm(2, 4)
    channel.remove_processor(double)
    assert sim.deliver_audio(sim.AUDIO_RECORD, pcm(1, 2))[1] == pcm(2, 3)
    # One audio registration, made when the engine opened; processors share it.
    assert len(sim.calls("ObserverRegistry.attachAudioObserver")) == 1


def test_video_processor_replaces_only_the_planes_it_changes(channel):
    @channel.video_processor
    def gray(frame):
        return frame.replace(u=b"\x80" * len(frame.u), v=bytearray(b"\x80" * len(frame.v)))

    answer, planes = sim.deliver_video(sim.VIDEO_CAPTURE, 2, 2, b"abcd", b"u", b"v")
    assert planes == (b"abcd", b"\x80", b"\x80")


def test_frames_handed_back_to_the_engine_reach_its_processors_again(channel):
    channel.audio_processor(lambda frame: frame.replace(data=pcm(9)))
    sdk.registerAudioObserver(lambda *raw: (None,))  # another callback for a while
    assert sim.deliver_audio(sim.AUDIO_RECORD, pcm(7))[1] == pcm(7)
    audio, video = channel.engine.frame_observers
    sdk.registerAudioObserver(audio)
    sdk.registerVideoObserver(video)
    assert sim.deliver_audio(sim.AUDIO_RECORD, pcm(7))[1] == pcm(9)


def test_processors_end_with_the_channel(channel):
    channel.audio_processor(lambda frame: frame.replace(data=b"\x00\x00"))
    channel.leave()
    assert sim.deliver_audio(sim.AUDIO_RECORD, pcm(7))[1] == pcm(7)


@pytest.mark.parametrize("bad,error", [
    (lambda frame: (_ for _ in ()).throw(ValueError("bad frame 4242")), "ValueError"),
    (lambda frame: b"not a frame", "TypeError"),
])
def test_processor_errors_behave_as_callback_errors(channel, capfd, bad, error):
    channel.audio_processor(bad)
    observed = channel.audio_frames()
    caught = []
    try:
        answer, after = sim.deliver_audio(sim.AUDIO_RECORD, pcm(1, 2))
        assert after == pcm(1, 2)  # left as the engine gave it
        for _ in range(1000):  # the error arrives in this thread, which entered the Engine
            time.sleep(0.001)
    except (ValueError, TypeError) as exc:
        caught.append(exc)
    assert [type(e).__name__ for e in caught] == [error]
    err = capfd.readouterr().err
    assert "Traceback" in err and error in err
    assert observed.get(timeout=5).data.tobytes() == pcm(1, 2)


# --- iterators ------------------------------------------------------------------------------

@pytest.mark.parametrize("overflow,expected", [
    ("drop_oldest", [3, 4, 9]),
    ("drop_newest", [0, 1, 9]),
    # The gap is reported where it is: after the frames kept from before it.
    ("raise", [0, 1, "overflow 3", 9]),
])
def test_overflow_policies_and_drop_counters(channel, overflow, expected):
    frames = channel.audio_frames(maxsize=2, overflow=overflow)
    deliver_numbered(5)
    assert frames.dropped == 3
    got = [first(frames.get(timeout=5))]
    sim.deliver_audio(sim.AUDIO_RECORD, pcm(9))  # room for one again
    while len(got) < len(expected):
        try:
            got.append(first(frames.get(timeout=5)))
        except velto.FrameOverflow as overflowed:
            got.append("overflow %d" % overflowed.dropped)
    assert got == expected
    assert frames.dropped == 3 and frames.qsize() == 0


def test_filters_by_uid_and_kind(channel):
    mine = channel.audio_frames(uid=42)
    mixes = channel.audio_frames(kinds=[StreamKind.MIX])
    sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, pcm(1), uid=41)
    sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, pcm(2), uid=42)
    sim.deliver_audio(sim.AUDIO_MIX, pcm(3))
    assert [first(f) for f in (mine.get(timeout=5), mixes.get(timeout=5))] == [2, 3]
    with pytest.raises(TimeoutError):
        mine.get(timeout=0.01)
    with pytest.raises(ValueError):
        channel.audio_frames(kinds=[StreamKind.CAPTURE])


def test_a_consumer_that_stops_reading_holds_nothing_up(channel):
    frames = channel.audio_frames(maxsize=8)
    started = time.monotonic()
    deliver_numbered(300)
    assert frames.qsize() == 8 and frames.dropped == 292
    # Each frame went on at once: 300 deliveries well within their 5 s timeouts each.
    assert time.monotonic() - started < 60
    assert [first(f) for f in (frames.get(0) for _ in range(8))] == list(
        range(292, 300))


def test_sync_consumer_in_a_thread_ends_when_the_channel_is_left(channel):
    frames = channel.audio_frames(maxsize=1000)
    got = []
    consumer = threading.Thread(target=lambda: got.extend(
        first(f) for f in frames))
    consumer.start()
    deliver_numbered(50)
    channel.leave()
    consumer.join(30)
    assert not consumer.is_alive()
    assert got == list(range(50))


def test_asyncio_consumers_in_two_runs_in_a_row(channel):
    async def consume(count):
        # debug mode raises if anything touches the loop from another thread.
        loop = asyncio.get_running_loop()
        frames = channel.audio_frames(maxsize=1000)
        feeding = loop.run_in_executor(None, deliver_numbered, count)
        got = []
        async with frames:
            async for frame in frames:
                got.append(first(frame))
                if len(got) == count:
                    break
        await feeding
        return got

    for _ in range(2):
        assert asyncio.run(asyncio.wait_for(consume(40), 30), debug=True) == list(range(40))
    assert channel.engine._audio.streams == ()


def test_an_asyncio_consumer_waiting_when_the_channel_is_left_ends(channel):
    async def main():
        frames = channel.video_frames()
        loop = asyncio.get_running_loop()
        loop.call_later(0.05, channel.leave)
        return [frame async for frame in frames]

    assert asyncio.run(asyncio.wait_for(main(), 30), debug=True) == []


def test_without_numpy_arrays_say_how_to_get_it(channel, monkeypatch):
    frames = channel.video_frames()
    sim.deliver_video(sim.VIDEO_CAPTURE, 2, 2, b"abcd", b"u", b"v")
    frame = frames.get(timeout=5)
    monkeypatch.setitem(sys.modules, "numpy", None)
    for convert in (frame.to_ndarray, frame.to_rgb):
        with pytest.raises(ImportError, match=r"pyveltosdk\[numpy\]"):
            convert()
    assert bytes(frame.y) == b"abcd"  # the views need no numpy
