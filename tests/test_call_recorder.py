"""The call recorder, run as a user runs it against a live simulated call, its files read back
with an independent decoder (PyAV): durations, frames and audio/video sync against the summary
and the call, the composite's layout, every way of stopping it, every bad input."""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import uuid
import wave

import pytest

av = pytest.importorskip("av")
np = pytest.importorskip("numpy")

RECORDER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "examples", "call_recorder.py")
# Recordings meet nobody else's calls: a test's own rendezvous folder when it has one, and one
# of this module's otherwise (module-scoped fixtures run outside any test's folder).
PRIVATE_NETWORK_DIR = tempfile.mkdtemp(prefix="vsr-")


def live_env():
    env = dict(os.environ, VELTO_SIM_LIVE="1")
    env.setdefault("VELTO_SIM_NETWORK_DIR", PRIVATE_NETWORK_DIR)
    return env

# A pattern user that leaves early and an echo user that sends our camera and microphone back.
# Pictures 256 wide carry the pattern's code in cells 4 pixels wide, clear after compression.
CAMERA_FPS = 15
ENGINE_CONFIG = json.dumps({"sim": {"stats": {"intervalMs": 500}, "users": [
    {"uid": 7, "join": 0.1, "leave": 1.5, "width": 256, "height": 144, "fps": 15,
     "sampleRate": 16000, "channels": 2},
    {"uid": 8, "kind": "echo", "join": 0.2}]}})
TICK = 0.020  # the simulated tone is twice as loud for the first 20 ms of every second


def recorder_args(out, *extra):
    # A channel of its own: other programs on this machine that join the same channel name
    # would be recorded too.
    channel = "recorder-test-" + uuid.uuid4().hex[:12]
    return [sys.executable, RECORDER, "--out", str(out), "--channel", channel,
            "--width", "256", "--height", "144",
            "--fps", str(CAMERA_FPS), "--composite-size", "512x144", "--composite-fps", "15",
            "--engine-config", ENGINE_CONFIG] + list(extra)


def run_folder(out):
    runs = sorted(os.listdir(str(out)))
    assert len(runs) == 1, runs
    return os.path.join(str(out), runs[0])


def load_summary(folder):
    with open(os.path.join(folder, "summary.json")) as f:
        return json.load(f)


# --- reading the files back ---------------------------------------------------------------------

