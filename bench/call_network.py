"""Calls between processes on the simulated engine: loss, latency, CPU and the transport's cost.

Run after ``pip install .``:  python bench/call_network.py [--seconds S] [--quick] [--json]

Every member of a call is a process of its own, driven by this script over its standard input
and output: it joins, says when it sees every other member (the network's member list), and
only then does the script tell all of them to go. From "go" each member stamps what it sends
for the measured seconds; then it stops stamping and everyone keeps receiving for a grace
period (and stays in the channel) before it reports. So nothing is stamped for a member that
has not joined yet or has already left, and a frame that is missing was lost on the way.

1. Two processes, 640x480@30 video and 48 kHz stereo audio both ways. Each capture (10) and
   record (0) callback edits its frame as a program would: it copies the whole plane (the Y
   plane; the audio buffer) into a buffer of its own, writes a stamp at its start (sender uid,
   sequence, the machine's monotonic clock) and the sequence again in its last bytes, and hands
   the whole buffer back. Each render (11) and playback-before-mix (3) callback reads the stamp.
   Each sender reports how many frames of each kind it stamped; each receiver the sequences it
   received per sender. Loss per stream (sender, receiver, kind) is stamped minus distinct
   sequences received, whole streams included: a receiver that never saw a sender loses all of
   that sender's frames. Printed: stamped, received, lost (at a stream's start, between, at its
   end, and whole streams), frames that arrived damaged (start and end stamps disagree), latency
   from the sender's callback to the receiver's (median, p99), CPU per process (user + system as
   a share of one core, callbacks included, over the stamped seconds), and the network's own
   counters over the same time (`velto_sim.network()`: "sendsDropped" is a send a full queue did
   not take; a receiver's newest-frame-wins slot and bounded audio queue show as
   "videoReplaced" and "audioDropped" when the engine reports them): where frames went.
2. The transport's cost for one 1920x1080 I420 frame (3,110,400 bytes), beside two floors
   measured in the same run:
   - memcpy: one copy of the frame between two warm buffers (ctypes.memmove), median of many;
   - shared-memory floor: a plain Python ring between two processes (a memfd of 4 frames; the
     writer copies a frame in and writes one byte to a pipe, the reader waits for the byte,
     copies the frame out and hands the slot back with a byte on another pipe): CPU of both
     processes per frame;
   - the transport: two processes, both sending 1920x1080@15 (the camera's test pattern, audio
     off) and both counting what their render callback gets. "On": both in one channel, each
     receiving the other's frames through the network. "Off": the same two processes, each
     alone in a channel of its own with an echo user that hands its own frames back to its
     render callback, so both produce and consume the same frames at the same rate without the
     network. Cost per frame = (CPU of both processes on - CPU of both off, per second) /
     frames moved per second on, plus one memcpy: the echo copies each frame once inside the
     process (the only work "off" does that "on" does not), so the difference alone is short
     by that copy. On and off alternate over five rounds (--rounds; one with --quick); the
     median round is printed, with the raw difference, the frames moved, and the ratios
     transport/memcpy and transport/shared-memory floor. The in-process figure of
     `velto_sim.transport_bench` (two members in one process, send to complete frame) follows
     for reference.
3. Two and eight processes at 320x240@15 with 48 kHz mono audio (8 x 7 = 56 video streams):
   CPU per process, CPU per stream received (a stream: one sender's video and audio), loss as
   above, and (CPU per stream at 8) / (CPU per stream at 2): at most 1 means the cost grows at
   most linearly with the streams a process receives.

The machine's load (1, 5, 15 minutes) is printed with each part. Every figure comes from this
one run on this machine; ratios compare figures measured side by side, never against numbers
from elsewhere. Every process started here has a deadline and is killed past it.
"""
import argparse
import ctypes
import json
import os
import queue
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# A member of a call. Reads GO, REPORT and LEAVE lines on stdin (end of input: leave at once);
# writes MET, STOPPED and REPORT <json> lines on stdout (FAILED <why> and status 3 when it
# cannot join or meet the others).
PEER = r"""
import json, os, resource, struct, sys, time
import _pyveltosdk as sdk, velto_sim as sim

cfg = json.loads(sys.argv[1])
ME = cfg["uid"]
HEAD = struct.Struct("<4sIIQ")  # tag, sender uid, sequence, monotonic ns
TAIL = struct.Struct("<4sI")    # tag, sequence: the last bytes, so a whole frame shows whole
TAG = b"VNB1"
stamping = counting = False
stamped = {"video": 0, "audio": 0}
received = {"video": {}, "audio": {}}  # sender uid -> sequences
delays = {"video": [], "audio": []}
damaged = {"video": 0, "audio": 0}
rendered = {}  # uid -> render frames while counting
edit = {"video": bytearray(), "audio": bytearray()}

def say(*words):
    os.write(1, (" ".join(str(w) for w in words) + "\n").encode())

def stamp(kind, plane):
    # An edit as a program makes one: the whole plane into a buffer of ours, changed, handed back.
    buf = edit[kind]
    if len(buf) != len(plane):
        buf = edit[kind] = bytearray(len(plane))
    if len(buf) < HEAD.size + TAIL.size:
        return None
    buf[:] = plane
    stamped[kind] += 1
    HEAD.pack_into(buf, 0, TAG, ME, stamped[kind], time.monotonic_ns())
    TAIL.pack_into(buf, len(buf) - TAIL.size, TAG, stamped[kind])
    return bytes(buf)

def read(kind, uid, data):
    arrived = time.monotonic_ns()
    if len(data) < HEAD.size + TAIL.size:
        return
    tag, sender, sequence, at = HEAD.unpack_from(data)
    if tag != TAG:
        return
    received[kind].setdefault(uid, []).append(sequence)
    delays[kind].append((arrived - at) / 1e6)
    if sender != uid or TAIL.unpack_from(data, len(data) - TAIL.size) != (TAG, sequence):
        damaged[kind] += 1

def video(t, uid, w, h, y, u, v):
    if t == 10 and stamping:
        return (stamp("video", y), None, None)
    if t == 11:
        if counting:
            rendered[uid] = rendered.get(uid, 0) + 1
        read("video", uid, y)
    return (None, None, None)

def audio(t, uid, n, ch, rate, data):
    if t == 0 and stamping:
        return (stamp("audio", data),)
    if t == 3:
        read("audio", uid, data)
    return (None,)

def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime

def counters():
    net = sim.network() or {}
    return {k: v for k, v in net.items() if isinstance(v, int) and k != "uid"}

def command():
    line = sys.stdin.readline()
    if not line:  # the bench is gone
        os._exit(2)
    return line.strip()

sdk.initialize(json.dumps({"sim": {"users": cfg["users"], "stats": {"intervalMs": 0},
    "video": {"width": cfg["width"], "height": cfg["height"], "fps": cfg["fps"]},
    "audio": {"channels": cfg["channels"]}}}))
sdk.registerVideoObserver(video)
sdk.registerAudioObserver(audio)
sdk.enableVideo(True)
sdk.enableAudio(cfg["audio"])
joined = sdk.joinChannel("", cfg["channel"], ME)
if joined != 0:
    say("FAILED", "joinChannel returned", joined)
    os._exit(3)
deadline = time.monotonic() + cfg["meet"]
while not set(cfg["expect"]) <= set((sim.network() or {}).get("members", [])):
    if time.monotonic() > deadline:
        say("FAILED", "did not meet", cfg["expect"], "saw", sim.network())
        os._exit(3)
    time.sleep(0.01)
say("MET")
command()
before, cpu0, t0 = counters(), cpu(), time.monotonic()
stamping, counting = cfg["stamp"], True
time.sleep(cfg["seconds"])
stamping = counting = False
cpu1, t1 = cpu(), time.monotonic()
say("STOPPED")
command()
after = counters()
say("REPORT", json.dumps({
    "uid": ME, "cpu": cpu1 - cpu0, "wall": t1 - t0, "stamped": stamped, "damaged": damaged,
    "received": {k: {str(u): s for u, s in d.items()} for k, d in received.items()},
    "delays": delays, "rendered": {str(u): n for u, n in rendered.items()},
    "network": {k: after[k] - before.get(k, 0) for k in after}}))
command()
sdk.leaveChannel()
sdk.terminate()
"""

