"""Calls between processes on the simulated engine: latency, CPU, loss and the transport's cost.

Run after ``pip install .``:  python bench/call_network.py [--seconds S] [--quick]

1. Two processes in one channel exchange 640x480@30 video and 48 kHz stereo audio both ways.
   Each capture (10) and record (0) callback stamps its frame with a sequence number and the
   machine's monotonic clock; each render (11) and playback-before-mix (3) callback of the other
   process reads the stamp. Printed: latency from the sender's callback to the receiver's
   (median, p99), CPU per process (user + system, as a share of one core, callbacks included)
   and frames lost (gaps in the sequence numbers that arrived).
2. The transport's cost per 1920x1080 frame, from one member's send to another's complete
   frame within one process, as a ratio to one memcpy of the frame's bytes.
3. Two and eight processes at 320x240@15 with 48 kHz mono audio (8 x 7 = 56 video streams):
   CPU per process, loss, and how CPU per process grows from 2 to 8 peers.

Every figure comes from this one run on this machine; ratios compare figures measured side by
side, never against numbers from elsewhere."""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PEER = r"""
import json, os, resource, struct, sys, time
import _pyveltosdk as sdk, velto_sim as sim

cfg = json.loads(sys.argv[1])
STAMP = struct.Struct("<4sIQ")  # tag, sequence, monotonic ns
TAG = b"BNCH"
sent = {"video": 0, "audio": 0}
got = {"video": {}, "audio": {}}  # uid -> [latencies], [sequences]

def stamp(kind):
    sent[kind] += 1
    return STAMP.pack(TAG, sent[kind], time.monotonic_ns())

def read(kind, uid, data):
    arrived = time.monotonic_ns()
    if len(data) < STAMP.size:
        return
    tag, sequence, at = STAMP.unpack_from(data)
    if tag == TAG:
        entry = got[kind].setdefault(uid, ([], []))
        entry[0].append((arrived - at) / 1e6)
        entry[1].append(sequence)

def video(t, uid, w, h, y, u, v):
    if t == 10:
        return (stamp("video"), None, None)   # the rest of the plane is zero-padded
    if t == 11:
        read("video", uid, y)
    return (None, None, None)

def audio(t, uid, n, ch, rate, data):
    if t == 0:
        return (stamp("audio"),)
    if t == 3:
        read("audio", uid, data)
    return (None,)

sdk.initialize(json.dumps({"sim": {"users": [], "stats": {"intervalMs": 0},
    "video": {"width": cfg["width"], "height": cfg["height"], "fps": cfg["fps"]},
    "audio": {"channels": cfg["channels"]}}}))
sdk.registerVideoObserver(video)
sdk.registerAudioObserver(audio)
sdk.enableVideo(True)
assert sdk.joinChannel("", "bench", 0) == 0
os.write(1, b"JOINED\n")
# Everyone is in once the folder holds every member's socket; measure from then on.
while len(sim.network()["members"]) < cfg["peers"] - 1:
    time.sleep(0.01)
time.sleep(cfg["settle"])
for kind in got:
    got[kind].clear()
for kind in sent:
    sent[kind] = 0
start_cpu = resource.getrusage(resource.RUSAGE_SELF)
start = time.monotonic()
time.sleep(cfg["seconds"])
end_cpu = resource.getrusage(resource.RUSAGE_SELF)
wall = time.monotonic() - start
report = {"cpu": (end_cpu.ru_utime - start_cpu.ru_utime + end_cpu.ru_stime - start_cpu.ru_stime)
          / wall, "wall": wall, "sent": dict(sent), "network": sim.network(),
          "got": {k: {str(u): v for u, v in d.items()} for k, d in got.items()}}
os.write(1, ("REPORT " + json.dumps(report) + "\n").encode())
# Stay until the others stopped measuring too.
time.sleep(cfg["linger"])
sdk.leaveChannel()
"""