def pattern_code(luma, x0=0, width=256):
    """(uid, frame number) from the code cells in the bottom row of a picture region, or None."""
    row = luma[-1, x0:x0 + width].astype(int)
    cell = width // 64
    bits = [row[i * cell + cell // 2] for i in range(64)]
    if any(40 < b < 200 for b in bits):
        return None
    code = int("".join("1" if b >= 200 else "0" for b in bits), 2)
    return code >> 32, code & 0xFFFFFFFF


def decode_video(path):
    """[(seconds, luma array)] up to the first undecodable packet (a file cut short)."""
    frames = []
    with av.open(path) as container:
        stream = container.streams.video[0]
        try:
            for packet in container.demux(stream):
                for frame in packet.decode():
                    frames.append((float(frame.time), frame.to_ndarray(format="gray")))
        except av.FFmpegError:
            pass
    return frames


def decode_audio(path):
    """(seconds of the first sample, rate, mono float samples)."""
    parts, first, rate = [], None, None
    with av.open(path) as container:
        stream = container.streams.audio[0]
        try:
            for packet in container.demux(stream):
                for frame in packet.decode():
                    if first is None:
                        first, rate = float(frame.time), frame.sample_rate
                    pcm = frame.to_ndarray()
                    parts.append(pcm[0] if frame.format.is_planar else pcm[0][::len(
                        frame.layout.channels)])
        except av.FFmpegError:
            pass
    samples = np.concatenate(parts).astype(np.float64)
    if samples.dtype.kind == "i" or np.abs(samples).max() > 2:
        samples = samples / 32768.0
    return first, rate, samples


def ticks(first, rate, samples):
    """Times at which the tone's ticks (20 ms at twice the loudness) start. The loudness is the
    mean of |x| over 4 ms, every 1 ms, against its mean 22 to 40 ms on either side (a mix of
    tones beats, users come and go): a tick is twice that on both sides, so neither silence
    (a lost frame) nor a burst after one looks like a tick."""
    window = rate // 1000
    smooth = np.convolve(np.abs(samples), np.ones(4 * window) / (4 * window), mode="same")
    loudness = smooth[::window]
    count = len(loudness)
    assert count > 80
    loud = np.zeros(count + 1, bool)
    for i in range(40, count - 40):
        before, after = loudness[i - 40:i - 22].mean(), loudness[i + 22:i + 40].mean()
        loud[i] = 1.6 * max(before, after) < loudness[i] < 2.6 * min(before, after)
    found, run = [], 0
    for i, high in enumerate(loud):
        if high:
            run += 1
            continue
        # A tick lasts 20 ms, or 10 when the engine skipped one of its two frames; the 4 ms
        # smoothing takes about 3 ms off.
        if 6 <= run <= 24:
            found.append(first + (i - run - 1.5) * window / rate)
        run = 0
    return found


def assert_in_sync(video_offsets, audio_ticks, tolerance=0.040):
    """Video frames and the audio's ticks tell the same file-time of the call's start."""
    assert video_offsets and audio_ticks
    video = float(np.median(video_offsets))
    for tick in audio_ticks:
        second = round(tick - video)
        assert second >= 1
        assert abs((tick - second) - video) < tolerance, (tick, second, video)


# --- one recording, read back -------------------------------------------------------------------

@pytest.fixture(scope="module", params=["mp4", "webm"])
def recording(request, tmp_path_factory):
    out = tmp_path_factory.mktemp("recordings-" + request.param)
    extra = ["--volume", "0.5"] + (["--stats"] if request.param == "webm" else [])
    proc = subprocess.run(recorder_args(out, "--seconds", "4", "--format", request.param,
                                        *extra),
                          capture_output=True, text=True, timeout=90, env=live_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr
    folder = run_folder(out)
    return {"format": request.param, "folder": folder, "stdout": proc.stdout,
            "stderr": proc.stderr, "summary": load_summary(folder)}


def test_each_file_agrees_with_the_summary_and_the_call(recording):
    folder, summary, ext = recording["folder"], recording["summary"], recording["format"]
    users = {user["uid"]: user for user in summary["users"]}
    assert sorted(users) == [7, 8]
    expected = {"summary.json", "composite." + ext}
    for uid, user in users.items():
        assert user["files"] == ["user-%d.%s" % (uid, ext)]
        assert user["snapshot"] == "user-%d.png" % uid
        expected |= {user["files"][0], user["snapshot"]}
        assert user["video"]["dropped"] == user["audio"]["dropped"] == 0
        frames = decode_video(os.path.join(folder, user["files"][0]))
        assert len(frames) == user["video"]["written"] == user["video"]["received"]
        # The files say what the summary says, to within a frame interval (and AAC's 21 ms of
        # priming, by which MP4 shifts all but its first picture).
        span = frames[-1][0] - frames[0][0] + 1.0 / CAMERA_FPS
        assert abs(user["video"]["seconds"] - span) <= 1.0 / CAMERA_FPS + 0.03
        first, rate, samples = decode_audio(os.path.join(folder, user["files"][0]))
        assert abs(len(samples) / rate - user["audio"]["seconds"]) <= 1.0 / CAMERA_FPS
        # The sound covers the user's time in the call, from the first frame to the last.
        present = user["lastSeconds"] - user["firstSeconds"]
        assert abs(user["audio"]["seconds"] - present) <= 1.0 / CAMERA_FPS, (uid, present)
        # Pictures come from the echo of our camera or at the user's own rate: a frame
        # interval or two inside that time.
        assert present - 3.0 / CAMERA_FPS <= span <= present + 1.0 / CAMERA_FPS + 0.03
    assert set(os.listdir(folder)) == expected
    # User 7 sends its tone (peak 8192 of 32768) at half volume: heard, and not full.
    _, _, samples = decode_audio(os.path.join(folder, users[7]["files"][0]))
    assert 0.11 <= np.percentile(np.abs(samples), 98) <= 0.14  # the lossy coder overshoots
    # Present from its join at 0.1 s to its leave at 1.5 s.
    assert 0.05 <= users[7]["firstSeconds"] <= 0.4 and 1.2 <= users[7]["lastSeconds"] <= 1.8
    composite = summary["composite"]
    frames = decode_video(os.path.join(folder, composite["files"][0]))
    assert len(frames) == composite["video"]["written"]
    length = frames[-1][0] - frames[0][0] + 1.0 / 15
    assert abs(length - summary["seconds"]) <= 1.0 / 15 + 0.025
    first, rate, samples = decode_audio(os.path.join(folder, composite["files"][0]))
    assert abs(len(samples) / rate - summary["seconds"]) <= 1.0 / 15 + 0.03
    assert np.abs(samples).max() > 0.1
    assert summary["seconds"] >= 4 and summary["ended"] == "time up"


def test_audio_and_video_are_in_sync_per_user_and_in_the_composite(recording):
    folder, summary = recording["folder"], recording["summary"]
    echo = [u for u in summary["users"] if u["uid"] == 8][0]
    path = os.path.join(folder, echo["files"][0])
    # The echo user sends back our camera: frame n was taken n / fps seconds into the call.
    offsets = []
    for seconds, luma in decode_video(path):
        code = pattern_code(luma)
        assert code is not None and code[0] == 0
        offsets.append(seconds - code[1] / CAMERA_FPS)
    found = ticks(*decode_audio(path))
    assert found  # at 1 s and 2 s into the call, unless the engine skipped that round
    assert_in_sync(offsets, found)
    # The composite shows each user's latest picture at its own ticks: the first appearance of
    # a frame number is at most one composite interval after its arrival.
    path = os.path.join(folder, summary["composite"]["files"][0])
    layouts = summary["composite"]["layouts"]
    first_seen = {}
    for seconds, luma in decode_video(path):
        users = [layout["users"] for layout in layouts if layout["seconds"] <= seconds][-1]
        x0 = {(8,): 128, (7, 8): 256}.get(tuple(users))  # where the echo user's tile is
        code = None if x0 is None else pattern_code(luma, x0)
        if code is not None and code[0] == 0:
            first_seen.setdefault(code[1], seconds)
    earliest = min(seen - number / CAMERA_FPS for number, seen in first_seen.items())
    assert_in_sync([earliest], ticks(*decode_audio(path)), tolerance=0.040 + 1.0 / 15)


def test_the_composite_layout_follows_who_is_present(recording):
    folder, composite = recording["folder"], recording["summary"]["composite"]
    users = [layout["users"] for layout in composite["layouts"]]
    assert users[-1] == [8] and [7, 8] in users and users.index([7, 8]) < len(users) - 1
    changes = [(layout["seconds"], layout["users"]) for layout in composite["layouts"]]
    both = [s for s, u in changes if u == [7, 8]][0]
    alone = changes[-1][0]
    checked = {"both": 0, "alone": 0}
    for seconds, luma in decode_video(os.path.join(folder, composite["files"][0])):
        if both + 0.15 < seconds < alone - 0.15:
            # Side by side: user 7's pattern on the left, the echo of our camera on the right.
            assert pattern_code(luma, 0)[0] == 7 and pattern_code(luma, 256)[0] == 0
            checked["both"] += 1
        elif seconds > alone + 0.15:
            # User 7 left: the echo user alone, centred; nothing of user 7 anywhere.
            assert pattern_code(luma, 128)[0] == 0
            assert luma[:, :120].max() < 30 and luma[:, 392:].max() < 30  # black both sides
            checked["alone"] += 1
    # Every picture of both phases showed its layout; a loaded machine may make few of them.
    assert checked["both"] >= 1 and checked["alone"] >= 1


def test_progress_and_statistics_lines_when_not_on_a_terminal(recording):
    stdout = recording["stdout"]
    assert "\r" not in stdout and "\x1b[" not in stdout
    progress = [line for line in stdout.splitlines() if " s / 4 s | " in line]
    assert progress and any("8: " in line and " dropped" in line for line in progress)
    # Statistics lines only with --stats (the webm run).
    assert ("onLocalVideoStats" in stdout) == (recording["format"] == "webm")
    assert "callback time per frame" in stdout


# --- raw format ---------------------------------------------------------------------------------

def read_y4m(path):
    """(header fields, [luma arrays]); a cut last frame is left out."""
    with open(path, "rb") as f:
        data = f.read()
    header, _, body = data.partition(b"\n")
    fields = header.split(b" ")
    assert fields[0] == b"YUV4MPEG2"
    named = {field[:1].decode(): field[1:].decode() for field in fields[1:]}
    width, height = int(named["W"]), int(named["H"])
    size = width * height * 3 // 2
    frames = []
    while len(body) >= 6 + size:
        assert body.startswith(b"FRAME\n")
        frame = np.frombuffer(body[6:6 + size], np.uint8)
        frames.append((frame[:width * height].reshape(height, width), frame[width * height:]))
        body = body[6 + size:]
    return named, frames


def read_wav(path):
    with wave.open(path) as w:
        rate, channels = w.getframerate(), w.getnchannels()
        pcm = np.frombuffer(w.readframes(w.getnframes()), np.int16)
    return rate, pcm[::channels] / 32768.0


def test_raw_format_keeps_wav_and_y4m_in_step(tmp_path):
    proc = subprocess.run(recorder_args(tmp_path, "--seconds", "2.5", "--format", "raw",
                                        "--grayscale", "--no-composite"),
                          capture_output=True, text=True, timeout=90, env=live_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr
    folder = run_folder(tmp_path)
    summary = load_summary(folder)
    echo = [u for u in summary["users"] if u["uid"] == 8][0]
    assert echo["files"] == ["user-8.y4m", "user-8.wav"] and summary["composite"] is None
    header, frames = read_y4m(os.path.join(folder, "user-8.y4m"))
    assert (header["W"], header["H"], header["F"]) == ("256", "144", "%d:1" % CAMERA_FPS)
    assert len(frames) == echo["video"]["written"]
    # --grayscale edits our camera, which the echo user sends back.
    assert all(set(np.unique(chroma)) == {128} for _, chroma in frames)
    # Frames are placed by arrival at the file's rate: frame i is at i / fps.
    offsets = [i / CAMERA_FPS - pattern_code(luma)[1] / CAMERA_FPS
               for i, (luma, _) in enumerate(frames)]
    rate, samples = read_wav(os.path.join(folder, "user-8.wav"))
    assert abs(len(samples) / rate - echo["audio"]["seconds"]) < 0.01
    # The snapshot in limited-range colours: the grey code cells, luma 16 and 235, are black
    # and white (read as full range they would be 16 and 235).
    with av.open(os.path.join(folder, "user-8.png")) as container:
        rgb = next(container.decode(video=0)).to_ndarray(format="rgb24")
    assert rgb.shape == (144, 256, 3)
    assert set(np.unique(rgb[-1, 2::4])) == {0, 255}
    assert_in_sync(offsets, ticks(0.0, rate, samples), tolerance=0.040 + 1.0 / CAMERA_FPS)


def test_without_pyav_the_files_are_raw_with_a_note(tmp_path):
    # PyAV made unimportable, as on a machine where only the package was installed.
    code = ("import runpy, sys; sys.modules['av'] = None; sys.argv = sys.argv[1:]; "
            "runpy.run_path(sys.argv[0], run_name='__main__')")
    proc = subprocess.run([sys.executable, "-c", code] + recorder_args(tmp_path, "--seconds",
                                                                        "1")[1:],
                          capture_output=True, text=True, timeout=60, env=live_env())
    assert proc.returncode == 0, proc.stderr
    notes = [line for line in proc.stderr.splitlines() if "PyAV" in line]
    assert len(notes) == 1 and 'pip install ".[recorder]"' in notes[0]
    folder = run_folder(tmp_path)
    summary = load_summary(folder)
    assert summary["format"] == "raw"
    # The composite too, as Y4M at its own rate for the length of the call, and WAV.
    header, frames = read_y4m(os.path.join(folder, "composite.y4m"))
    assert (header["W"], header["H"], header["F"]) == ("512", "144", "15:1")
    assert abs(len(frames) / 15.0 - summary["seconds"]) <= 1.0 / 15 + 0.02
    rate, samples = read_wav(os.path.join(folder, "composite.wav"))
    assert abs(len(samples) / rate - summary["seconds"]) <= 0.02 and samples.max() > 0.1
    refused = subprocess.run([sys.executable, "-c", code] + recorder_args(
        tmp_path / "x", "--format", "mp4")[1:], capture_output=True, text=True, timeout=60,
        env=live_env())
    assert refused.returncode == 2 and "--format mp4 needs PyAV" in refused.stderr


# --- stopping it --------------------------------------------------------------------------------

def start(out, *extra, **kwargs):
    return subprocess.Popen(recorder_args(out, *extra), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=live_env(), **kwargs)


def wait_for_recording(out, seconds):
    """Waits until the echo user's file has been growing for about `seconds`."""
    deadline = time.monotonic() + 30
    while True:
        runs = os.listdir(str(out)) if os.path.isdir(str(out)) else []
        names = os.listdir(os.path.join(str(out), runs[0])) if runs else []
        if any(name.startswith("user-8.") for name in names):
            break
        assert time.monotonic() < deadline, "no recording began"
        time.sleep(0.05)
    time.sleep(seconds)


def playable(path):
    """A file that opens and decodes from its start, with its video and audio."""
    frames = decode_video(path)
    first, rate, samples = decode_audio(path)
    return frames, len(samples) / rate


@pytest.mark.parametrize("signals,status", [
    ([signal.SIGINT], 130),
    ([signal.SIGTERM], 143),
    ([signal.SIGTERM, signal.SIGINT], 143),  # the second one while finishing
])
def test_signals_finish_the_files_and_the_summary(tmp_path, signals, status):
    proc = start(tmp_path, "--seconds", "30")
    try:
        wait_for_recording(tmp_path, 1.5)
        for number in signals:
            proc.send_signal(number)
            time.sleep(0.02)
        stdout, stderr = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == status, stderr
    assert "Traceback" not in stderr
    folder = run_folder(tmp_path)
    summary = load_summary(folder)
    assert summary["ended"] == signal.Signals(signals[0]).name and summary["seconds"] < 20
    for name in os.listdir(folder):
        assert os.path.getsize(os.path.join(folder, name)) > 0, name
        assert not name.endswith(".part")
    for name in ["user-8.mp4", "composite.mp4"]:
        frames, audio_seconds = playable(os.path.join(folder, name))
        assert len(frames) >= 10 and audio_seconds >= 1.0


def extension_loaded(pid):
    try:
        with open("/proc/%d/maps" % pid) as maps:
            return "_pyveltosdk" in maps.read()
    except OSError:
        return False


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="reads /proc/PID/maps")
@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_while_the_program_loads_ends_it_with_128_plus_the_signal(tmp_path, number):
    out = tmp_path / "out"
    proc = subprocess.Popen(recorder_args(out, "--seconds", "5"), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=live_env())
    try:
        # The moment the engine module loads: before the handlers were installed, a signal
        # then was a KeyboardInterrupt traceback or death by SIGTERM.
        deadline = time.monotonic() + 30
        while not extension_loaded(proc.pid):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.0005)
        proc.send_signal(number)
        stdout, stderr = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 128 + number, stderr
    assert stderr == "" and stdout == "" and not out.exists()


@pytest.mark.parametrize("how", ["closed at the start", "after no line", "after a line",
                                 "after a line, with stderr"])
def test_an_output_that_goes_away_never_ends_the_recording(tmp_path, how):
    # As `>&-`, `| head -1` or a log pipe that dies: the output closes while the call runs.
    # --stats: the engine prints on the same output as well.
    if how == "closed at the start" and sys.platform == "win32":
        pytest.skip("a child's descriptors cannot be closed before it starts on Windows")
    args = recorder_args(tmp_path, "--seconds", "3", "--stats")
    if how == "closed at the start":
        proc = subprocess.Popen(args, stderr=subprocess.PIPE, env=live_env(),
                                preexec_fn=lambda: os.close(1))
    else:
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, env=live_env(),
                                stderr=subprocess.STDOUT if "stderr" in how else subprocess.PIPE)
    try:
        if proc.stdout is not None:
            if "a line" in how:
                assert proc.stdout.readline()
            proc.stdout.close()
        stderr = proc.stderr.read() if proc.stderr is not None else b""
        proc.wait(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0, stderr
    assert b"Traceback" not in stderr
    folder = run_folder(tmp_path)
    summary = load_summary(folder)
    assert summary["ended"] == "time up" and summary["seconds"] >= 3
    frames, audio_seconds = playable(os.path.join(folder, "user-8.mp4"))
    # The whole call is in the file, not the first second of it.
    assert frames[-1][0] - frames[0][0] >= 2.0 and audio_seconds >= 2.0
    for name in os.listdir(folder):  # and the engine's lines are in none of the files
        with open(os.path.join(folder, name), "rb") as f:
            assert b"onLocalVideoStats" not in f.read(), name


@pytest.mark.parametrize("fmt", ["mp4", "webm", "raw"])
def test_a_killed_recording_is_readable_up_to_near_the_kill(tmp_path, fmt):
    proc = start(tmp_path, "--seconds", "30", "--format", fmt)
    try:
        wait_for_recording(tmp_path, 2.5)
        proc.kill()
        proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    folder = run_folder(tmp_path)
    assert not os.path.exists(os.path.join(folder, "summary.json"))
    if fmt != "raw":
        frames, audio_seconds = playable(os.path.join(folder, "user-8." + fmt))
        video_seconds = frames[-1][0] - frames[0][0]
    else:
        header, frames = read_y4m(os.path.join(folder, "user-8.y4m"))
        video_seconds = len(frames) / float(header["F"].split(":")[0])
        rate, samples = read_wav(os.path.join(folder, "user-8.wav"))
        audio_seconds = len(samples) / rate
    # About 2.5 s recorded; at most about a second is lost.
    assert video_seconds >= 1.2 and audio_seconds >= 1.2, (video_seconds, audio_seconds)


def test_on_a_terminal_progress_refreshes_one_line_and_zero_seconds_means_until_ctrl_c(
        tmp_path):
    import pty  # POSIX only

    master, slave = pty.openpty()
    proc = subprocess.Popen(recorder_args(tmp_path, "--seconds", "0"), stdout=slave,
                            stderr=subprocess.PIPE, env=live_env())
    os.close(slave)
    seen = b""
    try:
        deadline = time.monotonic() + 30
        while b"until Ctrl-C | 2 present" not in seen:
            assert time.monotonic() < deadline and proc.poll() is None, seen
            if select.select([master], [], [], 0.2)[0]:
                seen += os.read(master, 65536)
        proc.send_signal(signal.SIGINT)
        while proc.poll() is None or select.select([master], [], [], 0.2)[0]:
            if select.select([master], [], [], 0.2)[0]:
                try:
                    seen += os.read(master, 65536)
                except OSError:
                    break
            assert time.monotonic() < deadline + 30
    finally:
        proc.kill()
        proc.wait()
        os.close(master)
    assert proc.returncode == 130
    text = seen.decode()
    progress = text.split("joined channel")[1].split("\n", 1)[1].split("SIGINT")[0]
    assert progress.count("\r") >= 3 and "\x1b[K" in progress
    assert progress.strip("\r\n").count("\n") == 0  # one line, redrawn in place


# --- bad input ----------------------------------------------------------------------------------

@pytest.mark.parametrize("args,message", [
    (["--seconds", "-1"], "--seconds must be a finite number of at least 0"),
    (["--seconds", "nan"], "--seconds must be a finite number"),
    (["--seconds", "inf"], "--seconds must be a finite number"),
    (["--volume", "-0.5"], "--volume must be a finite number of at least 0"),
    (["--volume", "nan"], "--volume must be a finite number"),
    (["--volume=-inf"], "--volume must be a finite number"),
    (["--format", "avi"], "invalid choice: 'avi'"),
    (["--engine-config", "[1]"], "expected a JSON object"),
    (["--out", "{file}"], "is a file"),
    (["--out", "{file}/sub"], "cannot create output folder"),
    (["--out", "/proc/recordings"], "cannot create output folder"),
    (["--out", "/proc"], "cannot write in output folder /proc"),
    # What the engine would refuse at join, wrap, or quietly change into something else.
    (["--channel", ""], "--channel: must not be empty"),
    (["--uid", "-1"], "--uid: must be a whole number from 0 to 4294967295, got -1"),
    (["--uid", "4294967296"], "--uid: must be a whole number from 0 to 4294967295"),
    (["--bitrate", "-1"], "--bitrate: must be a whole number from 0 to 1000000, got -1"),
    (["--width", "321"], "--width: must be an even number from 16 to 3840, got 321"),
    (["--height", "4000"], "--height: must be an even number from 16 to 2160"),
    (["--fps", "61"], "--fps: must be a whole number from 1 to 60"),
])
def test_bad_input_is_one_line_and_status_2_before_the_call(tmp_path, args, message):
    if sys.platform == "win32" and args[-1].startswith("/proc"):
        pytest.skip("/proc, a folder nobody may write in, is Linux's")
    afile = tmp_path / "afile"
    afile.write_text("x")
    out = tmp_path / "out"
    args = [a.replace("{file}", str(afile)) for a in args]
    if "--out" not in args:
        args += ["--out", str(out)]
    proc = subprocess.run([sys.executable, RECORDER] + args, capture_output=True, text=True,
                          timeout=60, env=live_env())
    assert proc.returncode == 2
    assert proc.stderr.count("\n") == 1 and message in proc.stderr, proc.stderr
    assert proc.stdout == ""  # the engine never started
    assert afile.read_text() == "x" and not out.exists()


def test_a_uid_another_process_holds_is_refused_at_join_without_a_folder(tmp_path):
    name = "recorder-test-" + uuid.uuid4().hex[:12]
    peer = subprocess.Popen([sys.executable, "-m", "velto_sim", "peer", "--channel", name,
                             "--uid", "9", "--seconds", "30"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=live_env())
    try:
        assert peer.stdout.readline() == "peer: joined %s as uid 9\n" % name
        out = tmp_path / "out"
        proc = subprocess.run([sys.executable, RECORDER, "--out", str(out), "--channel", name,
                               "--uid", "9", "--seconds", "5"], capture_output=True, text=True,
                              timeout=60, env=live_env())
    finally:
        peer.send_signal(signal.SIGINT)
        peer.communicate(timeout=30)
    assert proc.returncode == 2, proc.stderr
    assert "call_recorder: uid 9 is already in channel" in proc.stderr
    assert "Traceback" not in proc.stderr and not out.exists()


@pytest.fixture
def small_filesystem(tmp_path):
    """A 400 KiB filesystem (tmpfs, which needs root), or a skip where none can be mounted."""
    where = tmp_path / "small"
    where.mkdir()
    try:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=400k", "tmpfs",
                                  str(where)], capture_output=True, timeout=30).returncode == 0
    except OSError:
        mounted = False
    if not mounted:
        pytest.skip("no 400 KiB filesystem can be mounted here (needs root)")
    yield where
    subprocess.run(["umount", str(where)], capture_output=True, timeout=30)


def limit_file_size():
    import resource  # POSIX only

    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write, not a killed process
    resource.setrlimit(resource.RLIMIT_FSIZE, (30000, 30000))


def readable(folder, name):
    """(video frames, audio seconds) a player gets out of a file."""
    path = os.path.join(folder, name)
    if name.endswith(".y4m"):
        return len(read_y4m(path)[1]), None
    if name.endswith(".wav"):
        rate, samples = read_wav(path)
        return None, len(samples) / rate
    try:
        first, rate, samples = decode_audio(path)
        audio_seconds = len(samples) / rate
    except (ValueError, IndexError):  # no audio stream, or nothing of it decodes
        audio_seconds = 0.0
    return len(decode_video(path)), audio_seconds


@pytest.mark.parametrize("limit,fmt", [("filesystem", "mp4"), ("filesystem", "raw"),
                                       ("file size", "mp4")])
def test_a_full_disk_ends_the_call_and_lists_only_what_is_readable(request, tmp_path, limit,
                                                                     fmt):
    out = request.getfixturevalue("small_filesystem") if limit == "filesystem" else tmp_path
    proc = subprocess.run(recorder_args(out, "--seconds", "20", "--format", fmt),
                          capture_output=True, text=True, timeout=90, env=live_env(),
                          preexec_fn=limit_file_size if limit == "file size" else None)
    assert proc.returncode == 2 and "Traceback" not in proc.stderr, proc.stderr
    first = proc.stderr.splitlines()[0]
    reason = "File too large" if limit == "file size" else "No space left on device"
    assert "writing failed" in first and reason in first and "ending the call" in first
    errors = [line for line in proc.stderr.splitlines() if "writing failed" in line]
    assert len(errors) == len(set(errors))  # each failure said once
    folder = run_folder(out)
    summary = load_summary(folder)  # written even on a full filesystem
    assert summary["ended"] == "write failed" and summary["seconds"] < 15 and summary["errors"]
    entries = summary["users"] + [summary["composite"]]
    listed = [name for entry in entries for name in entry["files"]]
    listed += [user["snapshot"] for user in summary["users"] if user["snapshot"]]
    # The folder holds exactly what is listed, and the listing names each file once.
    assert sorted(os.listdir(folder)) == sorted(listed + ["summary.json"])
    listing = proc.stdout.split("files in ")[1]
    for name in listed + ["summary.json"]:
        assert listing.count(name) == 1, (name, listing)
    for name in summary["removed"]:
        assert name not in listing and name not in listed
    # Each file listed plays for as long as the summary says; the ones cut short say so.
    assert summary["incomplete"] and set(summary["incomplete"]) <= set(listed)
    for entry in entries:
        assert set(entry["incomplete"]) <= set(entry["files"])
        for name in entry["files"]:
            frames, audio_seconds = readable(folder, name)
            if frames is not None:
                assert frames == entry["video"]["written"] >= 1, name
            if audio_seconds is not None and entry["audio"] is not None:
                assert abs(audio_seconds - entry["audio"]["seconds"]) <= 0.1, name
    assert listing.count("(incomplete)") == len(summary["incomplete"])


def test_each_run_gets_its_own_folder(tmp_path):
    for _ in range(2):
        proc = subprocess.run(recorder_args(tmp_path, "--seconds", "0.3", "--no-composite"),
                              capture_output=True, text=True, timeout=60, env=live_env())
        assert proc.returncode == 0, proc.stderr
    runs = sorted(os.listdir(str(tmp_path)))
    assert len(runs) == 2
    assert all(os.path.exists(os.path.join(str(tmp_path), run, "summary.json")) for run in runs)