# One end of the shared-memory ring: argv role ("in" or "out"), memfd, the pipe ends to read and
# write, frame bytes, slots, frames. Prints its CPU seconds over the frames.
RING = r"""
import ctypes, mmap, os, resource, sys
role = sys.argv[1]
fd, rd, wr, size, slots, frames = (int(a) for a in sys.argv[2:])
ring = mmap.mmap(fd, size * slots)
base = ctypes.addressof(ctypes.c_char.from_buffer(ring))
own = ctypes.create_string_buffer(size)
ctypes.memset(own, 0x5A, size)

def run(count):
    free = slots
    for i in range(count):
        slot = base + (i % slots) * size
        if role == "in":
            if free == 0:
                os.read(rd, 1)
            else:
                free -= 1
            ctypes.memmove(slot, own, size)
            os.write(wr, b"f")
        else:
            os.read(rd, 1)
            ctypes.memmove(own, slot, size)
            os.write(wr, b"s")
    if role == "in":  # take back every slot, so both ends start the next run level
        for _ in range(slots - free):
            os.read(rd, 1)

run(2 * slots)  # warm: pages mapped, both ends running
r0 = resource.getrusage(resource.RUSAGE_SELF)
run(frames)
r1 = resource.getrusage(resource.RUSAGE_SELF)
print(r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime, flush=True)
"""

