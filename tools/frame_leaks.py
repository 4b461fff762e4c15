"""Frames and calls through the module in bulk, and what they leave behind.

A native driver (tools/frame_driver.cpp, compiled here with g++ or $CXX) calls the module's frame
observers in a loop on a thread of its own, as an engine media thread does, for every stream
type. Around a run, ``snapshot`` reads the registered callable's reference count, the
interpreter's allocated blocks, the process's resident memory and, on a debug interpreter, the
total reference count. Used by tests/test_leaks.py (bounded counts) and tools/leak_soak.py (a
million frames of each kind).
"""

import ctypes
import gc
import os
import shutil
import subprocess
import sys
import threading
import time

import _pyveltosdk as sdk
import velto_sim as sim

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DRIVER_SOURCE = os.path.join(ROOT, "tools", "frame_driver.cpp")
AUDIO_TYPES = (0, 1, 2, 3)
VIDEO_TYPES = (10, 11)
# Under a sanitizer freed memory is held back (quarantine), so resident memory only grows.
SANITIZED = any(name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan"))


def compiler():
    return os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")


def build_driver(directory):
    output = os.path.join(directory, "frame_driver.so")
    subprocess.run([compiler(), "-std=c++17", "-O1", "-fPIC", "-shared", "-pthread", "-Wall",
                    "-Wextra", "-Werror", "-I", ROOT, DRIVER_SOURCE, "-o", output], check=True)
    lib = ctypes.CDLL(output)
    i32, i64, u32, ptr = ctypes.c_int32, ctypes.c_int64, ctypes.c_uint32, ctypes.c_void_p
    lib.fd_audio.argtypes = [ptr, ctypes.c_int, u32, ptr, i32, i32, i32, i32, i64]
    lib.fd_video.argtypes = [ptr, ctypes.c_int, u32, ptr, ptr, ptr, i32, i32, i64]
    lib.fd_audio.restype = lib.fd_video.restype = ctypes.c_int
    return lib


def observer(call):
    """The observer address the module attached last, as the engine was given it."""
    return [e for e in sim.journal() if e["call"] == call][-1]["args"]["observer"]


def rss_bytes():
    if sys.platform == "win32":
        from ctypes import wintypes

        class Counters(ctypes.Structure):  # PROCESS_MEMORY_COUNTERS
            _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD)] + [
                (name, ctypes.c_size_t) for name in (
                    "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage",
                    "QuotaPagedPoolUsage", "QuotaPeakNonPagedPoolUsage",
                    "QuotaNonPagedPoolUsage", "PagefileUsage", "PeakPagefileUsage")]

        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        counters = Counters(cb=ctypes.sizeof(Counters))
        kernel32.K32GetProcessMemoryInfo(wintypes.HANDLE(kernel32.GetCurrentProcess()),
                                         ctypes.byref(counters), counters.cb)
        return counters.WorkingSetSize
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Counting:
    """A frame callable: counts its calls and answers as `answer` says."""

    def __init__(self, audio, video):
        self.audio, self.video, self.calls = audio, video, 0

    def __call__(self, stream_type, *args):
        self.calls += 1
        return (self.audio if stream_type < 10 else self.video)(*args)


def _refused(*args):
    return [args[-1]]  # a list, not a tuple: TypeError


def _raises(*args):
    raise ValueError("leak check")


# name -> (audio answer, video answer), each given the frame's arguments after the stream type.
ANSWERS = {
    "copy": (lambda uid, n, ch, rate, data: (data[::-1],),
             lambda uid, w, h, y, u, v: (v, None, y[:64])),
    "none": (lambda *a: (None,), lambda *a: (None, None, None)),
    # The given objects back (no copy), and an edit beside a given plane.
    "echo": (lambda uid, n, ch, rate, data: (data,), lambda uid, w, h, y, u, v: (y, v, v)),
    "str": (lambda *a: ("\u00e9" * 40,), lambda *a: ("y" * 10, "", None)),
    "refused": (_refused, _refused),
    "raises": (_raises, _raises),
}


