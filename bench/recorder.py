"""Call recorder benchmark: two remote users at 1280x720, 30 fps, for 30 s on the simulated
engine, measured side by side in one run:

  baseline      the same call with callbacks that return at once: what the simulated engine
                (drawing two 720p patterns) and the frame path cost on their own
  mp4           examples/call_recorder.py --format mp4 (per-user files and the composite)
  mp4, no grid  the same without the composite
  webm          --format webm

For each: the process's CPU (user + system, as a share of one core), the encoders' share (CPU
above the baseline), the frames the users sent that reached the files (the simulated engine
skips a frame whose time has passed while its thread waited), the frames the recorder dropped
(queue full), the composite's skipped ticks, and the callback time per user video frame in
microseconds: mean thread CPU, mean wall time, longest wall time.

Beside mp4 and mp4 without the grid, the same call is recorded with --format raw and `ffmpeg`
encodes those files (the users' and the composite's pictures, as many as the case's files hold,
and their sound) with the options the recorder gives its encoders, read from its writer: the
encoders' CPU above the baseline is set against ffmpeg's (its child CPU, user + system, per
second of call) three ways: live (the files at once, each read at its own rate with -re, as a
call brings them), as fast as it goes, and as fast as it goes without the sound. Without ffmpeg
on the PATH that comparison is skipped with a note.

Before the calls, `vp9` encodes 720p pictures in this process with the recorder's WebM options
and with variants of them, and prints the frames per second each reaches (wall and CPU time),
and how much of its rate a Python thread that only counts keeps meanwhile (near 100%: the
encoder lets the interpreter go while it works). The machine's load is printed with each case.

    python bench/recorder.py              # 30 s per case, about 6 minutes
    python bench/recorder.py --seconds 10 --only mp4
    python bench/recorder.py --only vp9 webm
    python bench/recorder.py --seconds 20 --only mp4 grid --rounds 2
    python bench/recorder.py --only mp4 grid --recorder ../other-checkout/examples/call_recorder.py
"""

import argparse
import atexit
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from fractions import Fraction

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDER = os.path.join(ROOT, "examples", "call_recorder.py")
USERS = [{"uid": 1001, "join": 0.0, "width": 1280, "height": 720, "fps": 30},
         {"uid": 1002, "join": 0.0, "width": 1280, "height": 720, "fps": 30}]
CONFIG = json.dumps({"sim": {"users": USERS}})
# A rendezvous folder of its own: no other program's call meets the benchmark's.
NETWORK_DIR = tempfile.mkdtemp(prefix="vsb-")
atexit.register(shutil.rmtree, NETWORK_DIR, True)
ENV = dict(os.environ, VELTO_SIM_LIVE="1", VELTO_SIM_NETWORK_DIR=NETWORK_DIR)

BASELINE = r"""
import json, sys, time, uuid
import _pyveltosdk as sdk
frames = {}
def audio(kind, uid, samples, channels, rate, data):
    return (None,)
def video(kind, uid, width, height, y, u, v):
    frames[uid] = frames.get(uid, 0) + 1
    return (None, None, None)
sdk.initialize(json.dumps({"sim": json.loads(sys.argv[1])["sim"]}))
sdk.enableVideo(True)
sdk.setVideoProfile(320, 240, 15, 0)
sdk.registerAudioObserver(audio)
sdk.registerVideoObserver(video)
sdk.logOff()
sdk.joinChannel("", "bench-" + uuid.uuid4().hex[:12], 0)
time.sleep(float(sys.argv[2]))
sdk.leaveChannel()
sdk.terminate()
print(json.dumps({str(k & 0xFFFFFFFF): v for k, v in frames.items() if k}))
"""


# Variants of the recorder's WebM video options, measured beside them.
VP9_VARIANTS = [
    ("recorder", {}),
    ("2 threads, row-mt", {"threads": "2", "row-mt": "1"}),
    ("+ tile-columns 2", {"threads": "2", "row-mt": "1", "tile-columns": "2"}),
    ("cpu-used 6", {"cpu-used": "6"}),
    ("cpu-used 7", {"cpu-used": "7"}),
    ("b 512k", {"b": "512000"}),
    ("b 256k", {"b": "256000"}),
]
VP9_FRAMES = 60
VP9_ROUNDS = 3  # each variant's best round: the machine is shared


def load():
    return "load %.1f" % os.getloadavg()[0]


