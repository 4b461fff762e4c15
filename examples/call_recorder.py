"""Record a call: each remote user's audio to a WAV file, video to a Y4M file and a PNG snapshot.

    python examples/call_recorder.py                        # an 8 s call, files in ./recordings
    python examples/call_recorder.py --seconds 20 --out /tmp/call --grayscale --volume 0.5

The program joins a channel, records every remote user it hears or sees, prints the engine's
statistics as they come and ends with a summary: frames per stream kind, the mean time the
callbacks took per frame, and the files written. Ctrl-C ends the call early; the files are
finished all the same.

Effects, applied in the frame callbacks:
  --grayscale    the camera picture is sent without colour (U and V set to 128)
  --volume F     each remote user's audio is played and recorded F times as loud

On Linux the package drives its simulated engine: remote users join shortly after the call
starts (one shows a test pattern, one sends back what this program sends, so --grayscale shows
in its recording) and one leaves again after a few seconds. --engine-config passes settings to
the engine, for instance '{"sim": {"stats": {"intervalMs": 1000}}}'.

The frame callbacks run on the engine's threads and only copy what they need to a queue; the
main thread writes the files. Standard library only.
"""

import argparse
import array
import collections
import json
import os
import struct
import sys
import threading
import time
import wave
import zlib
from typing import Any, Counter, Deque

try:
    import _pyveltosdk as sdk
except ImportError as error:  # pragma: no cover - depends on the installation
    sys.exit("call_recorder: the engine module is not installed (%s); "
             "run: python -m pip install ." % error)

STREAM_NAMES = {
    sdk.StreamAudioRecord: "record",
    sdk.StreamAudioPlay: "playback",
    sdk.StreamAudioMix: "mix",
    sdk.StreamAudioPlayBeforeMix: "user audio",
    sdk.StreamVideoCap: "capture",
    sdk.StreamVideoRender: "user video",
}

# A Y4M header names its frame rate; it is measured over the first frames, up to this long (long
# enough that a late frame or two hardly moves it).
RATE_WINDOW_SECONDS = 2.0
DRAIN_INTERVAL_SECONDS = 0.2


# --- effects ---------------------------------------------------------------------------------

class VolumeChange:
    """Makes 16-bit PCM `factor` times as loud, clipped to the 16-bit range.

    The samples are read as unsigned 16-bit values and looked up in a table of all 65536
    results, which costs far less per frame than arithmetic and clipping per sample. Machine
    byte order, as the engine hands PCM over."""

    def __init__(self, factor):
        self.factor = factor
        self._table = [min(32767, max(-32768, int((v - 65536 if v >= 32768 else v) * factor)))
                       for v in range(65536)]

    def __call__(self, data):
        table = self._table
        return array.array("h", [table[v] for v in array.array("H", data)]).tobytes()


class NeutralChroma:
    """U and V planes of 128 (no colour), made once per size."""

    def __init__(self):
        self._planes = {}

    def plane(self, size):
        plane = self._planes.get(size)
        if plane is None:
            plane = self._planes[size] = b"\x80" * size
        return plane


# --- file writers ----------------------------------------------------------------------------

def little_endian_pcm(data):
    if sys.byteorder == "little":
        return data
    samples = array.array("h", data)
    samples.byteswap()
    return samples.tobytes()


class WavTrack:
    """One user's audio; the format of its first frame is the file's."""

    def __init__(self, path, rate, channels):
        self.path, self.rate, self.channels = path, rate, channels
        self.frames = 0
        self.samples = 0
        self.skipped = 0  # frames in another format
        self._file = wave.open(path, "wb")
        self._file.setnchannels(channels)
        self._file.setsampwidth(2)
        self._file.setframerate(rate)

    def add(self, rate, channels, data):
        if (rate, channels) != (self.rate, self.channels):
            self.skipped += 1
            return
        self._file.writeframes(little_endian_pcm(data))
        self.frames += 1
        self.samples += len(data) // (2 * channels)

    def close(self):
        self._file.close()

    def describe(self):
        return {"path": self.path, "kind": "wav", "sampleRate": self.rate,
                "channels": self.channels, "frames": self.frames,
                "seconds": round(self.samples / self.rate, 3), "skipped": self.skipped}


