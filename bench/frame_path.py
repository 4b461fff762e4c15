"""Frame path benchmark: what one raw frame costs on its way through _pyveltosdk into Python.

Run after ``python -m pip install .``::

    python bench/frame_path.py            # full run, about two minutes
    python bench/frame_path.py --quick    # smoke run, several seconds

For each frame size (10 ms of 48 kHz stereo 16-bit audio, 320x240 and 1920x1080 I420 video) it
measures, in one run and side by side, microseconds per frame for:

- module echo: the module's observer called from a native thread, the callable returning the
  bytes objects it was given (so nothing is copied back);
- module edit: the callable returning other bytes objects for some planes (audio: its one
  plane; video: both chroma planes, the luma plane given back), which are copied back;
- module copy: other bytes objects for every plane, all copied back (what an echo cost before
  the module skipped the copy of a given object);
- module none: the callable returning None items (nothing copied back);
- floor: the same bytes copied out and back in C, two copies per frame;
- ctypes plain: a C thread calling a ctypes callback that does string_at + memmove, with a new
  thread state per callback (ctypes' own) and no user callable;
- ctypes kept: the bridge a careful ctypes user would write: one thread state kept per native
  thread, the same echo callable as "module echo" called with the same arguments, its answer
  applied as the module applies it.

It then measures the delay of 10 ms audio frames while another Python thread is busy, at the
default switch interval and at 1 ms (--no-realtime leaves that out).

The native side (bench/frame_bench.cpp) is compiled here with g++ (or $CXX) into a temporary
library. All native loops run on a thread of their own, as an engine media thread would, and
are timed there with steady_clock; Python reaches them through ctypes.CDLL, which lets the GIL
go. Each case is repeated in interleaved rounds and its best round kept, since machines here are
shared and noisy. The targets are reported as PASS or MISS; the exit status ignores them.
"""

import argparse
import ctypes
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import _pyveltosdk as sdk
import velto_sim as sim

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HELPER_SOURCE = os.path.join(ROOT, "bench", "frame_bench.cpp")

AUDIO_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_size_t)
VIDEO_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                  ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t)
_I32 = ctypes.c_int32
AUDIO_FRAME_CALLBACK = ctypes.CFUNCTYPE(None, _I32, _I32, _I32, _I32, _I32, ctypes.c_void_p,
                                        ctypes.c_size_t)
VIDEO_FRAME_CALLBACK = ctypes.CFUNCTYPE(None, _I32, _I32, _I32, _I32,
                                        ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                        ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t)


class PyApi(ctypes.Structure):
    _fields_ = [(name, ctypes.c_void_p)
                for name in ("ensure", "release", "save", "restore", "call", "decref", "bytes",
                             "integer")]


# --- native helper ---------------------------------------------------------------------------

def build_helper(directory):
    compiler = os.environ.get("CXX", "g++")
    output = os.path.join(directory, "frame_bench.so")
    command = [compiler, "-std=c++17", "-O2", "-fPIC", "-shared", "-pthread", "-Wall", "-Wextra",
               "-I", ROOT, HELPER_SOURCE, "-o", output]
    subprocess.run(command, check=True)
    lib = ctypes.CDLL(output)
    i32, i64, ptr, size = ctypes.c_int32, ctypes.c_int64, ctypes.c_void_p, ctypes.c_size_t
    signatures = {
        "fb_module_audio": [ptr, ptr, i32, i32, i32, i32, i64, i64],
        "fb_module_video": [ptr, ptr, ptr, ptr, i32, i32, i64, i64],
        "fb_floor": [ctypes.POINTER(ptr), ctypes.POINTER(i64), i32, i64, i64],
        "fb_ctypes_audio": [AUDIO_CALLBACK, ptr, size, i64, i64],
        "fb_ctypes_video": [VIDEO_CALLBACK, ptr, size, ptr, size, ptr, size, i64, i64],
        "fb_ctypes_audio_frame": [AUDIO_FRAME_CALLBACK, ptr, i32, i32, i32, i32, i64, i64],
        "fb_ctypes_video_frame": [VIDEO_FRAME_CALLBACK, ptr, ptr, ptr, i32, i32, i64, i64],
        "fb_gil_round_trip": [ctypes.POINTER(PyApi), i32, ptr, ctypes.c_ssize_t, ptr, ptr, i64,
                              i64],
    }
    for name, argtypes in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes + [ctypes.POINTER(i64)]  # the loop's thread CPU time
        function.restype = i64
    lib.fb_module_audio_paced.argtypes = [ptr, ptr, i32, i32, i32, i32, i64, i64,
                                          ctypes.POINTER(i64)]
    lib.fb_module_audio_paced.restype = i64
    return lib, " ".join(os.path.basename(part) if part == HELPER_SOURCE else part
                         for part in command[:-2])