def run_call(peers, width, height, fps, channels, seconds):
    folder = tempfile.mkdtemp(prefix="vsb-")
    env = dict(os.environ, VELTO_SIM_LIVE="1", VELTO_SIM_NETWORK_DIR=folder)
    cfg = {"peers": peers, "width": width, "height": height, "fps": fps, "channels": channels,
           "seconds": seconds, "settle": 1.0, "linger": 2.0}
    procs = []
    for _ in range(peers):
        proc = subprocess.Popen([sys.executable, "-c", PEER, json.dumps(cfg)], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        procs.append(proc)
        if proc.stdout.readline().strip() != "JOINED":
            raise SystemExit("a peer did not join: " + proc.stderr.read())
    reports = []
    for proc in procs:
        out, err = proc.communicate(timeout=seconds + 120)
        lines = [line for line in out.splitlines() if line.startswith("REPORT ")]
        if proc.returncode != 0 or not lines:
            raise SystemExit("a peer failed:\n" + out + err)
        reports.append(json.loads(lines[-1][len("REPORT "):]))
    shutil.rmtree(folder, ignore_errors=True)
    return reports


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else float("nan")


def summarise(reports):
    """Latencies, loss and CPU over every stream of every process."""
    out = {}
    for kind in ("video", "audio"):
        latencies, received, lost = [], 0, 0
        for report in reports:
            for _, (delays, sequences) in report["got"][kind].items():
                latencies += delays
                received += len(set(sequences))
                if sequences:
                    lost += max(sequences) - min(sequences) + 1 - len(set(sequences))
        out[kind] = {"median": statistics.median(latencies) if latencies else float("nan"),
                     "p99": percentile(latencies, 0.99), "received": received, "lost": lost}
    out["cpu"] = [r["cpu"] for r in reports]
    out["refused"] = sum(r["network"]["refused"] for r in reports)
    out["sendsDropped"] = sum(r["network"]["sendsDropped"] for r in reports)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="measured time per call")
    parser.add_argument("--quick", action="store_true", help="4 s calls, fewer 1080p frames")
    args = parser.parse_args()
    seconds = 4.0 if args.quick else args.seconds
    import velto_sim as sim

    print("CPython %s, %d CPUs, load %.1f" % (sys.version.split()[0], os.cpu_count() or 0,
                                            os.getloadavg()[0]))
    two = summarise(run_call(2, 640, 480, 30, 2, seconds))
    print("\n2 processes, 640x480@30 + 48 kHz stereo both ways, %.0f s measured" % seconds)
    print("  %-6s %10s %10s %10s %6s" % ("stream", "median ms", "p99 ms", "received", "lost"))
    for kind in ("video", "audio"):
        s = two[kind]
        print("  %-6s %10.2f %10.2f %10d %6d" % (kind, s["median"], s["p99"], s["received"],
                                                s["lost"]))
    print("  CPU per process: %s of one core (callbacks included); sends a full queue "
          "dropped: %d" % (", ".join("%.1f%%" % (100 * c) for c in two["cpu"]),
                            two["sendsDropped"]))

    frames = 40 if args.quick else 150
    folder = tempfile.mkdtemp(prefix="vsb-")
    cost = sim.transport_bench(folder, 1920, 1080, frames)
    shutil.rmtree(folder, ignore_errors=True)
    print("\nTransport, one 1920x1080 I420 frame (3,110,400 bytes) from send to complete frame,"
          " %d frames" % frames)
    print("  CPU %.0f us, wall %.0f us, one memcpy %.0f us: CPU %.1fx memcpy, wall %.1fx"
          % (cost["cpu_ns"] / 1e3, cost["wall_ns"] / 1e3, cost["memcpy_ns"] / 1e3,
             cost["cpu_ns"] / cost["memcpy_ns"], cost["wall_ns"] / cost["memcpy_ns"]))

    small = {}
    for peers in (2, 8):
        small[peers] = summarise(run_call(peers, 320, 240, 15, 1, seconds))
    print("\n320x240@15 + 48 kHz mono, every process sending and receiving, %.0f s measured"
          % seconds)
    print("  %-6s %8s %14s %12s %12s %10s" % ("peers", "streams", "CPU/process", "video lost",
                                              "audio lost", "video p99"))
    for peers, s in small.items():
        print("  %-6d %8d %13.1f%% %12d %12d %8.1f ms"
              % (peers, peers * (peers - 1), 100 * statistics.mean(s["cpu"]), s["video"]["lost"],
                 s["audio"]["lost"], s["video"]["p99"]))
    growth = statistics.mean(small[8]["cpu"]) / statistics.mean(small[2]["cpu"])
    print("  CPU per process grows %.2fx from 2 to 8 peers, for 7x the streams received "
          "(%.2fx per received stream)" % (growth, growth / 7))


if __name__ == "__main__":
    main()
