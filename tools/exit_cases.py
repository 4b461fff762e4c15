"""Programs that end while the engine's threads deliver frames and notifications.

Each case is a small Python program (this file run as ``exit_cases.py child CASE SEED``) that
starts the engine, registers audio and video callables, keeps frames and statistics
notifications flowing from all four engine threads through daemon threads, and then ends in its
own way without calling terminate(). It also joins a channel, so with the simulated engine's
live call on (VELTO_SIM_LIVE unset or 1) the engine's own media flows as well. The cases:

- ``fall_off_end``: the main module simply ends (exit status 0);
- ``sys_exit``: ``sys.exit(3)`` in the main thread (3);
- ``unhandled``: an exception nobody catches (1, with its traceback);
- ``sigint``: a SIGINT arrives while a callback runs, and the KeyboardInterrupt stays uncaught;
  the interpreter then ends itself with SIGINT (-2 as a subprocess status);
- ``callback_exit``: the callback calls ``sys.exit(5)`` on every frame from some point on; the
  class reaches the registering (main) thread without its argument, so the status is 0;
- ``fork_child``: the program forks while frames are in flight; the child finds no engine and
  ends with ``sys.exit(4)`` through the normal exit, and the parent, once the child ended (or
  after 30 s, then with status 98), ends with the child's status.

``run_case`` runs one program and classifies what happened. A run is "ok" when the program
exited with its status, within the time limit, showed its frames really were in flight, ran its
last exit function, and wrote nothing on either stream after that (no statistics line, no
traceback, no sanitizer or fatal-error report).

Used by tests/test_exit_safety.py (a few runs per case) and tools/exit_soak.py (hundreds).
"""

import os
import signal
import subprocess
import sys
import time

EXIT_MARK = "<<after-exit-hooks>>"
FLOWING_MARK = "<<frames-flowing>>"

# case -> (expected exit status, text the program's stderr must show)
CASES = {
    "fall_off_end": (0, None),
    "sys_exit": (3, None),
    "unhandled": (1, "RuntimeError: unhandled at the end"),
    "sigint": (-signal.SIGINT, "KeyboardInterrupt"),
    "callback_exit": (0, "SystemExit"),  # engine threads print at once: lines may interleave
    "fork_child": (4, None),
}

# GCC 12's AddressSanitizer runtime does not hold its allocator's locks across fork(), so a child
# of a threaded process may deadlock in malloc there: forking cases are not run under it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
FORKING_CASES = ("fork_child",)


def skip_reason(case):
    """Why `case` cannot run in this environment, or None."""
    if case in FORKING_CASES and (not hasattr(os, "fork") or UNDER_ASAN):
        return "fork() unavailable, or AddressSanitizer's allocator is not fork-safe here"
    if case == "sigint" and sys.platform == "win32":
        return "Windows has no signal that ends a process as SIGINT does (os.kill terminates it)"
    return None


# Lines that no run may print, wherever they appear.
FATAL_SIGNS = (
    "Fatal Python error",
    "Segmentation fault",
    "Exception ignored",
    "AddressSanitizer",
    "LeakSanitizer",
    "ThreadSanitizer",
    "runtime error:",  # UndefinedBehaviorSanitizer
    "terminate called",
)