class Absorber:
    """A thread that registers the callables and absorbs the errors the module raises in it, so
    that refused answers can run by the million without ending anything."""

    def __init__(self):
        self.absorbed = 0
        self._job = None
        self._done = threading.Event()
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            try:
                while not self._stop:
                    job, self._job = self._job, None
                    if job is not None:
                        job()
                        self._done.set()
                    time.sleep(0.001)
            except BaseException:
                self.absorbed += 1

    def register(self, callable_):
        self._done.clear()
        self._job = lambda: (sdk.registerAudioObserver(callable_),
                             sdk.registerVideoObserver(callable_))
        if not self._done.wait(30):
            raise RuntimeError("registration never ran")

    def stop(self):
        self._stop = True
        self._thread.join(10)


class QuietHook:
    """Replaces sys.excepthook with a counter while refused answers run by the thousand."""

    def __init__(self):
        self.printed = 0

    def __call__(self, *exc_info):
        self.printed += 1

    def __enter__(self):
        self._saved, sys.excepthook = sys.excepthook, self
        return self

    def __exit__(self, *exc):
        sys.excepthook = self._saved


class Frames:
    """Engine-owned buffers for one audio and one video frame, and the driver to send them."""

    def __init__(self, lib, width=160, height=120):
        self.lib = lib
        self.audio = ctypes.create_string_buffer(bytes(range(256)) * 7 + bytes(128), 1920)
        self.width, self.height = width, height
        luma = width * height
        self.planes = [ctypes.create_string_buffer(b"\x10" * size, size)
                       for size in (luma, luma // 4, luma // 4)]
        self.audio_observer = observer("ObserverRegistry.attachAudioObserver")
        self.video_observer = observer("ObserverRegistry.attachVideoObserver")

    def send(self, audio_frames, video_frames, chunk=100000):
        """Spreads the frames over every stream type, `chunk` frames per driver thread."""
        for total, types, one in ((audio_frames, AUDIO_TYPES, self._audio),
                                  (video_frames, VIDEO_TYPES, self._video)):
            sent, turn = 0, 0
            while sent < total:
                count = min(chunk, total - sent)
                assert one(types[turn % len(types)], count) == 0
                sent, turn = sent + count, turn + 1

    def _audio(self, stream_type, count):
        return self.lib.fd_audio(self.audio_observer, stream_type, 4242, self.audio, 480, 2, 2,
                                 48000, count)

    def _video(self, stream_type, count):
        p = self.planes
        return self.lib.fd_video(self.video_observer, stream_type, 4242, p[0], p[1], p[2],
                                 self.width, self.height, count)


# Classes whose reference counts a leak on the error paths would raise.
WATCHED = (ValueError, TypeError, UnicodeError)


def settle():
    """Lets the absorber raise an error still pending in its thread: until then the pending
    error holds a reference to its class."""
    time.sleep(0.05)


def snapshot(callable_):
    gc.collect()
    taken = {"refs": sys.getrefcount(callable_), "blocks": sys.getallocatedblocks(),
             "rss": rss_bytes(), "class refs": [sys.getrefcount(c) for c in WATCHED]}
    if hasattr(sys, "gettotalrefcount"):
        taken["total refs"] = sys.gettotalrefcount()
    return taken


def run(frames, answer, audio_frames, video_frames, absorber):
    """Registers a fresh callable for `answer` and sends a warm-up round, then the frames.
    Returns (snapshot before, snapshot after, calls seen, errors printed)."""
    callable_ = Counting(*ANSWERS[answer])
    absorber.register(callable_)
    with QuietHook() as hook:
        frames.send(2000, 400)
        settle()
        before = snapshot(callable_)
        calls_before = callable_.calls
        frames.send(audio_frames, video_frames)
        settle()
        after = snapshot(callable_)
    return before, after, callable_.calls - calls_before, hook.printed
