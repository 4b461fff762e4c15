"""A frame callback that has not returned when the program ends: the exit waits for it, as for a
non-daemon thread, but says so on standard error, and Ctrl-C then ends the process cleanly."""
import signal
import subprocess
import sys
import time

import pytest

PROGRAM = r"""
import queue, sys, threading, time
import _pyveltosdk as sdk, velto_sim as sim

kind, ending = sys.argv[1:]
jam = queue.Queue(maxsize=1)  # its consumer has stopped
entered = threading.Event()

def callback(*args):
    entered.set()
    if ending == "never":
        jam.put(1)
        jam.put(2)  # blocks for ever
    else:
        time.sleep(4.5)
    return (None,) if kind == "audio" else (None, None, None)

sdk.initialize("{}")
if kind == "audio":
    sdk.registerAudioObserver(callback)
    deliver = lambda: sim.deliver_audio(0, b"\0" * 8, samples=4, timeout=None)
else:
    sdk.registerVideoObserver(callback)
    deliver = lambda: sim.deliver_video(10, 2, 2, b"\0" * 4, b"\0", b"\0", timeout=None)
threading.Thread(target=deliver, daemon=True).start()
assert entered.wait(20)
print("program ends", flush=True)
"""

CRASH_SIGNS = ("Fatal Python error", "Segmentation fault", "terminate called", "Traceback")


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@pytest.mark.parametrize("kind, ending", [("audio", "never"), ("video", "later")])
def test_exit_names_the_callback_it_waits_for_and_ctrl_c_ends_it(tmp_path, kind, ending):
    if ending == "never" and sys.platform == "win32":
        pytest.skip("Ctrl-C cannot be sent to one process on Windows (os.kill terminates it)")
    out_path, err_path = tmp_path / "out", tmp_path / "err"
    with open(out_path, "w") as out, open(err_path, "w") as err:
        proc = subprocess.Popen([sys.executable, "-c", PROGRAM, kind, ending], stdout=out,
                                stderr=err, stdin=subprocess.DEVNULL)
    try:
        named = wait_for(lambda: "waits for a" in err_path.read_text(), 30)
        assert named, err_path.read_text()
        if ending == "never":
            proc.send_signal(signal.SIGINT)
        status = proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    stderr = err_path.read_text()
    assert out_path.read_text() == "program ends\n"
    assert "waits for a%s %s frame callback that has not returned" % (
        "n" if kind == "audio" else "", kind) in stderr
    assert not any(sign in stderr for sign in CRASH_SIGNS), stderr
    if ending == "never":
        assert status == -signal.SIGINT and "interrupted" in stderr
    else:
        assert status == 0


def test_a_daemon_thread_waiting_for_events_during_the_exit_wait_does_not_keep_it():
    # The exit waits 1.5 s for the video callback; the daemon thread's wait for events ends its
    # slice meanwhile and is parked, which must not count as a thread the exit waits for.
    program = PROGRAM.replace("time.sleep(4.5)", "time.sleep(1.5)").replace(
        'print("program ends"',
        'import pyveltosdk\n'
        'stream = pyveltosdk.Engine().open().join("room", uid=1).events()\n'
        'threading.Thread(target=lambda: list(stream), daemon=True).start()\n'
        'print("program ends"')
    proc = subprocess.run([sys.executable, "-c", program, "video", "later"], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "program ends" in proc.stdout
    assert not any(sign in proc.stderr for sign in CRASH_SIGNS), proc.stderr