def pictures(count, width=1280, height=720):
    """yuv420p frames of a moving picture: a scrolling gradient with blocks that move."""
    import av
    import numpy as np

    rows, cols = np.mgrid[0:height, 0:width]
    frames = []
    for n in range(count):
        luma = ((rows + cols + 8 * n) % 220 + 16).astype(np.uint8)
        x = (40 * n) % (width - 200)
        luma[200:400, x:x + 200] = 235
        chroma = np.full((height // 2, width), 128, np.uint8)
        chroma[:, (n * 16) % width:] = 90
        frames.append(av.VideoFrame.from_ndarray(np.concatenate((luma, chroma)),
                                                 format="yuv420p"))
    return frames


def vp9_encode(options, frames):
    """(frames per second, CPU time per wall time) of encoding `frames` with `options`."""
    import av

    codec = av.CodecContext.create("libvpx-vp9", "w")
    codec.width, codec.height, codec.pix_fmt = 1280, 720, "yuv420p"
    codec.time_base = Fraction(1, 30)
    codec.gop_size = 30
    codec.options = dict(options)
    cpu, wall = time.process_time(), time.perf_counter()
    for n, frame in enumerate(frames):
        frame.pts = n
        codec.encode(frame)
    codec.encode(None)
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return len(frames) / wall, cpu / wall


def counting_rate(seconds, work=None):
    """Counts per second of a Python thread that only counts, while `work` runs (or idle)."""
    count = [0]
    done = threading.Event()

    def counter():
        n = 0
        while not done.is_set():
            n += 1
        count[0] = n

    thread = threading.Thread(target=counter)
    started = time.perf_counter()
    thread.start()
    if work is None:
        time.sleep(seconds)
    else:
        work()
    done.set()
    thread.join()
    return count[0] / (time.perf_counter() - started)


def vp9_cases():
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    from recorder.avfile import CONTAINERS

    recorder = CONTAINERS["webm"]["video_options"]
    frames = pictures(VP9_FRAMES)
    print("VP9 at 1280x720, %d frames, in this process, best of %d rounds; %s"
          % (VP9_FRAMES, VP9_ROUNDS, load()))
    best = {}
    for _ in range(VP9_ROUNDS):
        for name, changes in VP9_VARIANTS:
            fps, cpu = vp9_encode(dict(recorder, **changes), frames)
            if fps > best.get(name, (0.0, 0.0))[0]:
                best[name] = (fps, cpu)
    # On a shared machine the encoder gets what the others leave: frames per second of CPU
    # (fps / cores used) compares the options, fps says what this moment allowed.
    print("%-20s %8s %8s %10s   %s" % ("options", "fps", "cores", "fps/core", "libvpx options"))
    for name, changes in VP9_VARIANTS:
        options = " ".join("%s=%s" % kv for kv in sorted(dict(recorder, **changes).items()))
        fps, cores = best[name]
        print("%-20s %8.1f %8.2f %10.1f   %s" % (name, fps, cores, fps / cores, options))
    # Does the encode call hold the interpreter? A counting thread beside it, against idle.
    idle = counting_rate(1.0)
    during = counting_rate(0, lambda: vp9_encode(recorder, frames))
    # The loop does nothing but encode: an encoder that held the interpreter would leave the
    # counter only its switch-interval turns, near 0%.
    print("a Python thread counting beside the recorder's encoder keeps %.0f%% of its idle rate"
          " (%s)\n" % (100 * during / idle, load()))


def run(command, seconds):
    """Runs `command`; returns (its CPU seconds, wall seconds, stdout)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    proc = subprocess.run(command, capture_output=True, text=True, env=ENV,
                          timeout=seconds * 4 + 120)
    wall = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(command), proc.stderr))
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, wall, proc.stdout


def recorder_case(extra, seconds, scratch, recorder=RECORDER):
    out = tempfile.mkdtemp(dir=scratch)
    cpu, wall, _ = run([sys.executable, recorder, "--seconds", str(seconds), "--out", out,
                        "--channel", "bench-" + uuid.uuid4().hex[:12],
                        "--engine-config", CONFIG] + extra, seconds)
    folder = os.path.join(out, os.listdir(out)[0])
    with open(os.path.join(folder, "summary.json")) as f:
        summary = json.load(f)
    users = summary["users"]
    timing = summary["callbacks"].get("user video", {})
    return {
        "cpu": cpu / summary["seconds"],
        "frames": sum(u["video"]["written"] for u in users),
        "dropped": sum(sum(u["dropped"].values()) for u in users),
        "late": summary["composite"]["video"]["late"] if summary["composite"] else 0,
        "callback": (timing.get("microsPerFrame", 0.0), timing.get("wallMicrosPerFrame", 0.0),
                     timing.get("maxWallMicros", 0.0)),
        "megabytes": sum(os.path.getsize(os.path.join(folder, name))
                         for name in os.listdir(folder)) / 1e6,
        "folder": folder,
        "summary": summary,
    }


# --- ffmpeg on the same frames ---------------------------------------------------------------


def encoder_settings(fmt, recorder):
    """What the writer of `recorder` (the program's path) gives its encoders, read from a
    writer it makes: the codecs, their options, bit rates and threads."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(recorder)))
    for name in [name for name in sys.modules if name.split(".")[0] == "recorder"]:
        del sys.modules[name]  # another checkout's, imported by the vp9 case
    from recorder.avfile import CONTAINERS, AvWriter
    from recorder.formats import AudioFormat, VideoFormat

    with tempfile.TemporaryDirectory() as folder:
        writer = AvWriter(fmt, os.path.join(folder, "probe"), VideoFormat(1280, 720, 30),
                          AudioFormat(48000, 1))
        video, audio = writer._video.codec_context, writer._audio.codec_context
        settings = {
            "container": dict(CONTAINERS[fmt]["options"]),
            "video": CONTAINERS[fmt]["video"],
            "video_options": dict(CONTAINERS[fmt]["video_options"]),
            # None or 0: the encoder's own default (PyAV from 13 on sets none).
            "b:v": str(video.bit_rate) if video.bit_rate else None,
            "threads": str(video.thread_count),
            "thread_type": str(video.thread_type.name).lower().replace("|", "+"),
            "audio": CONTAINERS[fmt]["audio"],
            "b:a": str(audio.bit_rate) if audio.bit_rate else None,
        }
        writer.close()
    return settings


def describe_settings(settings):
    video = " ".join("%s=%s" % kv for kv in sorted(settings["video_options"].items()))
    return "%s %s b:v=%s g=fps threads=%s thread_type=%s; %s b:a=%s" % (
        settings["video"], video, settings["b:v"] or "default", settings["threads"],
        settings["thread_type"], settings["audio"], settings["b:a"] or "default")


def y4m_pictures(path):
    """Pictures in a Y4M file of I420 pictures (its header's W and H)."""
    with open(path, "rb") as f:
        header = f.readline()
    fields = dict((field[:1], field[1:]) for field in header.split()[1:])
    width, height = int(fields[b"W"]), int(fields[b"H"])
    picture = len(b"FRAME\n") + width * height + 2 * ((width + 1) // 2) * ((height + 1) // 2)
    return (os.path.getsize(path) - len(header)) // picture


def ffmpeg_command(settings, fmt, base, pictures, fps, sound, realtime, out):
    """ffmpeg encoding the first `pictures` of `base`.y4m (and `base`.wav when `sound`) as the
    recorder's writer does; `realtime`: read at the files' own rate, as a call brings them."""
    paced = ["-re"] if realtime else []
    command = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
    command += paced + ["-i", base + ".y4m"]
    if sound:
        command += paced + ["-i", base + ".wav", "-map", "0:v", "-map", "1:a"]
    command += ["-frames:v", str(pictures), "-pix_fmt", "yuv420p", "-c:v", settings["video"],
                "-g", str(fps), "-threads", settings["threads"],
                "-thread_type", settings["thread_type"]]
    if settings["b:v"]:
        command += ["-b:v", settings["b:v"]]
    for key, value in sorted(settings["video_options"].items()):
        command += ["-" + key, value]
    if sound:
        command += ["-c:a", settings["audio"], "-ar", "48000"]
        if settings["b:a"]:
            command += ["-b:a", settings["b:a"]]
    command += ["-f", fmt]
    for key, value in sorted(settings["container"].items()):
        command += ["-" + key, value]
    return command + [out]


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def ffmpeg_case(settings, raw, case, scratch):
    """ffmpeg's CPU per second of call to encode what the case's files hold, from the raw
    recording of the same call: {"live": the files at once, each read at its own rate, with
    their sound; "fast": one after another as fast as it goes, with their sound; "pictures":
    the same without sound}."""
    summary = case["summary"]
    entries = [("user-%d" % user["uid"], user) for user in summary["users"]]
    if summary["composite"] is not None:
        entries.append(("composite", summary["composite"]))
    jobs = []
    for name, entry in entries:
        base = os.path.join(raw["folder"], name)
        if entry["video"] is None or not os.path.exists(base + ".y4m"):
            continue
        pictures = min(entry["video"]["written"], y4m_pictures(base + ".y4m"))
        jobs.append((base, pictures, entry["video"]["fps"], os.path.exists(base + ".wav"),
                     os.path.join(scratch, "ffmpeg-%s.%s" % (name, summary["format"]))))
    cpu = {}
    before = children_cpu()
    running = [subprocess.Popen(ffmpeg_command(settings, summary["format"], base, pictures,
                                               fps, sound, True, out), env=ENV)
               for base, pictures, fps, sound, out in jobs]
    for proc in running:
        if proc.wait(timeout=summary["seconds"] * 4 + 60) != 0:
            sys.exit("ffmpeg failed: %s" % " ".join(map(str, proc.args)))
    cpu["live"] = children_cpu() - before
    for key, with_sound in (("fast", True), ("pictures", False)):
        before = children_cpu()
        for base, pictures, fps, sound, out in jobs:
            run(ffmpeg_command(settings, summary["format"], base, pictures, fps,
                               sound and with_sound, False, out), 60)
        cpu[key] = children_cpu() - before
    return {key: value / summary["seconds"] for key, value in cpu.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--only", nargs="*", default=None,
                        help="cases to run: vp9 mp4 grid webm (the baseline always runs with "
                             "a call; mp4 and grid bring the raw recording and ffmpeg)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="times the calls are run, one round after another")
    parser.add_argument("--recorder", default=RECORDER,
                        help="the recorder program to measure (default: this checkout's "
                             "examples/call_recorder.py; another checkout's, to compare)")
    args = parser.parse_args()
    if not args.only or "vp9" in args.only:
        vp9_cases()
    if args.only == ["vp9"]:
        return
    cases = [("mp4", ["--format", "mp4"]), ("grid", ["--format", "mp4", "--no-composite"]),
             ("webm", ["--format", "webm"])]
    cases = [(key, extra) for key, extra in cases if not args.only or key in args.only]
    names = {"mp4": "mp4", "grid": "mp4, no grid", "webm": "webm", "raw": "raw"}
    compared = [key for key, _ in cases if key in ("mp4", "grid")]
    ffmpeg = shutil.which("ffmpeg")
    if compared and ffmpeg is None:
        print("ffmpeg is not on the PATH: the comparison with ffmpeg is skipped "
              "(apt-get install ffmpeg, or your system's package)\n")
    settings = encoder_settings("mp4", args.recorder) if compared and ffmpeg else None
    sent = 2 * 30 * args.seconds
    row = "%-14s %8s %9s %14s %8s %10s %22s %8s  %s"
    with tempfile.TemporaryDirectory() as scratch:
        for round_ in range(args.rounds):
            cpu, _, stdout = run([sys.executable, "-c", BASELINE, CONFIG, str(args.seconds)],
                                 args.seconds)
            base_cpu = cpu / args.seconds
            base_frames = sum(json.loads(stdout.strip().splitlines()[-1]).values())
            print("two users at 1280x720, 30 fps, %g s (%d frames sent)%s"
                  % (args.seconds, sent, ", round %d" % (round_ + 1) if args.rounds > 1 else ""))
            print(row % ("case", "CPU", "encoders", "frames in", "dropped", "grid late",
                         "callback CPU/wall/max", "MB", "load after"))
            share = "%d (%.0f%%)" % (base_frames, 100 * base_frames / sent)
            print(row % ("baseline", "%.0f%%" % (100 * base_cpu), "-", share, "-", "-", "-",
                         "-", load()))
            results = {}
            for key, extra in cases + ([("raw", ["--format", "raw"])] if settings else []):
                result = recorder_case(extra, args.seconds, scratch, args.recorder)
                results[key] = result
                print("%-14s %7.0f%% %8.0f%% %14s %8d %10d %22s %8.1f  %s" % (
                    names[key], 100 * result["cpu"], 100 * (result["cpu"] - base_cpu),
                    "%d (%.0f%%)" % (result["frames"], 100 * result["frames"] / sent),
                    result["dropped"], result["late"], "%.1f / %.0f / %.0f" % result["callback"],
                    result["megabytes"], load()))
            if settings:
                print("\nffmpeg on the raw recording's files, as many pictures as each case's "
                      "files hold:\n  %s\n  live: the files at once, each read at its own rate"
                      " (-re) with its sound; fast: one after another as fast as it goes"
                      % describe_settings(settings))
                print("%-14s %9s %9s %7s %9s %7s %14s %7s  %s" % (
                    "case", "encoders", "live", "ratio", "fast", "ratio", "fast, no sound",
                    "ratio", "load after"))
                for key in compared:
                    ffmpeg_cpu = ffmpeg_case(settings, results["raw"], results[key], scratch)
                    encoders = results[key]["cpu"] - base_cpu
                    print("%-14s %8.0f%% %8.0f%% %6.2fx %8.0f%% %6.2fx %13.0f%% %6.2fx  %s" % (
                        names[key], 100 * encoders,
                        100 * ffmpeg_cpu["live"], encoders / ffmpeg_cpu["live"],
                        100 * ffmpeg_cpu["fast"], encoders / ffmpeg_cpu["fast"],
                        100 * ffmpeg_cpu["pictures"], encoders / ffmpeg_cpu["pictures"], load()))
                shutil.rmtree(results["raw"]["folder"], True)
            print()


if __name__ == "__main__":
    main()
