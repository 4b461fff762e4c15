"""pyveltosdk benchmark: what the Pythonic layer adds to the raw frame path, side by side.

Run after ``python -m pip install ".[numpy]"``::

    python bench/pythonic.py            # full run, about half a minute
    python bench/pythonic.py --quick    # smoke run, a few seconds

1. Processor overhead: microseconds per frame of a no-op processor (typed frame built, the
   processor called, nothing written back) and of one that replaces the data, against the raw
   callback returning None, for 10 ms of 48 kHz stereo audio and 320x240 video. Frames come
   from a native thread calling the module's observer (bench/frame_bench.cpp, as
   bench/frame_path.py uses it); each case runs in interleaved rounds and its best round is
   kept. Target: overhead under 1 us per audio frame on CPython 3.11 and later.
2. Iterator delay: seconds from the frame reaching Python on the engine's thread to a sync
   (thread) and an asyncio consumer receiving it, frames every 5 ms; median and p99.
3. A consumer that stops reading: Python memory (tracemalloc) while frames keep coming to a
   bounded stream that is never read, beside a plain unbounded list doing the same.
Targets are reported as PASS or MISS; the exit status ignores them.
"""

import argparse
import asyncio
import gc
import os
import platform
import statistics
import sys
import tempfile
import threading
import time
import tracemalloc

import _pyveltosdk as sdk
import velto_sim as sim

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import frame_path  # noqa: E402  (the native frame driver and its helpers)

import pyveltosdk as velto  # noqa: E402


# --- 1. processor overhead --------------------------------------------------------------------

def raw_none(frame):
    return (lambda *a: (None,)) if frame.audio else (lambda *a: (None, None, None))


def noop(frame):
    return None


def replace_audio(frame):
    return frame.replace(data=b"\x01\x00")


def replace_video(frame):
    return frame.replace(u=b"\x80", v=b"\x80")


def processor_cases(paths, frames, channel):
    """Each case registers its callable for its own runs: the raw callback, or the Engine's
    frame observer with one processor added to the channel for the run."""
    audio_observer, video_observer = channel.engine.frame_observers
    cases = []
    for frame in frames:
        def raw(warmup, count, frame=frame, callable_=raw_none(frame)):
            return paths.module(frame, callable_, warmup, count)
        cases.append(frame_path.Case(frame, "raw none", raw))
        replace = replace_audio if frame.audio else replace_video
        for kind, processor in (("processor none", noop), ("processor replace", replace)):
            def run(warmup, count, frame=frame, processor=processor):
                add = channel.audio_processor if frame.audio else channel.video_processor
                add(processor)
                try:
                    return paths.module(frame, audio_observer if frame.audio else video_observer,
                                        warmup, count)
                finally:
                    channel.remove_processor(processor)
            cases.append(frame_path.Case(frame, kind, run))
    return cases


def run_processor_bench(lib, channel, seconds, rounds):
    paths = frame_path.Paths(lib)
    frames = [frame_path.audio_frame(), frame_path.video_frame(320, 240)]
    cases = processor_cases(paths, frames, channel)
    for case in cases:
        case.calibrate(seconds)
    for _ in range(rounds):
        for case in cases:
            case.measure()
    print("\n1. processor overhead, us per frame (best of %d rounds; CPU time in brackets)"
          % rounds)
    print("%-28s %14s %18s %18s %10s" % ("frame", "raw none", "processor none",
                                         "processor replace", "overhead"))
    results = {}
    for frame in frames:
        row = {c.kind: c for c in cases if c.frame is frame}
        raw, none, replace = row["raw none"], row["processor none"], row["processor replace"]
        overhead = none.best_cpu_us - raw.best_cpu_us
        results[frame.name] = overhead
        print("%-28s %7.3f [%5.3f] %10.3f [%5.3f] %10.3f [%5.3f] %9.3f" % (
            frame.label, raw.best_us, raw.best_cpu_us, none.best_us, none.best_cpu_us,
            replace.best_us, replace.best_cpu_us, overhead))
    audio = results["audio"]
    applies = sys.version_info >= (3, 11)
    print("   target: audio overhead < 1 us on 3.11+: %s (%.3f us)" % (
        ("PASS" if audio < 1.0 else "MISS") if applies else "n/a on this version", audio))


# --- 2. iterator delay --------------------------------------------------------------------------

def feed(count, interval, done):
    """Audio frames every `interval` seconds from an engine thread (absolute due times)."""
    data = bytes(1920)
    due = time.monotonic()
    for _ in range(count):
        due += interval
        pause = due - time.monotonic()
        if pause > 0:
            time.sleep(pause)
        sim.deliver_audio(sim.AUDIO_RECORD, data, channels=2)
    done.set()


