"""Real media in a live call: WAV and Y4M files played by the microphone, the camera and pattern
users, media pushed from Python, other formats decoded with PyAV, and the refusals of files and
settings that cannot play. Calls run in this process with live mode switched on for the test;
media files are written by the tests themselves."""
import array
import json
import math
import struct
import subprocess
import sys
import threading
import time

import os

import pytest

import _pyveltosdk as sdk
import velto_sim as sim

# Real-time rates do not hold under a sanitizer's slowdown; the media paths still run there.
UNDER_SANITIZER = any(n in os.environ.get("LD_PRELOAD", "") for n in ("libasan", "libtsan"))


def write_wav(path, rate, channels, samples, bits=16, fmt=1, riff=b"RIFF", data_size=None):
    data = array.array("h", samples).tobytes() if bits == 16 else bytes(len(samples) * 3)
    size = len(data) if data_size is None else data_size
    block = channels * bits // 8
    with open(str(path), "wb") as f:
        f.write(riff + struct.pack("<I", 36 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, fmt, channels, rate, rate * block, block,
                                      bits))
        f.write(b"LIST" + struct.pack("<I", 3) + b"abc\0")  # an odd-sized chunk to pass over
        f.write(b"data" + struct.pack("<I", size) + data)
    return str(path)


def write_y4m(path, width, height, lumas, fps="5:1", colour="C420jpeg", header=None):
    chroma = ((width + 1) // 2) * ((height + 1) // 2)
    with open(str(path), "wb") as f:
        f.write(header or ("YUV4MPEG2 W%d H%d F%s Ip A1:1 %s\n"
                           % (width, height, fps, colour)).encode())
        for luma in lumas:
            f.write(b"FRAME\n" + bytes([luma]) * (width * height) + bytes([90]) * chroma
                    + bytes([160]) * chroma)
    return str(path)


def write_bytes(path, data):
    with open(str(path), "wb") as f:
        f.write(data)


class Call:
    """A live call in this process; frames by (stream type, uid) as the callbacks saw them."""

    def __init__(self, settings, join=True):
        self.frames = {}
        self.lock = threading.Lock()
        sdk.terminate()
        sim.reset()
        sim.set_live(True)
        base = {"stats": {"intervalMs": 0}, "users": [],
                "video": {"width": 64, "height": 48, "fps": 10}}
        for key, value in settings.items():
            if isinstance(value, dict) and isinstance(base.get(key), dict):
                base[key] = dict(base[key], **value)
            else:
                base[key] = value
        sdk.initialize(json.dumps({"sim": base}))
        sdk.enableVideo(True)
        sdk.registerAudioObserver(self._audio)
        sdk.registerVideoObserver(self._video)
        if join:
            assert sdk.joinChannel("", "media-test", 0) == 0

    def _audio(self, stream_type, uid, samples, channels, rate, data):
        with self.lock:
            self.frames.setdefault((stream_type, uid), []).append((channels, rate, data))
        return (None,)

    def _video(self, stream_type, uid, width, height, y, u, v):
        with self.lock:
            self.frames.setdefault((stream_type, uid), []).append((width, height, y, u, v))
        return (None, None, None)

    def wait_for(self, key, count, timeout=10.0):
        return self.wait_until(key, lambda frames: len(frames) >= count, timeout)

    def wait_until(self, key, done, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not done(self.get(key)):
            assert time.monotonic() < deadline, (key, len(self.get(key)))
            time.sleep(0.01)
        return self.get(key)

    def get(self, key):
        with self.lock:
            return list(self.frames.get(key, []))

    def end(self):
        sdk.leaveChannel()
        sdk.terminate()
        sim.set_live(None)
        sim.reset()


@pytest.fixture
def call():
    calls = []

    def start(settings=None, join=True):
        calls.append(Call(settings or {}, join))
        return calls[-1]

    yield start
    for c in calls:
        c.end()


def pcm(frame):
    return list(array.array("h", frame[2]))


def lumas(frames):
    return [f[2][0] for f in frames]


def is_tone(frame):
    return 0.99 * sim.TONE_AMPLITUDE <= max(pcm(frame)) <= sim.TONE_AMPLITUDE


# --- files ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("wav_rate,wav_channels,rate,channels,loop", [
    (24000, 1, 48000, 2, False),   # up-sampled, mono to both channels
    (16000, 2, 16000, 1, True),    # stereo averaged, looped
])
def test_a_wav_file_plays_as_the_microphone_in_the_calls_format(tmp_path, call, wav_rate,
                                                                wav_channels, rate, channels,
                                                                loop):
    # A ramp of 0.05 s: interpolation and conversion give predictable samples.
    frames = wav_rate // 20
    ramp = [i * rate // wav_rate for i in range(frames)]
    interleaved = [v + (c * 2 - 1 if wav_channels == 2 else 0)
                   for v in ramp for c in range(wav_channels)]  # channels differ by 2
    path = write_wav(tmp_path / "a.wav", wav_rate, wav_channels, interleaved)
    c = call({"audio": {"file": path, "loop": loop, "sampleRate": rate, "channels": channels}})
    record = c.wait_for((sim.AUDIO_RECORD, 0), 12)
    samples = [s for f in record for s in pcm(f)]
    assert {(f[0], f[1]) for f in record} == {(channels, rate)}
    per_file = rate // 20  # output frames per play of the file
    got = samples[0:per_file * channels:channels]
    assert got[:per_file - 1] == list(range(per_file - 1))
    if channels == 2:
        assert samples[0::2][:per_file] == samples[1::2][:per_file]
    after = samples[(per_file + 1) * channels:(per_file + 40) * channels]
    if loop:
        assert after[::channels][:5] == [1, 2, 3, 4, 5]
    else:
        assert set(after) == {0}, "a file played once ends in silence"


def test_y4m_files_play_as_the_camera_and_a_pattern_user_at_their_rate(tmp_path, call):
    camera = write_y4m(tmp_path / "cam.y4m", 65, 49, [10, 20, 30], fps="20:1")
    user = write_y4m(tmp_path / "user.y4m", 32, 16, [100, 110], fps="30000:1001")
    wav = write_wav(tmp_path / "u.wav", 8000, 1, [300] * 800)
    c = call({"video": {"file": camera},
              "users": [{"uid": 7, "join": 0, "videoFile": user, "audioFile": wav,
                         "loop": True, "sampleRate": 8000}]})
    captured = c.wait_for((sim.VIDEO_CAPTURE, 0), 8)
    rendered = c.wait_for((sim.VIDEO_RENDER, 7), 6)
    heard = c.wait_for((sim.AUDIO_PLAY_BEFORE_MIX, 7), 5)
    # Odd sizes lose their last column and row; a file played once holds its last frame.
    assert {(f[0], f[1]) for f in captured} == {(64, 48)}
    assert lumas(captured)[:5] == [10, 20, 30, 30, 30]
    assert captured[0][3] == bytes([90]) * (32 * 24) and captured[0][4] == bytes([160]) * 768
    assert {(f[0], f[1]) for f in rendered} == {(32, 16)}
    assert lumas(rendered)[:5] == [100, 110, 100, 110, 100]
    assert {tuple(set(pcm(f))) for f in heard} == {(300,)}
    if not UNDER_SANITIZER:
        # The camera runs at the file's 20 frames a second, not the configured 10; a loaded
        # machine skips frames, it never plays them early.
        started, first = time.monotonic(), len(c.get((sim.VIDEO_CAPTURE, 0)))
        time.sleep(1.0)
        later = len(c.get((sim.VIDEO_CAPTURE, 0)))
        assert 12 <= later - first <= 20 * (time.monotonic() - started) + 2
    stats = sim.settings()["settings"]
    assert (stats["video"]["file"], stats["users"][0]["videoFile"]) == (camera, user)


BAD_FILES = [
    ("audio", "missing.wav", None, "No such file or directory"),
    ("audio", "notriff.wav", lambda p: write_wav(p, 8000, 1, [1] * 80, riff=b"RIFX"),
     "not a WAV file"),
    ("audio", "24bit.wav", lambda p: write_wav(p, 8000, 1, [1] * 80, bits=24),
     "24-bit samples; only 16-bit PCM plays"),
    ("audio", "float.wav", lambda p: write_wav(p, 8000, 1, [1] * 80, bits=32, fmt=3),
     "32-bit float samples; only 16-bit PCM plays"),
    ("audio", "three.wav", lambda p: write_wav(p, 8000, 3, [1] * 81),
     "3 channels; mono or stereo plays"),
    ("audio", "empty.wav", lambda p: write_wav(p, 8000, 1, []), "no samples"),
    ("video", "444.y4m", lambda p: write_y4m(p, 8, 8, [1], colour="C444"),
     "colour space 444; only I420 (C420) plays"),
    ("video", "noframe.y4m", lambda p: write_y4m(p, 8, 8, []), "no whole frame"),
    ("video", "short.y4m", lambda p: write_bytes(p, b"YUV4MPEG2 W8 H8\nFRAME\n" + b"1" * 50),
     "no whole frame"),
    ("video", "huge.y4m", lambda p: write_y4m(p, 8000, 8, []), "8000x8; 2x2 to 3840x2160"),
    ("video", "rate.y4m", lambda p: write_y4m(p, 8, 8, [1], fps="0:1"), "is not N:D"),
    ("video", "wav.y4m", lambda p: write_wav(p, 8000, 1, [1] * 80), "not a Y4M file"),
]


@pytest.mark.parametrize("kind,name,make,message", BAD_FILES, ids=[b[1] for b in BAD_FILES])
def test_a_file_that_cannot_play_is_refused_in_one_line_and_the_call_goes_on(
        tmp_path, call, capfd, kind, name, make, message):
    path = str(tmp_path / name)
    if make is not None:
        make(path)
    capfd.readouterr()
    c = call({kind: {"file": path}})
    if kind == "audio":
        assert is_tone(c.wait_for((sim.AUDIO_RECORD, 0), 3)[-1])
    else:
        frame = c.wait_for((sim.VIDEO_CAPTURE, 0), 2)[-1]
        assert sim.decode_pattern(frame[2], frame[0], frame[1])[0] == 0
    err = capfd.readouterr().err
    assert err.count("\n") == 1, err
    assert err.startswith("velto-sim: joinChannel: sim.%s.file: cannot play '%s': "
                          % (kind, path)), err
    assert message in err


@pytest.mark.parametrize("text,message", [
    ('{"sim.audio.file": 5}', "sim.audio.file: expected a file path or null, got 5"),
    ('{"sim.video.loop": "yes"}', "sim.video.loop: expected true or false"),
    ('{"sim.users": [{"kind": "echo", "audioFile": "a.wav"}]}',
     "sim.users[0]: an echo user sends what it receives; files play for pattern users"),
    ('{"sim.users": [{"videoFile": ["a"]}]}', "sim.users[0].videoFile: expected a file path"),
])
def test_malformed_file_settings_are_refused(engine, capfd, text, message):
    before = sim.settings()
    sdk.setParameters(text)
    err = capfd.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert sim.settings() == before
    sdk.setParameters('{"sim.audio.file": "x.wav", "sim.audio.loop": true}')
    sdk.setParameters('{"sim.video.file": null}')
    state = sim.settings()["settings"]
    assert (state["audio"]["file"], state["audio"]["loop"], state["video"]["file"]) == (
        "x.wav", True, None)


def test_a_malformed_sim_object_leaves_initialize_working_with_its_event_handler(
        no_engine, capfd):
    sdk.initialize('{"appId": "x", "sim": {"video": {"fps": 0}}}')
    err = capfd.readouterr().err
    assert err == ("velto-sim: initialize: sim.video.fps: expected an integer from 1 to 60, "
                   "got 0\n")
    assert sim.calls("initialize")[-1]["initText"].startswith('{"appId"')
    assert [e["result"] for e in sim.journal() if e["call"] == "initialize"] == [0]
    sim.fire("onRemoteUserJoined", uid=5)  # raises SimError(-1) without an event handler
    assert sim.settings()["settings"]["video"]["fps"] == 15
    sdk.terminate()


# --- pushed media ----------------------------------------------------------------------------

def test_pushed_audio_is_converted_and_paced_by_the_engine(call):
    c = call({"audio": {"sampleRate": 16000, "channels": 1},
              "users": [{"uid": 9, "join": 0, "sampleRate": 8000, "channels": 2}]})
    c.wait_for((sim.AUDIO_RECORD, 0), 1)
    # 2 s at 32 kHz stereo, both channels 600: 16 kHz mono of 600. The queue holds one second,
    # so the push returns only once about a second has played.
    started = time.monotonic()
    sim.push_audio(array.array("h", [600] * 64000 * 2).tobytes(), 32000, 2, timeout=30)
    took = time.monotonic() - started
    sim.push_audio(array.array("h", [-7] * 800).tobytes(), 8000, 1, uid=9)
    assert took >= 0.8, took
    frames = c.wait_until((sim.AUDIO_RECORD, 0), lambda fs: set(pcm(fs[-1])) == {0})
    record = [set(pcm(f)) for f in frames]
    played = record[record.index({600}):]
    # Every 10 ms round takes the next 10 ms: two seconds, without a gap, then silence.
    assert played.index({0}) == 200 and played[:200] == [{600}] * 200
    heard = c.wait_until((sim.AUDIO_PLAY_BEFORE_MIX, 9),
                         lambda fs: any(set(pcm(f)) == {-7} for f in fs))
    assert {f[:2] for f in heard} == {(2, 8000)}
    sim.end_push()
    c.wait_until((sim.AUDIO_RECORD, 0), lambda fs: is_tone(fs[-1]))


@pytest.mark.parametrize("rate,channels,out_rate", [
    (44100, 1, 48000),
    (32000, 2, 16000),
    (8000, 1, 48000),
])
def test_pushed_audio_joins_without_a_seam_where_it_was_cut_into_pieces(call, rate, channels,
                                                                        out_rate):
    # A ramp of 0.15 s goes in as two pieces (push_audio cuts at 0.1 s). A ramp converts to a
    # ramp, so a frame lost or repeated where the pieces meet shows as a step of 4.5 or more.
    c = call({"audio": {"sampleRate": out_rate, "channels": 1}})
    c.wait_for((sim.AUDIO_RECORD, 0), 1)
    frames = rate * 15 // 100
    ramp = [1000 + 30000 * i // frames for i in range(frames)]
    pcm_in = [v + (2 * ch - 1 if channels == 2 else 0) for v in ramp for ch in range(channels)]
    sim.push_audio(array.array("h", pcm_in).tobytes(), rate, channels)
    record = c.wait_until((sim.AUDIO_RECORD, 0), lambda fs: set(pcm(fs[-1])) == {0})
    samples = [s for f in record for s in pcm(f)]
    count = (frames - 1) * out_rate // rate + 1
    expected = [1000 + 30000 * j * rate // out_rate // frames for j in range(count)]
    # Where the ramp begins: the tone before it may pass through 1000 too.
    start = next(i for i in range(len(samples))
                 if all(abs(a - b) <= 2 for a, b in zip(samples[i:i + 8], expected[:8])))
    got = samples[start:start + count]
    assert max(abs(a - b) for a, b in zip(got, expected)) <= 2
    assert set(samples[start + count + 1:]) == {0}


def test_pushed_video_shows_each_frame_in_its_size_then_holds_the_last(call):
    c = call({"users": [{"uid": 9, "join": 0, "width": 64, "height": 48}]})
    c.wait_for((sim.VIDEO_RENDER, 9), 1)
    for i, (w, h) in enumerate([(16, 8), (16, 8), (8, 4)]):
        sim.push_video(bytes([50 + i]) * (w * h) + bytes([128]) * (w * h // 2), w, h, uid=9)
    frames = c.wait_until((sim.VIDEO_RENDER, 9),
                          lambda fs: sum(f[0] != 64 for f in fs) >= 4)
    shown = [(f[0], f[1], f[2][0]) for f in frames if f[0] != 64]
    assert shown[:4] == [(16, 8, 50), (16, 8, 51), (8, 4, 52), (8, 4, 52)]
    assert sim.decode_pattern(frames[0][2], 64, 48) == (9, 0)
    # The camera is untouched by a user's push.
    captured = c.wait_for((sim.VIDEO_CAPTURE, 0), 1)[-1]
    assert sim.decode_pattern(captured[2], 64, 48)[0] == 0


@pytest.mark.parametrize("push,error,message", [
    (lambda: sim.push_audio(b"\0" * 3, 48000, 1), ValueError, "whole frames of 2 bytes"),
    (lambda: sim.push_audio(b"\0" * 6, 48000, 2), ValueError, "whole frames of 4 bytes"),
    (lambda: sim.push_audio(b"", 48000, 1), ValueError, "got 0 bytes"),
    (lambda: sim.push_audio(b"\0" * 4, 48000, 3), ValueError, "channels must be 1 or 2"),
    (lambda: sim.push_audio(b"\0" * 4, 500, 1), ValueError, "sample_rate must be"),
    (lambda: sim.push_video(b"\0" * 100, 16, 8), ValueError, "16x8 is 192 bytes, got 100"),
    (lambda: sim.push_video(b"\0" * 21, 3, 4), ValueError, "must be even"),
    (lambda: sim.push_audio(b"\0" * 4, 8000, 1, uid=1002), sim.SimError, "uid 1002 is neither"),
    (lambda: sim.push_video(b"\0" * 6, 2, 2, uid=44), sim.SimError, "uid 44 is neither"),
])
def test_pushes_with_wrong_sizes_or_senders_are_refused_clearly(engine, push, error, message):
    sdk.setParameters('{"sim.users": [{"uid": 1002, "kind": "echo"}]}')
    with pytest.raises(error) as raised:
        push()
    assert message in str(raised.value)


def test_pushes_without_a_call_fill_the_queue_then_time_out(engine):
    second = array.array("h", [1] * 48000).tobytes()
    sim.push_audio(second, 48000, 1, timeout=0)  # one second fits in the queue
    with pytest.raises(TimeoutError, match="only during a call"):
        sim.push_audio(second[:9600], 48000, 1, timeout=0.2)
    for _ in range(8):
        sim.push_video(bytes(6), 2, 2, timeout=0)
    with pytest.raises(TimeoutError):
        sim.push_video(bytes(6), 2, 2, timeout=0.1)
    sim.end_push()  # the queues are dropped: room again
    sim.push_video(bytes(6), 2, 2, timeout=0)
    sdk.terminate()
    with pytest.raises(sim.SimError, match="no engine"):
        sim.push_video(bytes(6), 2, 2)


# --- other formats through PyAV --------------------------------------------------------------

def encode_mp4(path, lumas, fps=10, width=64, height=48, seconds=0.5, tone=1000):
    av = pytest.importorskip("av")
    with av.open(str(path), "w") as out:
        video = out.add_stream("mpeg4", rate=fps)
        video.width, video.height, video.pix_fmt = width, height, "yuv420p"
        audio = out.add_stream("aac", rate=48000)
        for luma in lumas:
            frame = av.VideoFrame(width, height, "yuv420p")
            for plane, value in zip(frame.planes, (luma, 128, 128)):
                plane.update(bytes([value]) * plane.buffer_size)
            out.mux(video.encode(frame))
        out.mux(video.encode())
        n = 1024
        for k in range(int(seconds * 48000) // n):
            wave = array.array("h", [int(8000 * math.sin(2 * math.pi * tone * (k * n + j) / 48000))
                                     for j in range(n)])
            frame = av.AudioFrame(format="s16", layout="mono", samples=n)
            frame.planes[0].update(wave.tobytes())
            frame.sample_rate, frame.pts = 48000, k * n
            out.mux(audio.encode(frame))
        out.mux(audio.encode())
    return str(path)


def test_play_file_decodes_other_formats_and_pushes_them_at_the_senders_rate(tmp_path, call):
    pytest.importorskip("av")
    from velto_sim import media
    # 20 frames at 20 fps into a camera at 10 fps: every other picture is shown.
    path = encode_mp4(tmp_path / "clip.mp4", [20 + 10 * i for i in range(20)], fps=20)
    c = call({"video": {"fps": 10}})
    c.wait_for((sim.VIDEO_CAPTURE, 0), 1)
    pushed = media.play_file(path)
    # Pictures due at 0, 0.1, ... 0.9 s, and the last one (0.95 s) to end on.
    assert pushed["video"] == 11 and 20000 <= pushed["audio"] <= 26000
    # The clip's pictures are flat grey, the camera's pattern is not.
    captured = c.wait_until((sim.VIDEO_CAPTURE, 0),
                            lambda fs: sum(max(f[2]) - min(f[2]) < 16 for f in fs) >= 12)
    shown = [f[2][0] for f in captured if max(f[2]) - min(f[2]) < 16]
    expected = [20 + 20 * i for i in range(10)] + [210, 210]
    assert all(abs(a - b) <= 4 for a, b in zip(shown, expected)), shown
    record = c.wait_until((sim.AUDIO_RECORD, 0),
                          lambda fs: any(3000 < max(pcm(f)) < 0.98 * sim.TONE_AMPLITUDE
                                         for f in fs))
    assert not is_tone(record[-1])


def test_without_pyav_the_helper_says_what_to_install(tmp_path):
    code = ("import sys; sys.modules['av'] = None\n"
            "from velto_sim import media\n"
            "try:\n    media.play_file('x.mp3')\n"
            "except ImportError as e:\n    print(e)\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert 'python -m pip install "pyveltosdk[media]"' in proc.stdout
    assert "python -m pip install av" in proc.stdout