def timed(function, *args):
    """(steady_clock ns, thread CPU ns) of one fb_* call."""
    cpu = ctypes.c_int64()
    wall = function(*args, ctypes.byref(cpu))
    return wall, cpu.value


# --- frames ----------------------------------------------------------------------------------

def pattern(size, salt=0):
    block = bytes((i * 7 + salt) & 0xFF for i in range(256))
    return (block * (size // 256 + 1))[:size]


class Frame:
    """Engine-side memory for one frame size: one plane for audio, three for video."""

    def __init__(self, name, label, plane_sizes, audio=None, video=None):
        self.name = name
        self.label = label
        self.sizes = plane_sizes
        self.audio = audio  # (samples, bytes per sample, channels, rate)
        self.video = video  # (width, height)
        self.original = [pattern(n, salt) for salt, n in enumerate(plane_sizes)]
        self.planes = [ctypes.create_string_buffer(data, len(data)) for data in self.original]
        self.pointers = (ctypes.c_void_p * len(self.planes))(
            *[ctypes.addressof(p) for p in self.planes])
        self.plane_sizes = (ctypes.c_int64 * len(plane_sizes))(*plane_sizes)

    @property
    def total(self):
        return sum(self.sizes)

    def restore(self):
        for plane, data in zip(self.planes, self.original):
            ctypes.memmove(plane, data, len(data))

    def contents(self):
        return [plane.raw for plane in self.planes]


def audio_frame():
    samples, width, channels, rate = 480, 2, 2, 48000
    return Frame("audio", "audio 10 ms 48k stereo s16", [samples * width * channels],
                 audio=(samples, width, channels, rate))


def video_frame(width, height):
    y = width * height
    return Frame("%dx%d" % (width, height), "video %dx%d I420" % (width, height),
                 [y, y // 4, y // 4], video=(width, height))


# --- the four ways through -------------------------------------------------------------------

def observer_address(call):
    entries = [e for e in sim.journal() if e["call"] == call and e["result"] == 0]
    if not entries:
        raise RuntimeError("the journal shows no successful %s" % call)
    return entries[-1]["args"]["observer"]


class Paths:
    """Runs `count` frames of one kind through one path; each returns (wall, CPU) ns."""

    def __init__(self, lib):
        self.lib = lib
        sdk.registerAudioObserver(lambda *a: (None,))
        sdk.registerVideoObserver(lambda *a: (None, None, None))
        self.audio_observer = observer_address("ObserverRegistry.attachAudioObserver")
        self.video_observer = observer_address("ObserverRegistry.attachVideoObserver")

    def module(self, frame, callable_, warmup, count):
        # Registered again before every run: cases of both answers are interleaved.
        if frame.audio:
            sdk.registerAudioObserver(callable_)
            samples, width, channels, rate = frame.audio
            return timed(self.lib.fb_module_audio, self.audio_observer, frame.pointers[0],
                         samples, width, channels, rate, warmup, count)
        sdk.registerVideoObserver(callable_)
        w, h = frame.video
        return timed(self.lib.fb_module_video, self.video_observer, frame.pointers[0],
                     frame.pointers[1], frame.pointers[2], w, h, warmup, count)

    def floor(self, frame, warmup, count):
        return timed(self.lib.fb_floor, frame.pointers, frame.plane_sizes, len(frame.planes),
                     warmup, count)

    def ctypes_bridge(self, frame, callback, warmup, count):
        if frame.audio:
            return timed(self.lib.fb_ctypes_audio, callback, frame.pointers[0], frame.sizes[0],
                         warmup, count)
        p, n = frame.pointers, frame.sizes
        return timed(self.lib.fb_ctypes_video, callback, p[0], n[0], p[1], n[1], p[2], n[2],
                     warmup, count)

    def ctypes_frames(self, frame, callback, warmup, count):
        p = frame.pointers
        if frame.audio:
            samples, width, channels, rate = frame.audio
            return timed(self.lib.fb_ctypes_audio_frame, callback, p[0], samples, width,
                         channels, rate, warmup, count)
        w, h = frame.video
        return timed(self.lib.fb_ctypes_video_frame, callback, p[0], p[1], p[2], w, h, warmup,
                     count)


def module_callables(frame):
    """name -> callable: 'echo' returns the objects it was given, 'edit' other objects of the
    same bytes for some planes (audio: its plane; video: u and v), 'copy' for every plane,
    'none' None items. Every answer leaves the frame's bytes as they were."""
    # Made once: the answers cost the callable nothing, so only the copy back differs.
    other = [bytes(bytearray(data)) for data in frame.original]
    if frame.audio:
        return {"echo": lambda *a: (a[-1],), "edit": lambda *a: (other[0],),
                "copy": lambda *a: (other[0],), "none": lambda *a: (None,)}
    u, v = other[1], other[2]
    everything = tuple(other)
    return {"echo": lambda t, uid, w, h, y, u_, v_: (y, u_, v_),
            "edit": lambda t, uid, w, h, y, u_, v_: (y, u, v),
            "copy": lambda *a: everything, "none": lambda *a: (None, None, None)}


def ctypes_echo(frame):
    string_at, memmove = ctypes.string_at, ctypes.memmove
    if frame.audio:
        def on_audio(ptr, n):
            data = string_at(ptr, n)
            memmove(ptr, data, n)
        return AUDIO_CALLBACK(on_audio)

    def on_video(y, ny, u, nu, v, nv):
        data = string_at(y, ny)
        memmove(y, data, ny)
        data = string_at(u, nu)
        memmove(u, data, nu)
        data = string_at(v, nv)
        memmove(v, data, nv)
    return VIDEO_CALLBACK(on_video)


def ctypes_careful(frame, user_callable):
    """The bridge a careful ctypes user writes around `user_callable`: it keeps the thread state
    ctypes made for a native thread on its first frame (an unmatched PyGILState_Ensure, so that
    ctypes' own release per callback no longer deletes it), calls the callable with the module's
    arguments and applies its answer as the module does: None or the given object leaves a plane
    alone, anything else is copied, cut or padded with zero bytes."""
    string_at, memmove, memset = ctypes.string_at, ctypes.memmove, ctypes.memset
    local = threading.local()  # one per thread state, so empty again on a new native thread
    keep_thread_state = ctypes.pythonapi.PyGILState_Ensure

    def apply(item, given, pointer, size):
        if item is None or item is given:
            return
        if isinstance(item, str):
            item = item.encode("utf-8")
        length = len(item)
        memmove(pointer, item, min(length, size))
        if length < size:
            memset(pointer + length, 0, size - length)

    if frame.audio:
        def on_audio(stream_type, uid, samples, channels, rate, pointer, size):
            if not getattr(local, "kept", False):
                keep_thread_state()
                local.kept = True
            data = string_at(pointer, size)
            answer = user_callable(stream_type, uid, samples, channels, rate, data)
            apply(answer[0], data, pointer, size)
        return AUDIO_FRAME_CALLBACK(on_audio)

    def on_video(stream_type, uid, width, height, y, ny, u, nu, v, nv):
        if not getattr(local, "kept", False):
            keep_thread_state()
            local.kept = True
        given = (string_at(y, ny), string_at(u, nu), string_at(v, nv))
        answer = user_callable(stream_type, uid, width, height, *given)
        apply(answer[0], given[0], y, ny)
        apply(answer[1], given[1], u, nu)
        apply(answer[2], given[2], v, nv)
    return VIDEO_FRAME_CALLBACK(on_video)


# --- checks before timing: a path that silently skipped Python would look fast -----------------

def inverted(data):
    return data.translate(bytes(255 - i for i in range(256)))


def check_paths(paths, frames):
    for frame in frames:
        seen = []
        if frame.audio:
            def answer(*args):
                seen.append(args[:5])
                return (inverted(args[5]),)
            expected_args = (0, 0, frame.audio[0], frame.audio[2], frame.audio[3])
        else:
            def answer(*args):
                seen.append(args[:4])
                return tuple(inverted(plane) for plane in args[4:])
            expected_args = (10, 0) + frame.video
        frame.restore()
        paths.module(frame, answer, 1, 2)
        expected = [inverted(data) for data in frame.original]
        if seen != [expected_args] * 3 or frame.contents() != expected:
            raise SystemExit("module path check failed for %s: calls %r" % (frame.name, seen[:3]))

        frame.restore()
        paths.floor(frame, 1, 2)
        if frame.contents() != frame.original:
            raise SystemExit("floor changed the %s frame" % frame.name)

        calls = []
        string_at, memmove = ctypes.string_at, ctypes.memmove

        def invert_plane(ptr, n):
            calls.append(n)
            data = inverted(string_at(ptr, n))
            memmove(ptr, data, n)
        if frame.audio:
            callback = AUDIO_CALLBACK(invert_plane)
        else:
            callback = VIDEO_CALLBACK(lambda *a: [invert_plane(a[i], a[i + 1]) for i in (0, 2, 4)])
        frame.restore()
        paths.ctypes_bridge(frame, callback, 1, 2)
        if calls != frame.sizes * 3 or frame.contents() != expected:
            raise SystemExit("ctypes path check failed for %s" % frame.name)

        del seen[:]
        frame.restore()
        paths.ctypes_frames(frame, ctypes_careful(frame, answer), 1, 2)
        if seen != [expected_args] * 3 or frame.contents() != expected:
            raise SystemExit("careful ctypes path check failed for %s: calls %r"
                             % (frame.name, seen[:3]))
        frame.restore()


# --- measuring -------------------------------------------------------------------------------

class Case:
    def __init__(self, frame, kind, run):
        self.frame = frame
        self.kind = kind
        self.run = run  # (warmup, count) -> (wall ns, CPU ns)
        self.count = 0
        self.walls = []  # ns per frame, one per round
        self.cpus = []

    def calibrate(self, seconds):
        # Grow until a run lasts a fifth of the goal, then scale to the goal.
        count = 1
        while True:
            ns = self.run(min(count, 10), count)[0]
            if ns >= seconds * 2e8 or count >= 1 << 30:
                break
            grow = seconds * 2e8 / max(ns, 1.0) * 1.2
            count = int(count * min(max(grow, 2.0), 100.0))
        self.count = max(1, int(count * seconds * 1e9 / max(ns, 1.0)))

    def measure(self):
        warmup = min(max(self.count // 20, 3), 5000)
        wall, cpu = self.run(warmup, self.count)
        self.walls.append(wall / self.count)
        self.cpus.append(cpu / self.count)

    @property
    def best_us(self):
        return min(self.walls) / 1000.0

    @property
    def best_cpu_us(self):
        return min(self.cpus) / 1000.0

    @property
    def median_us(self):
        return statistics.median(self.walls) / 1000.0


KINDS = [
    ("module echo", "callable returns the objects it was given"),
    ("module edit", "other objects for audio, for u and v of video"),
    ("module copy", "other objects for every plane"),
    ("module none", "callable returns None items"),
    ("floor", "C: copy out and back, 2 copies"),
    ("ctypes plain", "string_at + memmove, state per callback"),
    ("ctypes kept", "kept state, the echo callable, answer applied"),
]


def build_cases(paths, frames):
    cases = []
    for frame in frames:
        answers = module_callables(frame)
        plain = ctypes_echo(frame)
        careful = ctypes_careful(frame, answers["echo"])
        runs = {"module " + name: lambda w, n, f=frame, c=answer: paths.module(f, c, w, n)
                for name, answer in answers.items()}
        runs["floor"] = lambda w, n, f=frame: paths.floor(f, w, n)
        runs["ctypes plain"] = lambda w, n, f=frame, c=plain: paths.ctypes_bridge(f, c, w, n)
        runs["ctypes kept"] = lambda w, n, f=frame, c=careful: paths.ctypes_frames(f, c, w, n)
        for kind, _ in KINDS:
            case = Case(frame, kind, runs[kind])
            case.callbacks = (plain, careful)  # kept alive as long as the case
            cases.append(case)
    return cases


# --- where the time of an audio frame goes (--analyze) ----------------------------------------

def py_api():
    return PyApi(*[ctypes.cast(getattr(ctypes.pythonapi, name), ctypes.c_void_p).value
                   for name in ("PyGILState_Ensure", "PyGILState_Release", "PyEval_SaveThread",
                                "PyEval_RestoreThread", "PyObject_Call", "Py_DecRef",
                                "PyBytes_FromStringAndSize", "PyLong_FromLong")])


ANALYSIS = [
    ("gil ensure", "GIL round trip through PyGILState_Ensure/Release (the module's way)"),
    ("gil direct", "GIL round trip restoring and saving the kept thread state directly"),
    ("gil+objects", "GIL round trip + a 1,920-byte bytes copy and 2 ints made and dropped"),
    ("gil+call echo", "GIL round trip + echo callable, args made once, called from C"),
    ("gil+call none", "GIL round trip + None callable, args made once, called from C"),
]


def build_analysis(lib, frame):
    api = py_api()
    answers = module_callables(frame)
    echo, none = answers["echo"], answers["none"]
    samples, _, channels, rate = frame.audio
    # Ready-made arguments equal to what the module builds per frame.
    args = (0, 0, samples, channels, rate, bytes(frame.original[0]))
    kept = (api, echo, none, args)

    def round_trip(direct, objects, callable_):
        def run(warmup, count):
            return timed(lib.fb_gil_round_trip, ctypes.byref(api), direct,
                         frame.pointers[0] if objects else None, frame.sizes[0],
                         None if callable_ is None else id(callable_), id(args), warmup, count)
        return run
    runs = {
        "gil ensure": round_trip(0, False, None),
        "gil direct": round_trip(1, False, None),
        "gil+objects": round_trip(0, True, None),
        "gil+call echo": round_trip(0, False, echo),
        "gil+call none": round_trip(0, False, none),
    }
    cases = [Case(frame, kind, runs[kind]) for kind, _ in ANALYSIS]
    for case in cases:
        case.kept = kept  # alive as long as the case
    return cases


def report_analysis(cases, analysis):
    audio = analysis[0].frame
    by = {(c.frame.name, c.kind): c for c in cases + analysis}

    # Thread CPU time: the parts are differences of two figures, and the time a busy machine
    # keeps the thread off the CPU would swamp them.
    def us(kind):
        return by[(audio.name, kind)].best_cpu_us
    print()
    print("where an audio frame's time goes, us of thread CPU time per frame (best of the same "
          "rounds)")
    for kind, meaning in ANALYSIS:
        print("  %-70s %7.3f" % (meaning, us(kind)))
    floor = us("floor")
    gil = us("gil ensure")
    # The objects' line holds one copy already.
    objects = us("gil+objects") - gil - floor / 2
    parts = {}
    # An echo's answer is the object given, so it is not copied back either.
    for answer, copies in (("echo", 1), ("none", 1)):
        total = us("module " + answer)
        call = us("gil+call " + answer) - gil
        copied = floor * copies / 2
        parts[answer] = [gil, call, copied, objects, total - gil - call - copied - objects, total]
    print()
    print("  split of a module audio frame, us CPU     echo     none")
    names = ["GIL round trip", "the callable, called from C", "the copy out (none back)",
             "argument objects (bytes + 2 ints)", "the rest", "total, as measured above"]
    for i, name in enumerate(names):
        print("    %-36s %7.3f  %7.3f" % (name, parts["echo"][i], parts["none"][i]))
    print("  (the rest: reading the answer, the exit gate and the steps between engine and Python;")
    print("   every part is a difference of best times, so it carries the noise of two figures)")


# --- report ---------------------------------------------------------------------------------

def ratio_targets():
    """(ctypes plain/module echo audio minimum, label) for this interpreter."""
    if sys.version_info >= (3, 11):
        return 40.0, "3.11+"
    return 4.0, "3.8-3.10"


# (label, numerator kind, denominator kind)
RATIOS = [
    ("module echo / floor", "module echo", "floor"),
    ("module edit / floor", "module edit", "floor"),
    ("module copy / floor", "module copy", "floor"),
    ("module none / floor", "module none", "floor"),
    ("module echo / module copy", "module echo", "module copy"),
    ("ctypes plain / module echo", "ctypes plain", "module echo"),
    ("ctypes kept / module echo", "ctypes kept", "module echo"),
    ("ctypes plain / ctypes kept", "ctypes plain", "ctypes kept"),
]


def report(frames, cases, rounds, seconds):
    by = {(c.frame.name, c.kind): c for c in cases}

    def both(frame, kind):
        case = by[(frame.name, kind)]
        return case.best_us, case.best_cpu_us

    def ratio(frame, kind, base):
        (a, a_cpu), (b, b_cpu) = both(frame, kind), both(frame, base)
        return a / b, a_cpu / b_cpu

    print()
    print("microseconds per frame: best steady_clock time of %d interleaved rounds of ~%.2f s"
          % (rounds, seconds))
    print("each, and in brackets the best thread CPU time (less than the first when the machine")
    print("kept the thread waiting for a CPU)")
    header = "%-14s" % "" + "".join("%22s" % ("%s %d B" % (f.name, f.total)) for f in frames)
    print(header)
    print("-" * len(header))
    for kind, _ in KINDS:
        print("%-14s" % kind + "".join("%22s" % ("%.3f (%.3f)" % both(f, kind)) for f in frames))
    print()
    for kind, meaning in KINDS:
        counts = ", ".join("%s %d" % (f.name, by[(f.name, kind)].count) for f in frames)
        print("  %-12s %-46s frames per round: %s" % (kind, meaning, counts))

    print()
    print("ratios, steady_clock (thread CPU time)")
    for label, kind, base in RATIOS:
        print("%-28s" % label + "".join("%18s" % ("%.2fx (%.2fx)" % ratio(f, kind, base))
                                        for f in frames))

    print()
    print("targets, judged on steady_clock (reported only; they never fail the run)")
    audio = frames[0]
    results = []

    def verdict(ok, ok_cpu, text):
        results.append(ok)
        note = "" if ok == ok_cpu else "\n         (%s on thread CPU time: a busy machine)" % (
            "met" if ok_cpu else "missed")
        print("  [%s] %s%s" % ("PASS" if ok else "MISS", text, note))

    for kind in ("module echo", "module none"):
        us, us_cpu = both(audio, kind)
        verdict(us < 0.5, us_cpu < 0.5, "audio, %s: %.3f us per frame (%.3f), target under 0.5 us"
                % (kind, us, us_cpu))
    for frame, limit in zip(frames[1:], (1.4, 1.15)):
        r, r_cpu = ratio(frame, "module echo", "floor")
        verdict(r <= limit, r_cpu <= limit, "%s, module echo / floor: %.2fx (%.2fx), target within"
                " %.2fx" % (frame.name, r, r_cpu, limit))
    minimum, label = ratio_targets()
    r, r_cpu = ratio(audio, "ctypes plain", "module echo")
    verdict(r >= minimum, r_cpu >= minimum, "audio, ctypes plain / module echo: %.1fx (%.1fx), "
            "target at least %.0fx on %s" % (r, r_cpu, minimum, label))
    print("  %d of %d targets met" % (sum(results), len(results)))


# --- real-time behaviour: audio frames while another Python thread is busy ----------------------

class BusyThread:
    """Another Python thread kept busy, in bytecode (the interpreter offers the GIL to a waiting
    thread every switch interval) or in one long C call that holds the GIL throughout."""

    def __init__(self, kind):
        self.kind = kind
        self.stop = False
        self.thread = None
        # Sorting a shuffled list of 50,000 ints: one C call of several ms or more. Every frame
        # behind it waits for a whole sort, so the list stays small enough to keep the run short.
        self.data = list(range(50000)) if kind == "c call" else []
        random.Random(7).shuffle(self.data)

    def run(self):
        count = 0
        while not self.stop:
            if self.kind == "c call":
                sorted(self.data)
            else:
                count += 1

    def __enter__(self):
        if self.kind is not None:
            self.thread = threading.Thread(target=self.run, daemon=True)
            self.thread.start()
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.stop = True
        if self.thread is not None:
            self.thread.join()


REALTIME = [
    ("no other Python thread", None, None),
    ("busy thread, default switch interval", "bytecode", None),
    ("busy thread, switch interval 1 ms", "bytecode", 0.001),
    ("busy thread in one long C call, 1 ms", "c call", 0.001),
]


def realtime(lib, paths, frame, count):
    """Per case, how late each of `count` audio frames due every 10 ms was done, in ms, sorted."""
    samples, width, channels, rate = frame.audio
    sdk.registerAudioObserver(module_callables(frame)["echo"])
    results = []
    default = sys.getswitchinterval()
    for label, busy, interval in REALTIME:
        delays = (ctypes.c_int64 * count)()
        sys.setswitchinterval(interval or default)
        try:
            with BusyThread(busy):
                lib.fb_module_audio_paced(paths.audio_observer, frame.pointers[0], samples, width,
                                          channels, rate, count, 10000000, delays)
        finally:
            sys.setswitchinterval(default)
        results.append((label, sorted(d / 1e6 for d in delays)))
    return default, results


def report_realtime(default, results, count):
    print()
    print("frame delay with another Python thread busy: %d audio frames due one every 10 ms on "
          "an engine" % count)
    print("thread, echo callable; ms from when a frame was due until the module returned it "
          "(steady_clock),")
    print("and how many frames were a whole period late; default switch interval %.1f ms"
          % (default * 1000))
    print("  %-40s %8s %8s %8s %8s %8s" % ("", "median", "p90", "p99", "max", ">10 ms"))
    for label, delays in results:
        def at(q):
            return delays[min(len(delays) - 1, int(q * len(delays)))]
        late = sum(1 for d in delays if d > 10.0)
        print("  %-40s %8.3f %8.3f %8.3f %8.3f %8d"
              % (label, at(0.5), at(0.9), at(0.99), delays[-1], late))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    parser.add_argument("--seconds", type=float, help="goal per case and round (default 0.3)")
    parser.add_argument("--rounds", type=int, help="interleaved rounds per case (default 7)")
    parser.add_argument("--analyze", action="store_true",
                        help="also split the audio frame's time into GIL, callable and the rest")
    parser.add_argument("--only", metavar="FRAME:KIND[,...]",
                        help="run only these cases, e.g. 'audio:module echo,audio:ctypes kept' "
                             "(for profilers and quick comparisons of two builds)")
    parser.add_argument("--no-realtime", action="store_true",
                        help="leave out the frame delay with a busy Python thread")
    args = parser.parse_args()
    seconds = args.seconds or (0.03 if args.quick else 0.3)
    rounds = args.rounds or (2 if args.quick else 7)

    print("Python %s (%s) on %s %s, %d CPUs, load average %s"
          % (platform.python_version(), platform.python_implementation(), platform.system(),
             platform.machine(), os.cpu_count() or 0,
             " ".join("%.2f" % x for x in os.getloadavg())))
    print("module %s" % sdk.__file__)

    directory = tempfile.mkdtemp(prefix="frame_bench_")
    try:
        lib, command = build_helper(directory)
        print("helper %s" % command)
        sdk.initialize("")
        paths = Paths(lib)
        frames = [audio_frame(), video_frame(320, 240), video_frame(1920, 1080)]
        check_paths(paths, frames)
        cases = build_cases(paths, frames)
        analysis = build_analysis(lib, frames[0]) if args.analyze else []
        if args.only:
            wanted = args.only.split(",")
            cases = [c for c in cases if "%s:%s" % (c.frame.name, c.kind) in wanted]
            if len(cases) != len(wanted):
                raise SystemExit("unknown case in %r; cases are FRAME:KIND with FRAME one of %s "
                                 "and KIND one of %s" % (args.only, [f.name for f in frames],
                                                         [k for k, _ in KINDS]))
        for case in cases + analysis:  # also the warm-up
            case.calibrate(seconds)
        for _ in range(rounds):
            for case in cases + analysis:
                case.measure()
        for frame in frames:
            if frame.contents() != frame.original:
                raise SystemExit("the %s frame changed while only echoes ran" % frame.name)
        if args.only:
            for case in cases:
                print("%s:%s: %.3f us per frame, best of %d (median %.3f, best thread CPU time "
                      "%.3f)" % (case.frame.name, case.kind, case.best_us, rounds,
                                 case.median_us, case.best_cpu_us))
        else:
            report(frames, cases, rounds, seconds)
            if analysis:
                report_analysis(cases, analysis)
        if not args.only and not args.no_realtime:
            count = 20 if args.quick else 200
            report_realtime(*realtime(lib, paths, frames[0], count), count)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
