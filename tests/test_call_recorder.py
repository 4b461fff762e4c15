"""The call recorder example, run as a user runs it, against a live simulated call: the files it
writes must parse with their own formats and hold what the call sent."""
import array
import json
import os
import signal
import struct
import subprocess
import sys
import time
import wave
import zlib

import pytest

import velto_sim as sim

RECORDER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "examples", "call_recorder.py")
LIVE = dict(os.environ, VELTO_SIM_LIVE="1")

# A pattern user in 8 kHz stereo that leaves early, and an echo user that gets our camera.
ENGINE_CONFIG = json.dumps({"sim": {"stats": {"intervalMs": 500}, "users": [
    {"uid": 7, "join": 0.1, "leave": 1.5, "width": 64, "height": 48, "fps": 10,
     "sampleRate": 8000, "channels": 2},
    {"uid": 8, "kind": "echo", "join": 0.2}]}})


def recorder_args(out, *extra):
    return [sys.executable, RECORDER, "--out", str(out), "--width", "96", "--height", "64",
            "--fps", "12", "--engine-config", ENGINE_CONFIG] + list(extra)


def read_y4m(path):
    """(header fields, [(y, u, v)]) of a 4:2:0 YUV4MPEG2 file; fails on any malformed part."""
    with open(path, "rb") as f:
        data = f.read()
    header, _, body = data.partition(b"\n")
    fields = header.split(b" ")
    assert fields[0] == b"YUV4MPEG2"
    named = {field[:1].decode(): field[1:].decode() for field in fields[1:]}
    width, height = int(named["W"]), int(named["H"])
    luma, chroma = width * height, ((width + 1) // 2) * ((height + 1) // 2)
    frames = []
    while body:
        assert body.startswith(b"FRAME\n")
        frame = body[6:6 + luma + 2 * chroma]
        assert len(frame) == luma + 2 * chroma
        frames.append((frame[:luma], frame[luma:luma + chroma], frame[luma + chroma:]))
        body = body[6 + luma + 2 * chroma:]
    return named, frames


def read_png(path):
    """(width, height, RGB rows) of an 8-bit RGB PNG; checks signature, chunk CRCs and filters."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, chunks = 8, []
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        crc, = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert zlib.crc32(kind + body) & 0xFFFFFFFF == crc
        chunks.append((kind, body))
        at += 12 + length
    assert [kind for kind, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"]
    width, height, depth, colour, _, _, _ = struct.unpack(">IIBBBBB", chunks[0][1])
    assert (depth, colour) == (8, 2)
    raw = zlib.decompress(chunks[1][1])
    stride = 1 + 3 * width
    assert len(raw) == height * stride
    rows = [raw[r * stride:(r + 1) * stride] for r in range(height)]
    assert all(row[0] == 0 for row in rows)
    return width, height, [row[1:] for row in rows]


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    out = tmp_path_factory.mktemp("recordings")
    started = time.monotonic()
    proc = subprocess.run(recorder_args(out, "--seconds", "2", "--grayscale", "--volume", "0.5"),
                          capture_output=True, text=True, timeout=60, env=LIVE)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    with open(os.path.join(str(out), "summary.json")) as f:
        summary = json.load(f)
    return {"out": str(out), "stdout": proc.stdout, "summary": summary,
            "files": {os.path.basename(e["path"]): e for e in summary["files"]},
            "took": time.monotonic() - started}


def test_the_recorder_says_where_the_files_went_and_what_flowed(recording):
    out, stdout, summary = recording["out"], recording["stdout"], recording["summary"]
    assert "files written to %s:" % out in stdout
    assert "onLocalVideoStats" in stdout and "onRemoteAudioStats uid:7" in stdout
    assert sorted(recording["files"]) == ["user-7.png", "user-7.wav", "user-7.y4m",
                                          "user-8.png", "user-8.wav", "user-8.y4m"]
    assert sorted(os.listdir(out)) == sorted(list(recording["files"]) + ["summary.json"])
    streams = summary["streams"]
    assert set(streams) == {"record", "playback", "mix", "user audio", "capture", "user video"}
    assert 60 <= streams["record"]["perSecond"] <= 105
    assert 7 <= streams["capture"]["perSecond"] <= 13
    assert all(stream["callbackMicros"] > 0 for stream in streams.values())
    assert recording["took"] < 30


def test_wav_files_hold_each_users_audio_in_its_format_at_the_chosen_volume(recording):
    files = recording["files"]
    for name, rate, channels, seconds in [("user-7.wav", 8000, 2, 1.4), ("user-8.wav", 48000, 1,
                                                                         1.8)]:
        with wave.open(os.path.join(recording["out"], name)) as w:
            assert (w.getframerate(), w.getnchannels(), w.getsampwidth()) == (rate, channels, 2)
            assert w.getnframes() == files[name]["seconds"] * rate
            assert 0.5 * seconds <= w.getnframes() / rate <= seconds + 0.2
            samples = array.array("h", w.readframes(w.getnframes()))
        if name == "user-7.wav":
            # The pattern user's tone at half volume.
            assert max(samples) == sim.TONE_AMPLITUDE // 2
            assert min(samples) == -sim.TONE_AMPLITUDE // 2
    total = sum(e["frames"] for e in files.values() if e["kind"] == "wav")
    assert total == recording["summary"]["streams"]["user audio"]["frames"]


def test_y4m_files_play_the_users_video_frame_by_frame(recording):
    files = recording["files"]
    header, pattern = read_y4m(os.path.join(recording["out"], "user-7.y4m"))
    # The rate is measured from arrivals: on a busy machine it may be off by one.
    rate = header.pop("F").split(":")
    assert rate[1] == "1" and abs(int(rate[0]) - 10) <= 1
    assert header == {"W": "64", "H": "48", "I": "p", "A": "1:1", "C": "420jpeg"}
    assert len(pattern) == files["user-7.y4m"]["frames"] >= 5
    codes = [sim.decode_pattern(y, 64, 48) for y, _, _ in pattern]
    assert all(code[0] == 7 for code in codes)
    assert [code[1] for code in codes] == sorted({code[1] for code in codes})
    assert any(set(u) != {128} for _, u, _ in pattern)  # a coloured pattern
    header, echo = read_y4m(os.path.join(recording["out"], "user-8.y4m"))
    assert (header["W"], header["H"]) == ("96", "64")
    assert header["F"] in ("11:1", "12:1", "13:1")
    assert len(echo) == files["user-8.y4m"]["frames"] >= 8
    # --grayscale edits our camera frames, and the echo user sends back what we sent.
    assert all(set(u) == {128} and set(v) == {128} for _, u, v in echo)
    assert all(sim.decode_pattern(y, 96, 64)[0] == 0 for y, _, _ in echo)
    total = sum(e["frames"] for e in files.values() if e["kind"] == "y4m")
    assert total == recording["summary"]["streams"]["user video"]["frames"]


def test_png_snapshots_show_the_last_frame_in_colour_or_gray(recording):
    width, height, rows = read_png(os.path.join(recording["out"], "user-8.png"))
    assert (width, height) == (96, 64)
    assert all(row[i] == row[i + 1] == row[i + 2] for row in rows for i in range(0, len(row), 3))
    width, height, rows = read_png(os.path.join(recording["out"], "user-7.png"))
    assert (width, height) == (64, 48)
    assert any(row[i] != row[i + 2] for row in rows for i in range(0, len(row), 3))
    # The code row is drawn at 16 and 235 in luma: near black and near white in RGB.
    assert {pixel > 128 for pixel in rows[-1][::3]} == {True, False}


def test_ctrl_c_ends_the_call_early_and_still_finishes_the_files(tmp_path):
    proc = subprocess.Popen(recorder_args(tmp_path, "--seconds", "30", "--no-stats"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=LIVE)
    try:
        deadline = time.monotonic() + 20
        while not os.path.exists(os.path.join(str(tmp_path), "user-8.wav")):
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.05)
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=20)
    finally:
        proc.kill()
    assert proc.returncode == 0, stderr
    assert "interrupted" in stdout and "onLocalVideoStats" not in stdout
    header, frames = read_y4m(os.path.join(str(tmp_path), "user-8.y4m"))
    assert frames and header["F"] in ("11:1", "12:1", "13:1")
    with open(os.path.join(str(tmp_path), "summary.json")) as f:
        assert json.load(f)["seconds"] < 15


@pytest.mark.parametrize("args,message", [
    (["--engine-config", "[1]"], "expected a JSON object"),
    (["--engine-config", "{"], "not JSON"),
    (["--volume", "0"], "must be greater than 0"),
    (["--seconds", "x"], "invalid"),
])
def test_bad_options_are_refused_before_the_engine_starts(tmp_path, args, message):
    proc = subprocess.run([sys.executable, RECORDER, "--out", str(tmp_path / "out")] + args,
                          capture_output=True, text=True, timeout=30, env=LIVE)
    assert proc.returncode == 2 and message in proc.stderr
    assert not os.path.exists(str(tmp_path / "out"))
