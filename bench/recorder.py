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

    python bench/recorder.py              # 30 s per case, about 2.5 minutes
    python bench/recorder.py --seconds 10 --only mp4
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
import time
import uuid

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


def recorder_case(extra, seconds, scratch):
    out = tempfile.mkdtemp(dir=scratch)
    cpu, wall, _ = run([sys.executable, RECORDER, "--seconds", str(seconds), "--out", out,
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
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--only", nargs="*", default=None,
                        help="cases to run: mp4 grid webm (the baseline always runs)")
    args = parser.parse_args()
    cases = [("mp4", ["--format", "mp4"]), ("grid", ["--format", "mp4", "--no-composite"]),
             ("webm", ["--format", "webm"])]
    names = {"mp4": "mp4", "grid": "mp4, no grid", "webm": "webm"}
    sent = 2 * 30 * args.seconds
    with tempfile.TemporaryDirectory() as scratch:
        cpu, _, stdout = run([sys.executable, "-c", BASELINE, CONFIG, str(args.seconds)],
                             args.seconds)
        base_cpu = cpu / args.seconds
        base_frames = sum(json.loads(stdout.strip().splitlines()[-1]).values())
        print("two users at 1280x720, 30 fps, %g s (%d frames sent); load %.1f"
              % (args.seconds, sent, os.getloadavg()[0]))
        row = "%-14s %8s %9s %14s %8s %10s %22s %8s"
        print(row % ("case", "CPU", "encoders", "frames in", "dropped", "grid late",
                     "callback CPU/wall/max", "MB"))
        share = "%d (%.0f%%)" % (base_frames, 100 * base_frames / sent)
        print(row % ("baseline", "%.0f%%" % (100 * base_cpu), "-", share, "-", "-", "-", "-"))
        for key, extra in cases:
            if args.only and key not in args.only:
                continue
            result = recorder_case(extra, args.seconds, scratch)
            print("%-14s %7.0f%% %8.0f%% %14s %8d %10d %22s %8.1f" % (
                names[key], 100 * result["cpu"], 100 * (result["cpu"] - base_cpu),
                "%d (%.0f%%)" % (result["frames"], 100 * result["frames"] / sent),
                result["dropped"], result["late"], "%.1f / %.0f / %.0f" % result["callback"],
                result["megabytes"]))


if __name__ == "__main__":
    main()