FRAME_1080 = 1920 * 1080 * 3 // 2
TIMEOUT_GRACE = 60.0  # seconds past a step's expected length before a process is killed


class BenchError(RuntimeError):
    pass


class Member:
    """One call member in its own interpreter; lines from its stdout arrive through a thread, so
    every wait has a deadline."""

    def __init__(self, cfg, env):
        self.uid = cfg["uid"]
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([sys.executable, "-c", PEER, json.dumps(cfg)], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.errors, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def _stderr(self):
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace")[-2000:]

    def expect(self, word, deadline):
        """The rest of the member's next line that starts with `word`."""
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise BenchError("member %d: no %s in time" % (self.uid, word)) from None
            if line is None or line.startswith("FAILED"):
                raise BenchError("member %d ended before %s (status %s): %s\n%s" % (
                    self.uid, word, self.proc.poll(), line, self._stderr()))
            if line.split(" ", 1)[0] == word:
                return line[len(word):].strip()

    def tell(self, word):
        try:
            self.proc.stdin.write(word + "\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def finish(self, timeout):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.errors.close()


def run_call(cfgs, seconds, grace=1.0, settle=0.5):
    """Starts one member per config in a rendezvous folder of its own, waits until each sees
    the others, lets all stamp for `seconds`, waits `grace` after the last stopped, and returns
    their reports."""
    folder = tempfile.mkdtemp(prefix="vnb-")
    env = dict(os.environ, VELTO_SIM_LIVE="1", VELTO_SIM_NETWORK_DIR=folder)
    env.pop("VELTO_SIM_NETWORK", None)
    members = []
    try:
        for cfg in cfgs:
            members.append(Member(dict(cfg, seconds=seconds, meet=30.0), env))
        deadline = time.monotonic() + 30.0 + 5 * len(cfgs)
        for member in members:
            member.expect("MET", deadline)
        time.sleep(settle)
        for member in members:
            member.tell("GO")
        deadline = time.monotonic() + seconds + TIMEOUT_GRACE
        for member in members:
            member.expect("STOPPED", deadline)
        time.sleep(grace)
        for member in members:
            member.tell("REPORT")
        reports = [json.loads(member.expect("REPORT", deadline)) for member in members]
        for member in members:
            member.tell("LEAVE")
        return reports
    finally:
        for member in members:
            member.finish(15)
        shutil.rmtree(folder, ignore_errors=True)


def call_cfgs(peers, width, height, fps, channels, first_uid=101):
    uids = [first_uid + i for i in range(peers)]
    return [{"uid": uid, "channel": "bench", "users": [], "expect": [u for u in uids if u != uid],
             "width": width, "height": height, "fps": fps, "channels": channels, "audio": True,
             "stamp": True} for uid in uids]


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else float("nan")


def account(reports):
    """Loss per stream against what each sender stamped, over every sender-receiver pair."""
    out = {}
    for kind in ("video", "audio"):
        t = {"streams": 0, "stamped": 0, "received": 0, "lost": 0, "lostAtStart": 0,
             "lostBetween": 0, "lostAtEnd": 0, "streamsMissing": 0, "stray": 0,
             "damaged": sum(r["damaged"][kind] for r in reports), "perStream": []}
        for sender in reports:
            stamped = sender["stamped"][kind]
            for receiver in reports:
                if receiver is sender:
                    continue
                got = set(receiver["received"][kind].get(str(sender["uid"]), []))
                valid = {s for s in got if 1 <= s <= stamped}
                t["streams"] += 1
                t["stamped"] += stamped
                t["received"] += len(valid)
                t["stray"] += len(got) - len(valid)
                t["lost"] += stamped - len(valid)
                t["perStream"].append({"sender": sender["uid"], "receiver": receiver["uid"],
                                       "stamped": stamped, "received": len(valid)})
                if not valid:
                    t["streamsMissing"] += stamped > 0
                    t["lostBetween"] += stamped
                    continue
                first, last = min(valid), max(valid)
                t["lostAtStart"] += first - 1
                t["lostAtEnd"] += stamped - last
                t["lostBetween"] += last - first + 1 - len(valid)
        delays = [d for r in reports for d in r["delays"][kind]]
        t["median_ms"] = statistics.median(delays) if delays else float("nan")
        t["p99_ms"] = percentile(delays, 0.99)
        out[kind] = t
    out["cpu"] = [r["cpu"] / r["wall"] for r in reports]
    network = {}
    for r in reports:
        for key, value in r["network"].items():
            network[key] = network.get(key, 0) + value
    out["network"] = network
    return out


def memcpy_ns(size, copies):
    """Median of single copies of `size` bytes between two warm buffers."""
    src, dst = ctypes.create_string_buffer(size), ctypes.create_string_buffer(size)
    ctypes.memset(src, 0x55, size)
    for _ in range(5):
        ctypes.memmove(dst, src, size)
    times = []
    for _ in range(copies):
        start = time.perf_counter_ns()
        ctypes.memmove(dst, src, size)
        times.append(time.perf_counter_ns() - start)
    return statistics.median(times)


def shm_floor_ns(size, frames, slots=4):
    """CPU of both ends of the Python shared-memory ring per frame moved."""
    fd = os.memfd_create("vnb-ring")
    os.ftruncate(fd, size * slots)
    ready_r, ready_w = os.pipe()
    free_r, free_w = os.pipe()
    fds = (fd, ready_r, ready_w, free_r, free_w)
    ends = []
    try:
        for role, rd, wr in (("out", ready_r, free_w), ("in", free_r, ready_w)):
            ends.append(subprocess.Popen(
                [sys.executable, "-c", RING, role, str(fd), str(rd), str(wr), str(size),
                 str(slots), str(frames)], pass_fds=fds, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, text=True))
        for fdn in fds:
            os.close(fdn)
        fds = ()
        cpu = 0.0
        for end in ends:
            try:
                out, err = end.communicate(timeout=TIMEOUT_GRACE + frames * 0.05)
            except subprocess.TimeoutExpired:
                raise BenchError("the shared-memory ring did not finish in time") from None
            if end.returncode != 0:
                raise BenchError("shared-memory ring end failed: " + err)
            cpu += float(out)
        return cpu * 1e9 / frames
    finally:
        for fdn in fds:
            os.close(fdn)
        for end in ends:
            if end.poll() is None:
                end.kill()
                end.wait(timeout=10)


def transport_round(mode, seconds, fps):
    """Two processes at 1920x1080@fps, video only; `mode` "on" (one channel) or "off" (each
    alone with an echo user). CPU seconds of both per second, frames rendered per second."""
    cfgs = []
    for uid in (201, 202):
        cfg = {"uid": uid, "width": 1920, "height": 1080, "fps": fps, "channels": 1,
               "audio": False, "stamp": False}
        if mode == "on":
            cfg.update(channel="transport", users=[], expect=[403 - uid])
        else:
            cfg.update(channel="alone-%d" % uid, expect=[],
                       users=[{"uid": uid + 1000, "kind": "echo", "join": 0, "audio": False}])
        cfgs.append(cfg)
    reports = run_call(cfgs, seconds, grace=0.2, settle=1.0)
    wall = statistics.mean(r["wall"] for r in reports)
    return {"cpu_per_s": sum(r["cpu"] / r["wall"] for r in reports),
            "frames_per_s": sum(sum(r["rendered"].values()) for r in reports) / wall,
            "sendsDropped": sum(r["network"].get("sendsDropped", 0) for r in reports)}


def frame_1080(rounds, seconds, fps, copies, ring_frames):
    copy = memcpy_ns(FRAME_1080, copies)
    floor = shm_floor_ns(FRAME_1080, ring_frames)
    per_round = []
    for index in range(rounds):
        modes = ("on", "off") if index % 2 == 0 else ("off", "on")
        got = {mode: transport_round(mode, seconds, fps) for mode in modes}
        moved = got["on"]["frames_per_s"]
        raw = (got["on"]["cpu_per_s"] - got["off"]["cpu_per_s"]) * 1e9 / moved if moved else \
            float("nan")
        per_round.append({"raw_ns": raw, "transport_ns": raw + copy, "on": got["on"],
                          "off": got["off"]})
    middle = sorted(per_round, key=lambda r: r["transport_ns"])[len(per_round) // 2]
    out = {"memcpy_ns": copy, "shm_floor_ns": floor, "rounds": per_round, "median": middle,
           "transport_ns": middle["transport_ns"],
           "transport_over_memcpy": middle["transport_ns"] / copy,
           "transport_over_shm_floor": middle["transport_ns"] / floor}
    try:
        import velto_sim as sim
        folder = tempfile.mkdtemp(prefix="vnb-")
        try:
            out["in_process"] = sim.transport_bench(folder, 1920, 1080, max(20, ring_frames // 4))
        finally:
            shutil.rmtree(folder, ignore_errors=True)
    except (AttributeError, TypeError, RuntimeError) as error:
        out["in_process"] = {"error": str(error)}
    return out


def load():
    return [round(x, 2) for x in os.getloadavg()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0,
                        help="stamped seconds per call (default 20)")
    parser.add_argument("--quick", action="store_true", help="3 s per part, one 1080p round")
    parser.add_argument("--rounds", type=int, default=5,
                        help="1080p rounds of network on and off (default 5; 1 with --quick)")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON document on stdout (the text goes to stderr)")
    args = parser.parse_args()
    seconds = 3.0 if args.quick else args.seconds
    text = sys.stderr if args.json else sys.stdout

    def say(line=""):
        print(line, file=text, flush=True)

    result = {"python": sys.version.split()[0], "cpus": os.cpu_count(), "seconds": seconds,
              "load": load()}
    say("CPython %s, %d CPUs, load %s (1, 5, 15 min)"
        % (result["python"], result["cpus"] or 0, "/".join(map(str, result["load"]))))

    part_load = load()
    two = account(run_call(call_cfgs(2, 640, 480, 30, 2), seconds))
    result["call"] = dict(two, load=part_load)
    say("\n2 processes, 640x480@30 + 48 kHz stereo both ways, %.0f s stamped (load %s)"
        % (seconds, "/".join(map(str, part_load))))
    say("  %-6s %8s %9s %6s %7s %8s %7s %8s %8s %9s %8s" % (
        "stream", "stamped", "received", "lost", "start", "between", "end", "missing",
        "damaged", "median ms", "p99 ms"))
    for kind in ("video", "audio"):
        s = two[kind]
        say("  %-6s %8d %9d %6d %7d %8d %7d %8d %8d %9.2f %8.2f" % (
            kind, s["stamped"], s["received"], s["lost"], s["lostAtStart"], s["lostBetween"],
            s["lostAtEnd"], s["streamsMissing"], s["damaged"], s["median_ms"], s["p99_ms"]))
    say("  (lost = stamped - distinct received, per stream; start/end: before the first or after "
        "the last frame received; missing: whole streams)")
    say("  CPU per process: %s of one core (callbacks included)"
        % ", ".join("%.1f%%" % (100 * c) for c in two["cpu"]))
    say("  network counters over the call: %s" % counters_text(two["network"], note=True))
    say("  " + loss_text(two))

    rounds, frame_seconds = (1, 3.0) if args.quick else (max(1, args.rounds), 5.0)
    part_load = load()
    big = frame_1080(rounds, frame_seconds, 15, 50 if args.quick else 400,
                     60 if args.quick else 300)
    result["frame1080"] = dict(big, load=part_load)
    say("\nOne 1920x1080 I420 frame (3,110,400 bytes), load %s" % "/".join(map(str, part_load)))
    say("  memcpy (ctypes.memmove, warm, median):              %8.0f us" % (big["memcpy_ns"] / 1e3))
    say("  shared-memory floor (Python ring, CPU of both ends): %8.0f us" % (
        big["shm_floor_ns"] / 1e3))
    for index, r in enumerate(big["rounds"]):
        say("  round %d: on %.1f%% / off %.1f%% of a core for both, %.1f frames/s moved "
            "(off: %.1f echoed), sends dropped %d: on - off %.0f us/frame" % (
                index + 1, 100 * r["on"]["cpu_per_s"], 100 * r["off"]["cpu_per_s"],
                r["on"]["frames_per_s"], r["off"]["frames_per_s"], r["on"]["sendsDropped"],
                r["raw_ns"] / 1e3))
    spread = [r["transport_ns"] / 1e3 for r in big["rounds"]]
    say("  transport between two processes (median round, on - off + the echo's one copy): "
        "%.0f us CPU (rounds %.0f to %.0f)" % (big["transport_ns"] / 1e3, min(spread),
                                               max(spread)))
    say("  transport / memcpy %.2fx, transport / shared-memory floor %.2fx"
        % (big["transport_over_memcpy"], big["transport_over_shm_floor"]))
    inner = big["in_process"]
    if "cpu_ns" in inner:
        say("  for reference, in one process (send to complete frame): CPU %.0f us, %.1fx its "
            "own memcpy of %.0f us" % (inner["cpu_ns"] / 1e3, inner["cpu_ns"] / inner["memcpy_ns"],
                                       inner["memcpy_ns"] / 1e3))

    small = {}
    for peers in (2, 8):
        part_load = load()
        small[peers] = dict(account(run_call(call_cfgs(peers, 320, 240, 15, 1), seconds)),
                            load=part_load, peers=peers)
    per_stream = {p: statistics.mean(s["cpu"]) / (p - 1) for p, s in small.items()}
    result["scaling"] = {"2": small[2], "8": small[8], "cpu_per_stream": per_stream,
                         "per_stream_ratio": per_stream[8] / per_stream[2]}
    say("\n320x240@15 + 48 kHz mono, every process sending and receiving, %.0f s stamped" % seconds)
    say("  %-5s %7s %7s %12s %11s %11s %11s %10s  %s" % (
        "peers", "streams", "CPU/proc", "CPU/stream", "video lost", "audio lost", "video p99",
        "load", "network counters"))
    for peers, s in small.items():
        say("  %-5d %7d %6.1f%% %11.2f%% %5d/%-5d %5d/%-5d %8.1f ms %10s  %s" % (
            peers, peers * (peers - 1), 100 * statistics.mean(s["cpu"]), 100 * per_stream[peers],
            s["video"]["lost"], s["video"]["stamped"], s["audio"]["lost"], s["audio"]["stamped"],
            s["video"]["p99_ms"], "/".join(map(str, s["load"])), counters_text(s["network"])))
    for peers, s in small.items():
        say("  %d peers: %s" % (peers, loss_text(s)))
    say("  CPU per process grows %.2fx from 2 to 8 peers for 7x the streams received; CPU per "
        "stream received at 8 / at 2: %.2f (at most 1: linear or better)"
        % (statistics.mean(small[8]["cpu"]) / statistics.mean(small[2]["cpu"]),
           result["scaling"]["per_stream_ratio"]))
    if args.json:
        print(json.dumps(result, indent=1, sort_keys=True))


# Counters of frames the network dropped on purpose: a full send queue, a receiver's slot or
# audio queue taking a newer frame, a frame whose pieces did not all arrive.
DROP_COUNTERS = ("sendsDropped", "videoReplaced", "audioDropped", "abandoned")


def loss_text(call):
    """Where the stamped frames that did not arrive were lost, and how many of them no drop
    counter covers."""
    parts = []
    for kind in ("video", "audio"):
        s = call[kind]
        parts.append("%s lost %d (start %d, between %d, end %d, whole streams %d; damaged %d)"
                     % (kind, s["lost"], s["lostAtStart"], s["lostBetween"], s["lostAtEnd"],
                        s["streamsMissing"], s["damaged"]))
    dropped = sum(call["network"].get(k, 0) for k in DROP_COUNTERS)
    lost = call["video"]["lost"] + call["audio"]["lost"]
    uncovered = max(0, lost - dropped)
    return "%s; lost frames no drop counter covers: %d" % (", ".join(parts), uncovered)


def counters_text(network, note=False):
    """The network's counters, the ones that say where frames went first."""
    order = ["sendsDropped", "videoReplaced", "audioDropped", "abandoned", "refused"]
    keys = [k for k in order if k in network] + sorted(
        k for k in network if k not in order and network[k] and not k.endswith("In")
        and not k.endswith("Out"))
    text = ", ".join("%s %d" % (k, network[k]) for k in keys) or "none reported"
    if note and "videoReplaced" not in network:
        text += " (no count of frames replaced in a receiver's slot from this engine)"
    return text


if __name__ == "__main__":
    try:
        main()
    except BenchError as error:
        raise SystemExit("call_network: %s" % error)
