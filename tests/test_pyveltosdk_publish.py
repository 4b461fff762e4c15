"""pyveltosdk publishing: a program's own audio and video sent in place of the microphone and
camera, from buffers, iterables, async iterables and files; a slow source never holds the
engine; stop, leave and errors end a publication cleanly; a tone and files sent by one process
arrive unchanged, and with their durations, in another."""
import asyncio
import fractions
import json
import os
import subprocess
import sys
import threading
import time

import pytest

import pyveltosdk as velto
import velto_sim as sim

np = pytest.importorskip("numpy")

RATE, SAMPLES = 48000, 480  # the simulated engine's recorded frames: 10 ms, mono
UNDER_SANITIZER = any(n in os.environ.get("LD_PRELOAD", "") for n in ("libasan", "libtsan"))


def dominant(pcm, rate=RATE):
    """The strongest frequency of the samples, to 10 Hz."""
    spectrum = np.abs(np.fft.rfft(pcm.astype(np.float64) * np.hanning(len(pcm)), n=rate // 10))
    return (int(np.argmax(spectrum[1:])) + 1) * 10


def tone(freq, seconds, rate=RATE, level=8000):
    return (level * np.sin(2 * np.pi * freq * np.arange(int(seconds * rate)) / rate)).astype(
        np.int16)


def ramp(count):
    """Distinct samples, none zero: where each sample went is visible."""
    return (np.arange(count) % 30000 + 1).astype(np.int16)


def make_wav(path, seconds, freq, rate=44100):
    av = pytest.importorskip("av")
    stereo = np.repeat(tone(freq, seconds, rate, 6000)[:, None], 2, axis=1)
    with av.open(path, "w", format="wav") as out:
        stream = out.add_stream("pcm_s16le", rate=rate)
        stream.layout = "stereo"
        for start in range(0, len(stereo), 1024):
            frame = av.AudioFrame.from_ndarray(stereo[start:start + 1024].reshape(1, -1),
                                               format="s16", layout="stereo")
            frame.sample_rate, frame.pts = rate, start
            frame.time_base = fractions.Fraction(1, rate)
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode(None):
            out.mux(packet)
    return path


def make_mp4(path, seconds, fps=25, size=(320, 240), grey=200):
    av = pytest.importorskip("av")
    with av.open(path, "w") as out:
        stream = out.add_stream("mpeg4", rate=fps)
        stream.width, stream.height = size
        stream.pix_fmt = "yuv420p"
        picture = np.full((size[1], size[0], 3), grey, np.uint8)
        for i in range(int(seconds * fps)):
            frame = av.VideoFrame.from_ndarray(picture, format="rgb24")
            frame.pts = i
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode(None):
            out.mux(packet)
    return path


def drive_audio(publication, limit=400, pause=0.004, channels=1, rate=RATE):
    """Recorded frames from an engine thread until the publication is done; their samples."""
    sent = []
    for _ in range(limit):
        _, after = sim.deliver_audio(sim.AUDIO_RECORD, bytes(rate // 100 * channels * 2),
                                     channels=channels, samples_per_sec=rate)
        sent.append(np.frombuffer(after, "<i2"))
        if publication.done:
            break
        time.sleep(pause)
    return sent


def played(frames):
    """The frames that carried media (silence between them left out), joined."""
    return np.concatenate([f for f in frames if f.any()] or [np.zeros(0, np.int16)])


def drive_video(publication, limit=100, pause=0.01, size=(64, 48), times=None):
    """Captured frames until the publication is done; their (y, u) planes (and in `times`
    when each was delivered)."""
    width, height = size
    shown = []
    for _ in range(limit):
        _, (y, u, _v) = sim.deliver_video(sim.VIDEO_CAPTURE, width, height, bytes(width * height),
                                          bytes(width * height // 4), bytes(width * height // 4))
        shown.append((y, u))
        if times is not None:
            times.append(time.monotonic())
        if publication.done:
            break
        time.sleep(pause)
    return shown


def i420(width, height, luma, chroma=128):
    return bytes([luma]) * (width * height) + bytes([chroma]) * (width * height // 2)


async def agen(items, pause=0.0):
    for item in items:
        await asyncio.sleep(pause)
        yield item


def run_async(publish, drive):
    """publish() inside a running loop, the engine's frames from another thread meanwhile."""
    async def main():
        publication = publish()
        loop = asyncio.get_running_loop()
        frames = await loop.run_in_executor(None, drive, publication)
        await asyncio.wait_for(publication, 5)
        return publication, frames
    return asyncio.run(main())


# --- sources -------------------------------------------------------------------------------

SIGNAL = ramp(SAMPLES * 7 + 100)  # a last partial frame, completed with silence


def audio_frame(block, rate=RATE, channels=1):
    return velto.AudioFrame(velto.StreamKind.PLAYBACK_USER, 5, len(block) // channels, channels,
                            rate, 2, 0.0, block.tobytes())


AUDIO_SOURCES = {
    "bytes": lambda: (SIGNAL.tobytes(), {}),
    "int16 stereo": lambda: (np.repeat(SIGNAL[:, None], 2, axis=1), {}),
    "float": lambda: (SIGNAL / 32767.0, {}),
    "iterable of odd blocks": lambda: (iter([SIGNAL[i:i + 333].tobytes()
                                             for i in range(0, len(SIGNAL), 333)]), {}),
    "iterable of AudioFrames": lambda: ([audio_frame(SIGNAL[i:i + 480])
                                         for i in range(0, len(SIGNAL), 480)], {}),
    "interleaved stereo bytes": lambda: (np.repeat(SIGNAL, 2).tobytes(), {"channels": 2}),
}


@pytest.mark.parametrize("source", sorted(AUDIO_SOURCES))
def test_audio_sources_arrive_in_the_engines_frames_sample_for_sample(channel, source):
    given, options = AUDIO_SOURCES[source]()
    publication = channel.publish_audio(given, **options)
    frames = drive_audio(publication)
    assert publication.wait(5) and publication.done and publication.error is None
    assert publication.frames_sent == 8
    assert all(len(f) == SAMPLES for f in frames)
    out = played(frames)
    assert len(out) == 8 * SAMPLES
    assert out[:len(SIGNAL)].tolist() == SIGNAL.tolist() and not out[len(SIGNAL):].any()
    # Once done, the engine's own frames pass untouched.
    _, after = sim.deliver_audio(sim.AUDIO_RECORD, b"\x07\x00" * SAMPLES)
    assert after == b"\x07\x00" * SAMPLES


def test_async_iterable_is_read_by_a_task_of_the_running_loop(channel):
    blocks = [SIGNAL[i:i + 500] for i in range(0, len(SIGNAL), 500)]
    publication, frames = run_async(lambda: channel.publish_audio(agen(blocks, 0.001)),
                                    drive_audio)
    assert played(frames)[:len(SIGNAL)].tolist() == SIGNAL.tolist()
    assert publication.frames_sent == 8
    with pytest.raises(RuntimeError, match="coroutine"):
        channel.publish_audio(agen(blocks))  # no running loop here


def test_a_frame_stream_relays_another_users_audio(channel):
    # Sync and async at once: read by the feeder thread outside a coroutine.
    heard = channel.audio_frames(uid=5, kinds=[velto.StreamKind.PLAYBACK_USER])
    blocks = [ramp(SAMPLES) + 100 * i for i in range(3)]
    for block in blocks:
        sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, block.tobytes(), uid=5)
    heard.close()
    publication = channel.publish_audio(heard)
    frames = drive_audio(publication)
    assert publication.wait(5) and publication.frames_sent == 3
    assert [f.tolist() for f in frames if f.any()] == [b.tolist() for b in blocks]


@pytest.mark.parametrize("rate,channels", [(16000, 1), (44100, 2)])
def test_other_rates_and_channels_are_converted_to_the_engines_format(channel, rate, channels):
    source = np.repeat(tone(1000, 0.5, rate)[:, None], channels, axis=1)
    publication = channel.publish_audio(source, sample_rate=rate)
    out = played(drive_audio(publication))
    assert publication.wait(5)
    assert abs(len(out) - RATE // 2) <= SAMPLES  # half a second at 48 kHz
    assert dominant(out[SAMPLES:-SAMPLES]) == 1000
    # Two engine formats: a stereo 44.1 kHz engine gets stereo frames of 441 samples.
    publication = channel.publish_audio(source, sample_rate=rate)
    frames = drive_audio(publication, channels=2, rate=44100)
    assert publication.wait(5)
    out = played(frames).reshape(-1, 2)
    assert abs(len(out) - 22050) <= 441 and (out[:, 0] == out[:, 1]).all()
    assert dominant(out[441:-441, 0], 44100) == 1000


def test_a_media_file_is_decoded_and_resampled_to_the_engines_frames(channel, tmp_path):
    path = make_wav(str(tmp_path / "tone.wav"), 0.6, 600)
    publication = channel.publish_audio(path)
    out = played(drive_audio(publication))
    assert publication.wait(5)
    assert publication.frames_sent == 60 and len(out) == 60 * SAMPLES  # 0.6 s, 44.1 -> 48 kHz
    assert dominant(out) == 600


VIDEO_SOURCES = {
    "bytes of two pictures": lambda: (i420(64, 48, 60) + i420(64, 48, 90),
                                      {"width": 64, "height": 48}, [60, 90]),
    "array (h*3/2, w) scaled": lambda: (np.frombuffer(i420(32, 24, 70), np.uint8)
                                        .reshape(36, 32), {}, [70]),
    "iterable of VideoFrames": lambda: ([velto.VideoFrame(
        velto.StreamKind.RENDER, 9, 128, 96, 0.0, bytes([luma]) * 128 * 96,
        bytes([128]) * 64 * 48, bytes([128]) * 64 * 48) for luma in (40, 50, 60)], {},
        [40, 50, 60]),
    "iterable of bytes": lambda: ((i420(64, 48, luma) for luma in (100, 110)),
                                  {"width": 64, "height": 48}, [100, 110]),
}


@pytest.mark.parametrize("source", sorted(VIDEO_SOURCES))
def test_video_sources_fill_captured_frames_one_picture_a_frame(channel, source):
    given, options, lumas = VIDEO_SOURCES[source]()
    publication = channel.publish_video(given, **options)
    shown = drive_video(publication)
    assert publication.wait(5) and publication.frames_sent == len(lumas)
    pictures = []
    for y, u in shown:
        if not any(y):
            continue  # the engine's own frame, once publishing ended
        assert len(set(y)) == 1 and len(y) == 64 * 48 and u == bytes([128]) * (32 * 24)
        if y[0] != 16 and (not pictures or pictures[-1] != y[0]):
            pictures.append(y[0])
    assert pictures == lumas  # black (16) before the first, then each picture in order


def test_async_iterable_of_pictures(channel):
    pictures = [i420(64, 48, luma) for luma in (30, 31, 32)]
    publication, shown = run_async(
        lambda: channel.publish_video(agen(pictures), width=64, height=48), drive_video)
    assert publication.frames_sent == 3
    assert [y[0] for y, _ in shown if y[0] > 16][:3] == [30, 31, 32]


def test_video_file_and_fps_pace_pictures_at_their_own_times(channel, tmp_path):
    # A 25 fps file of 0.6 s, shown for its 0.6 s (a little less: the last picture is due
    # 1/25 s before the end) by a faster camera, each picture once or more.
    times = []
    publication = channel.publish_video(make_mp4(str(tmp_path / "grey.mp4"), 0.6))
    shown = drive_video(publication, pause=0.01, times=times)
    assert publication.wait(5) and 8 <= publication.frames_sent <= 15
    grey = [t for (y, _), t in zip(shown, times) if 180 <= y[0] <= 196 and len(set(y)) == 1]
    assert 0.45 <= grey[-1] - grey[0] <= 0.8
    # fps=5: the first picture holds for about 0.2 s.
    times = []
    publication = channel.publish_video(i420(64, 48, 77) + i420(64, 48, 88), width=64,
                                        height=48, fps=5)
    shown = drive_video(publication, pause=0.01, times=times)
    first = [t for (y, _), t in zip(shown, times) if y[0] == 77]
    second = [t for (y, _), t in zip(shown, times) if y[0] == 88]
    assert 0.15 <= second[0] - first[0] <= 0.3


# --- slow sources, the end, errors -----------------------------------------------------------

def slow(items, pause):
    for item in items:
        time.sleep(pause)
        yield item


def test_a_slow_source_gives_silence_and_never_holds_the_engine(channel):
    blocks = [ramp(SAMPLES) + 1000 * i for i in range(6)]
    publication = channel.publish_audio(slow(blocks, 0.04))
    waits, frames = [], []
    while not publication.done and len(frames) < 200:
        started = time.monotonic()
        _, after = sim.deliver_audio(sim.AUDIO_RECORD, bytes(2 * SAMPLES))
        waits.append(time.monotonic() - started)
        frames.append(np.frombuffer(after, "<i2"))
        time.sleep(0.01)
    assert publication.wait(5) and publication.frames_sent == 6
    assert publication.underruns >= 5  # about three frames of silence per block
    # Every block once, in order, none lost or repeated; silence between them.
    carried = [f for f in frames if f.any()]
    assert [f.tolist() for f in carried] == [b.tolist() for b in blocks]
    assert sorted(waits)[len(waits) // 2] < 0.02  # the engine's thread did not wait for it


def test_a_slow_video_source_repeats_the_last_picture(channel):
    publication = channel.publish_video(slow([i420(64, 48, 50), i420(64, 48, 60)], 0.3),
                                        width=64, height=48)
    shown = [y[0] for y, _ in drive_video(publication, limit=300)]
    # Frames the engine took while the source was late repeat the picture and count as underruns
    # (how many depends on the machine's load: the frames are delivered every 10 ms or later).
    assert publication.wait(5) and publication.frames_sent == 2 and publication.underruns >= 1
    first = shown.index(50)
    assert shown[first:shown.index(60)] == [50] * (shown.index(60) - first)


def endless():
    while True:
        yield bytes(2 * SAMPLES)[:-2] + b"\x01\x00"


@pytest.mark.parametrize("ending", ["stop", "with block", "leave", "await stop",
                                    "engine close"])
def test_stop_and_leaving_end_publishing_cleanly(ending):
    import _pyveltosdk as sdk
    sdk.terminate()
    sim.reset()
    engine = velto.Engine().open()
    channel = engine.join("room", uid=1)
    try:
        if ending == "await stop":
            async def main():
                publication = channel.publish_audio(agen(endless()))
                asyncio.get_running_loop().call_later(0.2, publication.stop)
                await asyncio.wait_for(publication, 5)
                return publication
            publication = asyncio.run(main())
        else:
            publication = channel.publish_audio(endless())
            drive_audio(publication, limit=5)
            assert not publication.done and "running" in repr(publication)
            if ending == "with block":
                with publication:
                    pass
            else:
                {"stop": publication.stop, "leave": channel.leave,
                 "engine close": engine.close}[ending]()
        assert publication.done and publication.wait(1) and publication.queued == 0
        assert "done" in repr(publication)
        deadline = time.monotonic() + 5
        while any(t.name.startswith("pyveltosdk-publish") for t in threading.enumerate()):
            assert time.monotonic() < deadline, "the feeder thread did not end"
            time.sleep(0.01)
        if not channel.left:
            _, after = sim.deliver_audio(sim.AUDIO_RECORD, b"\x05\x00" * SAMPLES)
            assert after == b"\x05\x00" * SAMPLES  # the processor is gone
            again = channel.publish_audio(bytes(2 * SAMPLES))  # and another may start
            drive_audio(again)
            assert again.wait(5)
    finally:
        engine.close()
    with pytest.raises(RuntimeError, match="left"):
        channel.publish_audio(b"\x00\x00")


def test_one_publication_of_each_kind_at_a_time(channel):
    first = channel.publish_audio(endless())
    with pytest.raises(RuntimeError, match="already publishing audio"):
        channel.publish_audio(b"\x00\x00")
    video = channel.publish_video(i420(2, 2, 20), width=2, height=2)  # another kind: fine
    first.stop()
    video.stop()
    channel.publish_audio(b"\x00\x00").stop()


def failing():
    yield bytes(2 * SAMPLES)
    raise OSError("the microphone of the bot fell off")


@pytest.mark.parametrize("source,error", [
    (failing(), OSError), (iter([b"\x00\x00", 3]), TypeError), (iter([b"\x00"]), ValueError)])
def test_errors_of_the_source_end_it_and_are_raised_by_wait(channel, capfd, source, error):
    publication = channel.publish_audio(source)
    drive_audio(publication, limit=50)
    with pytest.raises(error):
        publication.wait(5)
    assert isinstance(publication.error, error) and "failed" in repr(publication)
    assert "pyveltosdk: publishing RECORD of " in capfd.readouterr().err


@pytest.mark.parametrize("kind,source,options,error,match", [
    ("audio", 42, {}, TypeError, "audio source"),
    ("audio", b"\x00\x00\x00", {}, ValueError, "whole 16-bit samples"),
    ("audio", "int32", {}, TypeError, "int16"),
    ("audio", "stereo array", {"channels": 1}, ValueError, "2 channels"),
    ("audio", b"\x00\x00", {"sample_rate": 0}, ValueError, "sample_rate"),
    ("audio", b"\x00\x00", {"buffer_frames": 0}, ValueError, "buffer_frames"),
    ("audio", "missing.wav", {}, FileNotFoundError, "missing.wav"),
    ("audio", "video file", {}, ValueError, "no audio stream"),
    ("video", b"\x00" * 6, {}, ValueError, "width and height"),
    ("video", b"\x00" * 7, {"width": 2, "height": 2}, ValueError, "2x2 I420"),
    ("video", b"\x00" * 6, {"width": 2, "height": 2, "fps": 0}, ValueError, "fps"),
    ("video", 3.5, {}, TypeError, "video source"),
])
def test_bad_sources_are_refused_at_once(channel, tmp_path, kind, source, options, error, match):
    if source == "video file":
        source = make_mp4(str(tmp_path / "v.mp4"), 0.2)
    elif source == "missing.wav":
        pytest.importorskip("av")
        source = str(tmp_path / source)
    source = {"int32": np.zeros(4, np.int32),
              "stereo array": np.zeros((4, 2), np.int16)}.get(source, source)
    publish = channel.publish_audio if kind == "audio" else channel.publish_video
    with pytest.raises(error, match=match):
        publish(source, **options)
    # Nothing was left running.
    publish(b"\x00" * 6, **({} if kind == "audio" else {"width": 2, "height": 2})).stop()


# --- between processes -------------------------------------------------------------------------

SENDER = r"""
import json, sys, time
import numpy as np
import pyveltosdk as velto

cfg = json.loads(sys.argv[1])
settings = {"sim": {"users": [], "video": {"width": 160, "height": 120, "fps": 15}}}
with velto.Engine(settings) as engine:
    engine.log_off()
    engine.enable_video()
    with engine.join("room", uid=31) as channel:
        print("JOINED", flush=True)
        deadline = time.monotonic() + 20
        while 32 not in channel.users and time.monotonic() < deadline:
            time.sleep(0.02)
        # A whole number of periods per 10 ms frame: every frame of it is the same bytes.
        chunk = (8000 * np.sin(2 * np.pi * 1000 * np.arange(480) / 48000)).astype(np.int16)
        tone = channel.publish_audio(np.tile(chunk, 100))  # 1 s
        tone.wait(20)
        audio = channel.publish_audio(cfg["wav"])
        video = channel.publish_video(cfg["mp4"])
        audio.wait(20)
        video.wait(20)
        report = {name: [p.frames_sent, p.underruns]
                  for name, p in (("tone", tone), ("wav", audio), ("mp4", video))}
        print("REPORT " + json.dumps(report), flush=True)
        time.sleep(0.5)  # the last frames travel
"""

RECEIVER = r"""
import json, time
import numpy as np
import pyveltosdk as velto

settings = {"sim": {"users": [], "video": {"width": 160, "height": 120, "fps": 15}}}
chunk = (8000 * np.sin(2 * np.pi * 1000 * np.arange(480) / 48000)).astype(np.int16).tobytes()

def dominant(pcm):
    spectrum = np.abs(np.fft.rfft(pcm * np.hanning(len(pcm)), n=4800))
    return (int(np.argmax(spectrum[1:])) + 1) * 10

seen = {"freqs": {}, "exact": 0, "grey": [], "dropped": 0}
with velto.Engine(settings) as engine:
    engine.log_off()
    engine.enable_video()
    with engine.join("room", uid=32) as channel:
        kinds = {"uid": 31, "maxsize": 4000}
        audio = channel.audio_frames(kinds=[velto.StreamKind.PLAYBACK_USER], **kinds)
        video = channel.video_frames(kinds=[velto.StreamKind.RENDER], **kinds)
        print("JOINED", flush=True)
        came, deadline = False, time.monotonic() + 40
        while time.monotonic() < deadline and not (came and 31 not in channel.users):
            came = came or 31 in channel.users
            while audio.qsize():
                frame = audio.get(0)
                pcm = frame.to_ndarray()[:, 0].astype(np.float64)
                freq = dominant(pcm) if pcm.any() else 0
                seen["freqs"][freq] = seen["freqs"].get(freq, 0) + 1
                seen["exact"] += frame.data == chunk
            while video.qsize():
                frame = video.get(0)
                y = frame.to_ndarray()[0]
                if abs(float(y.mean()) - 188) < 8 and float(y.std()) < 4:
                    seen["grey"].append(frame.time)
            time.sleep(0.02)
        seen["dropped"] = audio.dropped + video.dropped
print("REPORT " + json.dumps(seen), flush=True)
"""


def start(code, *args):
    env = dict(os.environ, VELTO_SIM_LIVE="1")
    proc = subprocess.Popen([sys.executable, "-c", code] + list(args), env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline().strip() == "JOINED", proc.stderr.read()
    return proc


def report_of(proc):
    try:
        out, err = proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise AssertionError("participant hung:\n" + out + err)
    assert proc.returncode == 0 and "Traceback" not in err, out + err
    return json.loads([line for line in out.splitlines() if line.startswith("REPORT ")][-1][7:])


@pytest.mark.skipif(UNDER_SANITIZER, reason="rates do not hold under a sanitizer")
def test_media_published_in_one_process_arrives_unchanged_in_another(tmp_path):
    wav = make_wav(str(tmp_path / "600.wav"), 1.5, 600)
    mp4 = make_mp4(str(tmp_path / "grey.mp4"), 1.2)
    receiver = start(RECEIVER)
    sender = start(SENDER, json.dumps({"wav": wav, "mp4": mp4}))
    sent, seen = report_of(sender), report_of(receiver)
    assert sent["tone"][0] == 100 and sent["wav"][0] in (150, 151)  # 1.5 s, 44.1 -> 48 kHz
    freqs = {int(f): n for f, n in seen["freqs"].items()}
    # The tone: 1 kHz, every frame exactly as sent; a frame the receiver dropped is missing.
    assert 90 <= freqs.get(1000, 0) <= 100 and seen["exact"] == freqs[1000]
    # The file: 600 Hz for its duration, 10 ms a frame.
    assert 135 <= freqs.get(600, 0) <= 151
    # The video file: its grey pictures for its 1.2 s (the last shown 1/15 s before the end).
    grey = seen["grey"]
    assert len(grey) >= 10 and 0.9 <= grey[-1] - grey[0] <= 1.8  # arrival jitter at both ends
    assert sent["mp4"][0] >= 15