class Y4mTrack:
    """One user's video as YUV4MPEG2 (4:2:0). The header names the frame rate, so the first
    frames wait until their rate is known."""

    def __init__(self, path, width, height):
        self.path, self.width, self.height = path, width, height
        self.chroma = ((width + 1) // 2) * ((height + 1) // 2)
        self.fps = None
        self.frames = 0
        self.skipped = 0  # frames of another size
        self._waiting = []  # (arrival time, planes) until the header is written
        self._file = open(path, "wb")

    def add(self, arrived, width, height, y, u, v):
        if (width, height) != (self.width, self.height):
            self.skipped += 1
            return
        planes = (y, self._chroma(u), self._chroma(v))
        if self.fps is None:
            self._waiting.append((arrived, planes))
            if arrived - self._waiting[0][0] >= RATE_WINDOW_SECONDS:
                self._write_header()
            return
        self._write(planes)

    def _chroma(self, plane):
        # An engine may hand odd sizes shorter chroma planes; the file needs whole ones.
        if len(plane) >= self.chroma:
            return plane[:self.chroma]
        return plane + b"\x80" * (self.chroma - len(plane))

    def _write_header(self, fallback_fps=15):
        times = [arrived for arrived, _ in self._waiting]
        span = times[-1] - times[0] if times else 0
        self.fps = max(1, round((len(times) - 1) / span)) if span > 0 else fallback_fps
        self._file.write(b"YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n"
                         % (self.width, self.height, self.fps))
        for _, planes in self._waiting:
            self._write(planes)
        self._waiting = []

    def _write(self, planes):
        self._file.write(b"FRAME\n")
        for plane in planes:
            self._file.write(plane)
        self.frames += 1

    def close(self):
        if self.fps is None:
            self._write_header()
        self._file.close()

    def describe(self):
        return {"path": self.path, "kind": "y4m", "width": self.width, "height": self.height,
                "fps": self.fps, "frames": self.frames, "skipped": self.skipped}


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def i420_to_rgb_rows(width, height, y, u, v):
    """PNG scanlines (filter byte 0, then RGB) from I420 planes, full-range BT.601 as the
    C420jpeg frames are."""
    chroma_width = (width + 1) // 2
    # Tables keep the per-pixel work to lookups: value + 512 indexes the clipped byte.
    clip = bytes(min(255, max(0, i - 512)) for i in range(1536))
    red_v = [round(1.402 * (c - 128)) + 512 for c in range(256)]
    green_u = [round(-0.344136 * (c - 128)) for c in range(256)]
    green_v = [round(-0.714136 * (c - 128)) + 512 for c in range(256)]
    blue_u = [round(1.772 * (c - 128)) + 512 for c in range(256)]
    raw = bytearray()
    for row in range(height):
        line = bytearray(1 + 3 * width)
        luma = y[row * width:(row + 1) * width]
        base = (row // 2) * chroma_width
        for x, value in enumerate(luma):
            c = base + (x >> 1)
            cu, cv = u[c], v[c]
            at = 1 + 3 * x
            line[at] = clip[value + red_v[cv]]
            line[at + 1] = clip[value + green_u[cu] + green_v[cv]]
            line[at + 2] = clip[value + blue_u[cu]]
        raw += line
    return bytes(raw)


def write_png(path, width, height, y, u, v):
    raw = i420_to_rgb_rows(width, height, y, u, v)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(png_chunk(b"IHDR", header))
        out.write(png_chunk(b"IDAT", zlib.compress(raw, 6)))
        out.write(png_chunk(b"IEND", b""))
    return {"path": path, "kind": "png", "width": width, "height": height}


# --- the recorder ----------------------------------------------------------------------------

class Recorder:
    """The frame callbacks and what they hand to the main thread."""

    def __init__(self, out, grayscale=False, volume=1.0):
        self.out = out
        self.grayscale = grayscale
        self._volume = VolumeChange(volume) if volume != 1.0 else None
        self._neutral = NeutralChroma()
        # Engine threads append, the main thread takes: deque appends and pops are atomic.
        self._audio: Deque[Any] = collections.deque()
        self._video: Deque[Any] = collections.deque()
        self._lock = threading.Lock()  # guards the counts below
        self._running = 0  # callbacks under way
        self._counts: Counter[Any] = collections.Counter()
        self._nanos: Counter[Any] = collections.Counter()
        self.wav = {}
        self.y4m = {}
        self.last_frame = {}
        self.started = time.monotonic()

    def _begin(self):
        with self._lock:
            self._running += 1
        return time.perf_counter_ns()

    def _done(self, kind, began):
        elapsed = time.perf_counter_ns() - began
        with self._lock:
            self._running -= 1
            self._counts[kind] += 1
            self._nanos[kind] += elapsed

    def settle(self, timeout=1.0):
        """Main thread, once the engine is terminated: lets the callbacks still under way end,
        so that every frame counted is also written."""
        time.sleep(0.02)  # a callback admitted just before terminate may not have begun yet
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if self._running == 0:
                    return
            time.sleep(0.001)

    # Engine threads. Cheap: a reference into a queue, and the effects.
    def on_audio(self, kind, uid, samples, channels, rate, data):
        began = self._begin()
        answer = None
        if kind == sdk.StreamAudioPlayBeforeMix:
            if self._volume is not None:
                answer = data = self._volume(data)
            self._audio.append((uid & 0xFFFFFFFF, rate, channels, data))
        self._done(kind, began)
        return (answer,)

    def on_video(self, kind, uid, width, height, y, u, v):
        began = self._begin()
        answer = (None, None, None)
        if kind == sdk.StreamVideoCap and self.grayscale:
            answer = (None, self._neutral.plane(len(u)), self._neutral.plane(len(v)))
        elif kind == sdk.StreamVideoRender:
            self._video.append((time.monotonic(), uid & 0xFFFFFFFF, width, height, y, u, v))
        self._done(kind, began)
        return answer

    # Main thread.
    def drain(self):
        while self._audio:
            uid, rate, channels, data = self._audio.popleft()
            track = self.wav.get(uid)
            if track is None:
                path = os.path.join(self.out, "user-%d.wav" % uid)
                track = self.wav[uid] = WavTrack(path, rate, channels)
            track.add(rate, channels, data)
        while self._video:
            arrived, uid, width, height, y, u, v = self._video.popleft()
            track = self.y4m.get(uid)
            if track is None:
                path = os.path.join(self.out, "user-%d.y4m" % uid)
                track = self.y4m[uid] = Y4mTrack(path, width, height)
            track.add(arrived, width, height, y, u, v)
            self.last_frame[uid] = (width, height, y, u, v)

    def finish(self):
        """Closes every file, writes the snapshots; returns what was written."""
        self.drain()
        files = []
        for uid in sorted(set(self.wav) | set(self.y4m)):
            if uid in self.wav:
                self.wav[uid].close()
                files.append(dict(self.wav[uid].describe(), uid=uid))
            if uid in self.y4m:
                self.y4m[uid].close()
                files.append(dict(self.y4m[uid].describe(), uid=uid))
                width, height, y, u, v = self.last_frame[uid]
                path = os.path.join(self.out, "user-%d.png" % uid)
                files.append(dict(write_png(path, width, height, y, u, v), uid=uid))
        return files

    def streams(self, seconds):
        with self._lock:
            counts, nanos = dict(self._counts), dict(self._nanos)
        return {STREAM_NAMES.get(kind, str(kind)): {
                    "type": kind, "frames": count,
                    "perSecond": round(count / seconds, 1) if seconds > 0 else 0.0,
                    "callbackMicros": round(nanos[kind] / count / 1000.0, 1)}
                for kind, count in sorted(counts.items())}


# --- the program -----------------------------------------------------------------------------

def json_object(text):
    try:
        value = json.loads(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError("not JSON: %s" % error)
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError("expected a JSON object")
    return value


def positive(kind):
    def parse(text):
        value = kind(text)
        if value <= 0:
            raise argparse.ArgumentTypeError("must be greater than 0")
        return value
    return parse


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Join a channel and record each remote user's audio (WAV) and video "
                    "(Y4M, PNG snapshot).")
    parser.add_argument("--seconds", type=positive(float), default=8.0,
                        help="length of the call (default 8)")
    parser.add_argument("--out", default="recordings",
                        help="folder for the files (default ./recordings)")
    parser.add_argument("--grayscale", action="store_true",
                        help="send the camera picture without colour")
    parser.add_argument("--volume", type=positive(float), default=1.0, metavar="FACTOR",
                        help="play and record remote audio FACTOR times as loud")
    parser.add_argument("--channel", default="recorder", help="channel name")
    parser.add_argument("--uid", type=int, default=0, help="local user id (0: any)")
    parser.add_argument("--width", type=positive(int), default=320, help="camera width")
    parser.add_argument("--height", type=positive(int), default=240, help="camera height")
    parser.add_argument("--fps", type=positive(int), default=15, help="camera frame rate")
    parser.add_argument("--bitrate", type=int, default=0, help="video bitrate, kbit/s")
    parser.add_argument("--app-id", default="call-recorder", help="application id")
    parser.add_argument("--engine-config", type=json_object, default={}, metavar="JSON",
                        help="more members for the engine's initialisation text")
    parser.add_argument("--no-stats", action="store_true",
                        help="do not print the engine's statistics")
    return parser.parse_args(argv)


def say(text=""):
    # Flushed at once: the engine prints its statistics lines on the same output.
    print(text, flush=True)


def run_call(args, recorder):
    """Joins, records until the time is up (or Ctrl-C), leaves. Returns the seconds in the call."""
    sdk.setChannelProfile(1)  # live broadcast
    sdk.setClientRole(1)      # as a broadcaster: this program sends too
    sdk.enableAudio(True)
    sdk.enableVideo(True)
    sdk.setVideoProfile(args.width, args.height, args.fps, args.bitrate)
    sdk.registerAudioObserver(recorder.on_audio)
    sdk.registerVideoObserver(recorder.on_video)
    for view in range(1, 6):  # the first for the local user, then one per remote user
        sdk.addView(view)
    if args.no_stats:
        sdk.logOff()
    result = sdk.joinChannel("", args.channel, args.uid)
    if result != 0:
        raise RuntimeError("joinChannel failed with %d" % result)
    joined = time.monotonic()
    say("joined channel %r for %.1f s; recording to %s"
        % (args.channel, args.seconds, os.path.abspath(args.out)))
    try:
        deadline = joined + args.seconds
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            time.sleep(min(DRAIN_INTERVAL_SECONDS, remaining))
            recorder.drain()
    except KeyboardInterrupt:
        say("interrupted: finishing the files")
    finally:
        sdk.leaveChannel()
    return time.monotonic() - joined


def print_summary(summary):
    say()
    say("call of %.1f s" % summary["seconds"])
    say("  %-16s %8s %8s %13s" % ("stream", "frames", "per s", "callback us"))
    for name, stream in summary["streams"].items():
        say("  %-16s %8d %8.1f %13.1f" % ("%s (%d)" % (name, stream["type"]), stream["frames"],
                                         stream["perSecond"], stream["callbackMicros"]))
    say("files written to %s:" % summary["out"])
    for entry in summary["files"]:
        name = os.path.basename(entry["path"])
        if entry["kind"] == "wav":
            detail = "%d Hz, %d channel(s), %.2f s" % (entry["sampleRate"], entry["channels"],
                                                       entry["seconds"])
        elif entry["kind"] == "y4m":
            detail = "%dx%d at %s fps, %d frames" % (entry["width"], entry["height"],
                                                     entry["fps"], entry["frames"])
        else:
            detail = "%dx%d snapshot" % (entry["width"], entry["height"])
        say("  %-18s %s" % (name, detail))
    if not summary["files"]:
        say("  (none: no remote user sent anything)")
    say("  %-18s this summary" % "summary.json")


def main(argv=None):
    args = parse_args(argv)
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    recorder = Recorder(out, grayscale=args.grayscale, volume=args.volume)
    init = {"appId": args.app_id}
    init.update(args.engine_config)
    sdk.initialize(json.dumps(init))
    say("engine %s" % sdk.getVersion().decode("utf-8", "replace"))
    try:
        seconds = run_call(args, recorder)
    except RuntimeError as error:
        say("call_recorder: %s" % error)
        return 1
    finally:
        sdk.terminate()  # no callback starts after this
        recorder.settle()
    summary = {"seconds": round(seconds, 3), "out": out, "streams": recorder.streams(seconds),
               "files": recorder.finish()}
    with open(os.path.join(out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=2)
    print_summary(summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
