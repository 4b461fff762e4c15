"""pyveltosdk benchmark: what the Pythonic layer adds to the raw frame path, side by side.

Run after ``python -m pip install ".[numpy]"``::

    python bench/pythonic.py            # full run, about a minute
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
4. Publishing: CPU per engine frame that a publication fills (10 ms of 48 kHz stereo audio and
   a 320x240 picture, frames from the native thread as in 1, the buffer full beforehand) beside
   the raw callback and a no-op processor, and the feeder's CPU per frame (reading and
   converting the source on the layer's thread) for a source in the engine's format and one
   to convert; then underruns of audio published in real time (one frame every 10 ms) while
   another Python thread is busy.
Targets are reported as PASS or MISS; the exit status ignores them.
"""

import argparse
import asyncio
import gc
import itertools
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


# --- 4. publishing ------------------------------------------------------------------------------

def fill_cost(paths, frame, router, publish, count):
    """(engine thread CPU us per frame filled, feeder CPU us per frame converted): one frame
    tells the publication the format, the buffer fills to `count`, then `count` frames take it."""
    publication = publish(count)
    paths.module(frame, router, 0, 1)
    started, deadline = time.process_time(), time.monotonic() + 60
    while publication.queued < count and time.monotonic() < deadline:
        time.sleep(0.001)
    feeder = (time.process_time() - started) / max(publication.queued, 1)
    sent = publication.frames_sent
    _, cpu = paths.module(frame, router, 0, count)
    filled = publication.frames_sent - sent
    publication.stop()
    if filled != count:
        print("   (only %d of %d frames were filled)" % (filled, count))
    return cpu / 1e3 / count, feeder * 1e6


def run_publish_bench(lib, channel, audio_count, video_count, realtime_count):
    import numpy as np

    paths = frame_path.Paths(lib)
    audio, video = frame_path.audio_frame(), frame_path.video_frame(320, 240)
    engine = channel.engine
    block = np.tile(np.arange(-2400, 2400, dtype=np.int16), 10)  # 0.1 s of 48 kHz stereo
    slow_block = (np.arange(1600, dtype=np.int16) * 7)  # 0.1 s of 16 kHz mono
    picture = bytes(frame_path.pattern(320 * 240 * 3 // 2))
    large = bytes(frame_path.pattern(640 * 480 * 3 // 2))

    def blocks(data, frames_each, count):
        return itertools.repeat(data, count // frames_each + 2)

    print("\n4. publishing: CPU us per frame on the engine thread (best of 3): the raw callback "
          "answering None\n   or other bytes for every plane, a no-op processor, a publication "
          "filling the frame;\n   and the feeder thread's CPU us per frame converted")
    print("%-36s %10s %10s %10s %12s %10s" % ("frame / source", "raw none", "raw copy",
                                              "processor", "publication", "feeder"))
    rows = [
        (audio, engine._audio, "audio, 48 kHz stereo", lambda n: channel.publish_audio(
            blocks(block, 10, n), channels=2, buffer_frames=n)),
        (audio, engine._audio, "audio, 16 kHz mono, resampled", lambda n: channel.publish_audio(
            blocks(slow_block, 10, n), sample_rate=16000, buffer_frames=n)),
        (video, engine._video, "320x240, I420 of 320x240", lambda n: channel.publish_video(
            blocks(picture, 1, n), width=320, height=240, buffer_frames=n)),
        (video, engine._video, "320x240, I420 640x480, scaled", lambda n: channel.publish_video(
            blocks(large, 1, n), width=640, height=480, buffer_frames=n)),
    ]
    for frame, router, label, publish in rows:
        count = audio_count if frame.audio else video_count
        answers = frame_path.module_callables(frame)
        raw, copy = (min(paths.module(frame, answers[name], 0, count)[1]
                         for _ in range(3)) / 1e3 / count for name in ("none", "copy"))
        noop_router = AudioRouter() if frame.audio else VideoRouter()
        noop_router.add_processor(noop, None)
        processor = min(paths.module(frame, noop_router, 0, count)[1]
                        for _ in range(3)) / 1e3 / count
        costs = [fill_cost(paths, frame, router, publish, count) for _ in range(3)]
        print("%-36s %10.3f %10.3f %10.3f %12.3f %10.1f" % (
            label, raw, copy, processor, min(c[0] for c in costs), min(c[1] for c in costs)))
    sdk.registerAudioObserver(engine._audio)
    sdk.registerVideoObserver(engine._video)
    run_underrun_bench(lib, paths, channel, audio, block, slow_block, realtime_count)


UNDERRUN_CASES = [
    ("no other Python thread", None, None),
    ("busy thread, default switch interval", "bytecode", None),
    ("busy thread in one long C call, 1 ms", "c call", 0.001),
]


def run_underrun_bench(lib, paths, channel, frame, block, slow_block, count):
    samples, width, channels, rate = frame.audio
    seconds = count / 100
    print("\n   underruns of audio published in real time: %d frames due every 10 ms (%.0f s),"
          " buffer 20 frames" % (count, seconds))
    print("   %-42s %-26s %8s %10s %14s" % ("other thread", "source", "sent", "underruns",
                                            "frame late p99"))
    default = sys.getswitchinterval()
    sources = [("48 kHz stereo", lambda: channel.publish_audio(
                   itertools.repeat(block, count // 10 + 30), channels=2)),
               ("16 kHz mono, resampled", lambda: channel.publish_audio(
                   itertools.repeat(slow_block, count // 10 + 30), sample_rate=16000))]
    for label, busy, interval in UNDERRUN_CASES:
        for name, publish in sources:
            publication = publish()
            delays = (frame_path.ctypes.c_int64 * count)()
            sys.setswitchinterval(interval or default)
            try:
                with frame_path.BusyThread(busy):
                    lib.fb_module_audio_paced(paths.audio_observer, frame.pointers[0], samples,
                                              width, channels, rate, count, 10000000, delays)
            finally:
                sys.setswitchinterval(default)
            late = sorted(d / 1e6 for d in delays)
            print("   %-42s %-26s %8d %10d %11.1f ms" % (
                label, name, publication.frames_sent, publication.underruns,
                late[min(count - 1, int(0.99 * count))]))
            publication.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    options = parser.parse_args()
    seconds, rounds, delay_frames, memory_frames, publish_frames = (
        (0.05, 2, 60, 20000, (200, 20, 200)) if options.quick
        else (0.3, 7, 600, 200000, (1000, 100, 500)))
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
            run_publish_bench(lib, channel, *publish_frames)


if __name__ == "__main__":
    os.environ.setdefault("VELTO_SIM_LIVE", "0")
    sim.set_live(False)
    main()