def _child(case, seed):
    import atexit
    import random
    import threading

    def mark_exit():
        # Registered before the module is imported, so it runs after the module's own exit hook
        # (exit functions run last-registered first): nothing may follow these lines.
        os.write(1, ("\n%s\n" % EXIT_MARK).encode())
        os.write(2, ("\n%s\n" % EXIT_MARK).encode())

    atexit.register(mark_exit)

    import _pyveltosdk as sdk
    import velto_sim as sim

    rng = random.Random(seed)
    frames = [0]
    armed = threading.Event()
    interrupted = [False]

    def on_audio(stream_type, uid, samples, channels, rate, data):
        frames[0] += 1
        if armed.is_set():
            if case == "callback_exit":
                sys.exit(5)
            if case == "sigint" and not interrupted[0]:
                interrupted[0] = True
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.002)  # still inside the callback while the signal is handled
        return (data[::-1],)

    def on_video(stream_type, uid, width, height, y, u, v):
        frames[0] += 1
        return (None, v, u)

    sdk.initialize("{}")
    sdk.joinChannel("", "exit-room", 7)
    sdk.registerAudioObserver(on_audio)
    sdk.registerVideoObserver(on_video)

    audio = bytes(range(256)) * 15  # 10 ms of 48 kHz stereo 16-bit
    planes = (bytes(64 * 48), b"\x10" * (64 * 48 // 4), b"\x20" * (64 * 48 // 4))

    # Daemon threads: the program never waits for them, as a program that forgets its engine.
    def audio_flow(thread):
        while True:
            sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, audio, uid=thread, samples=480,
                              channels=2, thread=thread, timeout=None)

    def video_flow(thread):
        while True:
            sim.deliver_video(sim.VIDEO_RENDER, 64, 48, *planes, uid=thread, thread=thread,
                              timeout=None)

    def notifications(thread):
        while True:
            sim.fire("onLocalAudioStats", thread=thread, timeout=None, numChannels=2,
                     sentSampleRate=48000, sentBitrate=thread)
            sim.fire("onRemoteVideoStats", uid=thread, thread=thread, timeout=None, width=64)
            sim.fire("onRemoteUserJoined", uid=100 + thread, thread=thread, timeout=None)
            sim.fire("onRemoteUserOffline", uid=100 + thread, thread=thread, timeout=None)

    for thread in range(4):
        for flow in (audio_flow, video_flow, notifications):
            threading.Thread(target=flow, args=(thread,), daemon=True).start()

    deadline = time.monotonic() + 20
    while frames[0] < 40 and time.monotonic() < deadline:
        time.sleep(0.001)
    os.write(1, ("%s %d\n" % (FLOWING_MARK, frames[0])).encode())
    time.sleep(rng.uniform(0.0, 0.1))

    if case == "sys_exit":
        sys.exit(3)
    if case == "unhandled":
        raise RuntimeError("unhandled at the end")
    if case in ("sigint", "callback_exit"):
        armed.set()
        # The exception arrives here, from the signal handler or forwarded by the module.
        for _ in range(2000):
            time.sleep(0.005)
        print("the callback never ended the program")
        sys.exit(99)
    if case == "fork_child":
        pid = os.fork()
        if pid == 0:
            sys.exit(4 if sdk.joinChannel("", "exit-room", 8) == -7 else 97)
        deadline = time.monotonic() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                sys.exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 96)
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                sys.exit(98)
            time.sleep(0.005)
    # fall_off_end: nothing more to do.


class Outcome:
    """What one run did; ``verdict`` is "ok" or a short reason."""

    def __init__(self, case, seed, verdict, returncode=None, stdout="", stderr=""):
        self.case = case
        self.seed = seed
        self.verdict = verdict
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    @property
    def ok(self):
        return self.verdict == "ok"

    def describe(self, tail=3000):
        return ("case %s seed %d: %s (exit status %r)\n--- stdout (end)\n%s\n"
                "--- stderr (end)\n%s" % (self.case, self.seed, self.verdict, self.returncode,
                                           self.stdout[-tail:], self.stderr[-tail:]))


def _after_mark(text):
    index = text.rfind(EXIT_MARK)
    return None if index < 0 else text[index + len(EXIT_MARK):]


def status_name(code):
    if code is not None and code < 0:
        try:
            return "killed by %s" % signal.Signals(-code).name
        except ValueError:
            pass
    return "exit status %r" % code


def classify(case, seed, returncode, stdout, stderr):
    expected_code, expected_text = CASES[case]
    verdict = "ok"
    for sign in FATAL_SIGNS:
        if sign in stdout or sign in stderr:
            verdict = "printed %r" % sign
            break
    else:
        if returncode != expected_code:
            verdict = "%s, expected %s" % (status_name(returncode), status_name(expected_code))
        elif FLOWING_MARK not in stdout:
            verdict = "frames never flowed"
        elif _after_mark(stdout) is None or _after_mark(stderr) is None:
            verdict = "last exit function never ran"
        elif _after_mark(stdout).strip() or _after_mark(stderr).strip():
            verdict = "output after the exit hooks"
        elif expected_text is not None and expected_text not in stderr:
            verdict = "stderr lacks %r" % expected_text
    return Outcome(case, seed, verdict, returncode, stdout, stderr)


def run_case(case, seed, python=None, timeout=60.0, env=None):
    """Runs one program of `case` in a fresh interpreter and classifies it."""
    command = [python or sys.executable, os.path.abspath(__file__), "child", case, str(seed)]
    try:
        proc = subprocess.run(command, capture_output=True, text=True, errors="replace",
                              timeout=timeout, env=env, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired as expired:
        def text(value):
            if isinstance(value, bytes):
                return value.decode(errors="replace")
            return value or ""

        return Outcome(case, seed, "hang (killed after %.0f s)" % timeout, None,
                       text(expired.stdout), text(expired.stderr))
    return classify(case, seed, proc.returncode, proc.stdout, proc.stderr)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "child" and sys.argv[2] in CASES:
        _child(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit("usage: exit_cases.py child {%s} SEED" % ",".join(CASES))
