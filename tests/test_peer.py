"""The command-line peer, run as a user runs it: a subprocess with a timeout, checked by its exit
status and what it prints. Alone in its channel it sees the scripted users and its own files
coming back through the echo user."""
import importlib.util
import os
import signal
import subprocess
import sys
import time
import uuid

import pytest

from test_media_sources import encode_mp4, write_wav, write_y4m

PEER = [sys.executable, "-m", "velto_sim", "peer"]


def channel():
    # A channel of its own, so that peers of parallel runs never meet.
    return "peer-test-" + uuid.uuid4().hex[:12]


def run_peer(args, timeout=60, env=None, cwd=None):
    full_env = dict(os.environ, **(env or {}))
    full_env.pop("VELTO_SIM_LIVE", None)  # the peer switches live calls on itself
    return subprocess.run(PEER + args, capture_output=True, text=True, timeout=timeout,
                          env=full_env, cwd=cwd)


@pytest.mark.parametrize("media", ["native", "pyav"])
def test_a_peer_alone_sees_the_scripted_users_and_its_own_media_come_back(tmp_path, media):
    if media == "native":
        audio = write_wav(tmp_path / "speech.wav", 16000, 1, [500] * 1600)
        video = write_y4m(tmp_path / "cam.y4m", 96, 64, [60, 70], fps="10:1")
    else:
        pytest.importorskip("av")
        audio = video = encode_mp4(tmp_path / "clip.mp4", [60, 70] * 5, width=96, height=64)
    name = channel()
    proc = run_peer(["--channel", name, "--uid", "77", "--audio", audio, "--video", video,
                     "--seconds", "2", "--scripted-users", "--loop"])
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "peer: joined %s as uid 77" % name
    for expected in ["peer: uid 1001 joined", "peer: uid 1001 video 320x240",
                     "peer: uid 1001 audio 48000 Hz, 1 channel", "peer: uid 1002 joined",
                     # the echo user returns the peer's own camera: the file's size
                     "peer: uid 1002 video 96x64"]:
        assert expected in lines, proc.stdout
    assert any(line.startswith("peer: left %s after 2." % name) for line in lines)
    counts = {line.split(": ", 2)[1]: int(line.split()[3]) for line in lines
              if line.endswith(" frames")}
    assert counts["uid 1001"] > 0 and counts["uid 1002"] > 0
    assert proc.stderr == ""


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_or_sigterm_leaves_the_call_and_exits_with_128_plus_the_signal(tmp_path, number):
    proc = subprocess.Popen(PEER + ["--channel", channel(), "--scripted-users"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().startswith("peer: joined ")
        time.sleep(0.3)
        proc.send_signal(number)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 128 + number, err
    assert "peer: left peer-test-" in out and "Traceback" not in err


@pytest.mark.parametrize("args,status,message", [
    ([], 2, "the following arguments are required: --channel"),
    (["--channel", "x", "--seconds", "-1"], 2, "--seconds must not be negative"),
    (["--channel", "x", "--uid", "-5"], 2, "--uid must be from 0 to 4294967295"),
    (["--channel", "x", "--audio", "missing.wav"], 2, "--audio missing.wav: no such file"),
    (["--channel", "x", "--bogus"], 2, "unrecognized arguments: --bogus"),
])
def test_bad_arguments_are_refused_before_joining(tmp_path, args, status, message):
    proc = run_peer(args, cwd=str(tmp_path))
    assert proc.returncode == status
    assert proc.stderr.count("\n") == 1 and message in proc.stderr and proc.stdout == ""


def write_text(path):
    path.write_text("hello\n")
    return str(path)


def needs_pyav(case):
    return pytest.param(*case, marks=pytest.mark.skipif(
        importlib.util.find_spec("av") is None, reason="PyAV decodes other formats"))


UNPLAYABLE = [
    ("audio", lambda d: write_text(d / "notes.wav"), "not a WAV file"),
    ("video", lambda d: write_text(d / "notes.y4m"), "not a Y4M file"),
    needs_pyav(("audio", lambda d: write_text(d / "notes.txt"), "cannot read it: ")),
    ("video", lambda d: write_wav(d / "talk.wav", 8000, 1, [1] * 80),
     "a WAV file holds audio only"),
    ("audio", lambda d: write_y4m(d / "cam.y4m", 8, 8, [1]), "a Y4M file holds video only"),
    ("audio", lambda d: write_wav(d / "8.wav", 8000, 1, [1] * 80, bits=8),
     "8-bit samples; only 16-bit PCM plays"),
    ("audio", lambda d: write_wav(d / "24.wav", 8000, 1, [1] * 80, bits=24),
     "24-bit samples; only 16-bit PCM plays"),
    ("audio", lambda d: write_wav(d / "float.wav", 8000, 1, [1] * 80, bits=32, fmt=3),
     "32-bit float samples; only 16-bit PCM plays"),
    ("video", lambda d: str(d), "is a folder, not a file"),
]


@pytest.mark.parametrize("kind,make,message", UNPLAYABLE)
def test_a_file_that_cannot_play_is_refused_in_one_line_before_joining(tmp_path, kind, make,
                                                                        message):
    path = make(tmp_path)
    proc = run_peer(["--channel", channel(), "--%s" % kind, path, "--seconds", "1"])
    assert proc.returncode == 2
    assert proc.stderr.startswith("peer: --%s %s: " % (kind, path))
    assert proc.stderr.count("\n") == 1 and message in proc.stderr, proc.stderr
    assert proc.stdout == ""  # never joined


def test_other_commands_show_the_usage():
    proc = subprocess.run([sys.executable, "-m", "velto_sim", "dance"], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 2 and "python -m velto_sim peer --channel NAME" in proc.stderr


def test_other_formats_without_pyav_say_what_to_install(tmp_path):
    # A module named av that fails to import stands in for a machine without PyAV.
    (tmp_path / "av.py").write_text("raise ImportError('no PyAV here')\n")
    clip = tmp_path / "talk.mp3"
    clip.write_bytes(b"ID3")
    path = os.pathsep.join(p for p in [str(tmp_path), os.environ.get("PYTHONPATH")] if p)
    proc = run_peer(["--channel", channel(), "--audio", str(clip), "--seconds", "1"],
                    env={"PYTHONPATH": path})
    assert proc.returncode == 1
    assert 'python -m pip install "pyveltosdk[media]"' in proc.stderr
    assert "joined" not in proc.stdout


def test_two_peers_in_one_channel_see_each_other_and_the_leave(tmp_path):
    video = write_y4m(tmp_path / "cam.y4m", 64, 48, [60, 70], fps="10:1")
    name = channel()
    first = subprocess.Popen(PEER + ["--channel", name, "--uid", "5", "--video", video,
                                     "--loop", "--seconds", "4"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert first.stdout.readline() == "peer: joined %s as uid 5\n" % name
        second = run_peer(["--channel", name, "--uid", "6", "--seconds", "1.5"])
        out, err = first.communicate(timeout=30)
    finally:
        if first.poll() is None:
            first.kill()
            first.communicate()
    assert second.returncode == 0 and first.returncode == 0, second.stderr + err
    for expected in ["peer: uid 5 joined", "peer: uid 5 video 64x48",
                     "peer: uid 5 audio 48000 Hz, 1 channel"]:
        assert expected in second.stdout.splitlines(), second.stdout
    for expected in ["peer: uid 6 joined", "peer: uid 6 video 320x240", "peer: uid 6 left (quit)"]:
        assert expected in out.splitlines(), out