def sync_delays(channel, count, interval):
    frames = channel.audio_frames(maxsize=1024)
    delays = []
    done = threading.Event()

    def consume():
        for frame in frames:
            delays.append(time.monotonic() - frame.time)
            if len(delays) == count:
                return

    consumer = threading.Thread(target=consume)
    consumer.start()
    feed(count, interval, done)
    consumer.join(30)
    frames.close()
    return delays


def async_delays(channel, count, interval):
    async def main():
        frames = channel.audio_frames(maxsize=1024)
        loop = asyncio.get_running_loop()
        feeding = loop.run_in_executor(None, feed, count, interval, threading.Event())
        delays = []
        async for frame in frames:
            delays.append(time.monotonic() - frame.time)
            if len(delays) == count:
                break
        await feeding
        frames.close()
        return delays
    return asyncio.run(main())


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def run_delay_bench(channel, count):
    print("\n2. iterator delay, engine thread to consumer, %d frames every 5 ms (us)" % count)
    print("%-18s %10s %10s %10s" % ("consumer", "median", "p99", "max"))
    for name, measure in (("sync (thread)", sync_delays), ("asyncio", async_delays)):
        delays = [d * 1e6 for d in measure(channel, count, 0.005)]
        print("%-18s %10.1f %10.1f %10.1f" % (name, statistics.median(delays),
                                              percentile(delays, 0.99), max(delays)))


# --- 3. a consumer that stops reading -----------------------------------------------------------

def run_memory_bench(lib, channel, total, steps):
    print("\n3. a consumer that stops reading: Python memory (KiB, tracemalloc) as frames keep"
          " coming")
    frame = frame_path.audio_frame()
    paths = frame_path.Paths(lib)
    samples, width, channels, rate = frame.audio
    unbounded = []
    per_step = total // steps
    figures = {}
    audio_observer = channel.engine.frame_observers[0]
    sdk.registerAudioObserver(audio_observer)
    # The list first, as a processor; then the stream, alone on the channel.
    keep = channel.audio_processor(lambda f: unbounded.append(f))
    stream = None
    for name in ("list", "stream"):
        if name == "stream":
            channel.remove_processor(keep)
            stream = channel.audio_frames(maxsize=64)
        gc.collect()
        tracemalloc.start()
        base = tracemalloc.get_traced_memory()[0]
        figures[name] = []
        for _ in range(steps):
            lib.fb_module_audio(paths.audio_observer, frame.pointers[0], samples, width, channels,
                                rate, 0, per_step, frame_path.ctypes.byref(
                                    frame_path.ctypes.c_int64()))
            gc.collect()
            figures[name].append(tracemalloc.get_traced_memory()[0] - base)
        tracemalloc.stop()
    print("%-12s %16s %22s" % ("frames", "bounded stream", "unbounded list"))
    for step in range(steps):
        print("%-12d %16.0f %22.0f" % ((step + 1) * per_step, figures["stream"][step] / 1024,
                                       figures["list"][step] / 1024))
    growth = figures["stream"][-1] - figures["stream"][0]
    print("   bounded stream (maxsize 64): %d frames held, %d dropped, %+.0f KiB from the first"
          " step to the last; the list holds %d frames" % (
              stream.qsize(), stream.dropped, growth / 1024, len(unbounded)))
    print("   target: flat with drops counted: %s" % (
        "PASS" if growth < 64 * 1024 and stream.dropped == total - 64 else "MISS"))
    stream.close()
    unbounded.clear()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    options = parser.parse_args()
    seconds, rounds, delay_frames, memory_frames = (
        (0.05, 2, 60, 20000) if options.quick else (0.3, 7, 600, 200000))
    print("pyveltosdk bench on CPython %s (%s), load %s" % (
        platform.python_version(), platform.machine(), " ".join(
            "%.2f" % x for x in os.getloadavg())))
    with tempfile.TemporaryDirectory() as scratch:
        lib, _ = frame_path.build_helper(scratch)
        sdk.terminate()
        with velto.Engine() as engine, engine.join("bench", uid=1) as channel:
            run_processor_bench(lib, channel, seconds, rounds)
            sdk.registerAudioObserver(engine.frame_observers[0])
            run_delay_bench(channel, delay_frames)
            run_memory_bench(lib, channel, memory_frames, 4)


if __name__ == "__main__":
    os.environ.setdefault("VELTO_SIM_LIVE", "0")
    sim.set_live(False)
    main()
