"""The recorder's run: checks, the call, progress, signals, finishing the files, the summary.

Exit status: 0 when the call ran its time, 130 / 143 when SIGINT / SIGTERM ended it (the files
and the summary are finished all the same), 2 for bad input or a file that could not be written,
1 when the engine refused the call."""

import datetime
import json
import os
import signal
import sys
import threading
import time
from typing import Any, Dict, List, Optional

import _pyveltosdk as sdk

from . import formats, options
from .capture import Capture
from .progress import Progress
from .recording import Recording, Worker, wait_all
from .snapshot import write_png

LOOP_SECONDS = 0.1


class Signals:
    """SIGINT and SIGTERM end the call: the first finishes everything, a second drops what is
    still queued and closes the files at once (they stay playable)."""

    def __init__(self) -> None:
        self.first: Optional[int] = None
        self.stop = threading.Event()
        self.hurry = threading.Event()

    def install(self) -> None:
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, self._handle)

    def _handle(self, number: int, _frame: Any) -> None:
        if self.first is None:
            self.first = number
            self.stop.set()
            return
        if not self.hurry.is_set():
            self.hurry.set()
            # os.write: the main thread may be inside a print when the handler runs.
            os.write(2, b"call_recorder: second signal: dropping queued frames, "
                        b"closing the files now\n")

    def status(self) -> Optional[int]:
        return None if self.first is None else 128 + self.first


def say(text: str = "") -> None:
    # Flushed at once: the engine prints its statistics lines on the same output.
    print(text, flush=True)


def write_atomically(path: str, data: bytes) -> None:
    """A file that is either whole or absent, whatever stops the program."""
    partial = path + ".part"
    with open(partial, "wb") as f:
        f.write(data)
    os.replace(partial, path)


class Call:
    def __init__(self, args: Any, fmt: str, folder: str, signals: Signals) -> None:
        self.args, self.fmt, self.folder, self.signals = args, fmt, folder, signals
        self.joined = 0.0
        self.composite: Optional[Worker] = None
        self.errors: List[str] = []
        self.started = datetime.datetime.now().astimezone().isoformat(timespec="seconds")

    def _user_worker(self, uid: int) -> Worker:
        recording = Recording("user-%d" % uid, self.fmt,
                              os.path.join(self.folder, "user-%d" % uid))
        return Worker(recording, self.signals.hurry)

    def _make_composite(self, joined: float) -> Optional[Worker]:
        if not self.args.composite:
            return None
        if not formats.importable("numpy"):
            sys.stderr.write("call_recorder: note: no composite recording without numpy; "
                             "python -m pip install \".[recorder]\"\n")
            return None
        from .composite import CompositeWorker
        width, height = self.args.composite_size
        fps = self.args.composite_fps
        recording = Recording("composite", self.fmt, os.path.join(self.folder, "composite"),
                              origin=joined, video=formats.VideoFormat(width, height, fps),
                              wait=0.5, keep_last_picture=False)
        return CompositeWorker(recording, self.signals.hurry, fps, self.capture.present,
                               self.capture.latest)

    def run(self) -> int:
        args = self.args
        init: Dict[str, Any] = {"appId": args.app_id}
        init.update(args.engine_config)
        sdk.initialize(json.dumps(init))
        say("engine %s" % sdk.getVersion().decode("utf-8", "replace"))
        self.capture = Capture(self._user_worker, None, grayscale=args.grayscale,
                               volume=args.volume)
        sdk.setChannelProfile(1)  # live broadcast
        sdk.setClientRole(1)      # as a broadcaster: this program sends too
        sdk.enableAudio(True)
        sdk.enableVideo(True)
        sdk.setVideoProfile(args.width, args.height, args.fps, args.bitrate)
        sdk.registerAudioObserver(self.capture.on_audio)
        sdk.registerVideoObserver(self.capture.on_video)
        for view in range(1, 6):  # the first for the local user, then one per remote user
            sdk.addView(view)
        if not args.stats:
            sdk.logOff()
        result = sdk.joinChannel("", args.channel, args.uid)
        if result != 0:
            sdk.terminate()
            sys.stderr.write("call_recorder: joinChannel failed with %d\n" % result)
            return 1
        self.joined = time.monotonic()
        self.composite = self._make_composite(self.joined)
        if self.composite is not None:
            self.composite.start()
            self.capture.composite = self.composite
        length = "until Ctrl-C" if args.seconds == 0 else "for %g s" % args.seconds
        say("joined channel %r %s; recording %s to %s" % (args.channel, length, self.fmt,
                                                          self.folder))
        self._record()
        # No frame is taken from here on; the engine stops, then the workers finish.
        self.capture.accepting = False
        sdk.leaveChannel()
        ended = time.monotonic()
        self.seconds = ended - self.joined
        if self.composite is not None:
            self.composite.end = ended
        sdk.terminate()
        time.sleep(0.02)  # a callback admitted just before terminate may still be running
        if self.signals.first is not None:
            say("%s: finishing the files" % signal.Signals(self.signals.first).name)
        workers = self._workers()
        for worker in workers:
            worker.stop()
        wait_all(workers)
        self._collect_errors()
        summary = self._summary()
        try:
            write_atomically(os.path.join(self.folder, "summary.json"),
                             json.dumps(summary, indent=2).encode())
        except OSError as error:
            self.errors.append("writing failed: summary.json: %s" % (error.strerror or error))
        print_summary(summary)
        status = self.signals.status()
        if status is not None:
            return status
        return 2 if self.errors else 0

    def _workers(self) -> List[Worker]:
        workers = list(self.capture.workers.values())
        if self.composite is not None:
            workers.append(self.composite)
        return workers

    def _record(self) -> None:
        args = self.args
        refreshing = sys.stdout.isatty() and not args.stats
        progress = Progress(sys.stdout, refreshing, args.seconds)
        deadline = None if args.seconds == 0 else self.joined + args.seconds
        try:
            while not self.signals.stop.is_set():
                now = time.monotonic()
                if deadline is not None and now >= deadline:
                    break
                for worker in self._workers():
                    if not worker.is_alive() and worker.ident is None:
                        worker.start()
                failed = self._first_failure()
                if failed is not None:
                    sys.stderr.write("call_recorder: %s; ending the call, finishing the other "
                                     "files\n" % failed)
                    break
                users = []
                for uid, worker in sorted(self.capture.workers.items()):
                    frames = worker.recording.frames
                    users.append((uid, frames["video"], frames["audio"],
                                  sum(worker.drops().values())))
                progress.update(now - self.joined, len(self.capture.present(now)), users)
                wait = LOOP_SECONDS if deadline is None else min(LOOP_SECONDS, deadline - now)
                self.signals.stop.wait(max(0.0, wait))
        finally:
            progress.end()
        for worker in self._workers():
            if worker.ident is None:
                worker.start()

    def _first_failure(self) -> Optional[str]:
        for worker in self._workers():
            if worker.recording.error is not None:
                return "writing failed: %s" % worker.recording.error
        return None

    def _collect_errors(self) -> None:
        for worker in self._workers():
            if worker.recording.error is not None:
                self.errors.append("writing failed: %s" % worker.recording.error)
            if worker.crashed is not None:
                self.errors.append("%s stopped: %s" % (worker.name,
                                                       worker.crashed.strip().splitlines()[-1]))

    def _snapshot(self, uid: int, recording: Recording) -> Optional[str]:
        if recording.last_picture is None:
            return None
        width, height, planes = recording.last_picture
        name = "user-%d.png" % uid
        path = os.path.join(self.folder, name)
        try:
            write_png(path + ".part", width, height, *planes)
            os.replace(path + ".part", path)
        except OSError as error:
            self.errors.append("writing failed: %s: %s" % (path, error.strerror or error))
            try:
                os.remove(path + ".part")  # never a cut picture
            except OSError:
                pass
            return None
        return name

    def _summary(self) -> Dict[str, Any]:
        users = []
        for uid, worker in sorted(self.capture.workers.items()):
            recording = worker.recording
            entry = dict(recording.describe(), uid=uid)
            drops = worker.drops()
            for kind in ("video", "audio"):
                if entry[kind] is not None:
                    entry[kind]["dropped"] = drops[kind]
            entry["dropped"] = drops
            if recording.first is not None and recording.last is not None:
                entry["firstSeconds"] = round(recording.first - self.joined, 3)
                entry["lastSeconds"] = round(recording.last - self.joined, 3)
            entry["snapshot"] = self._snapshot(uid, recording)
            users.append(entry)
        composite = None
        if self.composite is not None:
            from .composite import CompositeWorker
            assert isinstance(self.composite, CompositeWorker)
            composite = self.composite.recording.describe()
            drops = self.composite.drops()
            if composite["video"] is not None:
                composite["video"]["late"] = self.composite.late
            if composite["audio"] is not None:
                composite["audio"]["dropped"] = drops["audio"]
            composite["layouts"] = self.composite.layouts
        if self.signals.first is not None:
            ended = signal.Signals(self.signals.first).name
        elif self.errors:
            ended = "write failed"
        else:
            ended = "time up"
        return {"channel": self.args.channel, "format": self.fmt, "folder": self.folder,
                "started": self.started, "seconds": round(self.seconds, 3), "ended": ended,
                "errors": self.errors, "users": users, "composite": composite,
                "callbacks": self.capture.timings()}


def describe_media(entry: Dict[str, Any]) -> str:
    parts = []
    video, audio = entry.get("video"), entry.get("audio")
    if video is not None:
        parts.append("%dx%d %d fps, %.2f s, %d frames, %s dropped"
                     % (video["width"], video["height"], video["fps"], video["seconds"],
                        video["received"], video.get("dropped", 0)))
    if audio is not None:
        parts.append("%d Hz %d ch, %.2f s, %s dropped"
                     % (audio["sampleRate"], audio["channels"], audio["seconds"],
                        audio.get("dropped", 0)))
    return "; ".join(parts) or "nothing received"


def print_summary(summary: Dict[str, Any]) -> None:
    say("call of %.1f s (%s), files in %s:" % (summary["seconds"], summary["ended"],
                                               summary["folder"]))
    for user in summary["users"]:
        files = user["files"] + ([user["snapshot"]] if user["snapshot"] else [])
        say("  user %d: %s" % (user["uid"], ", ".join(files) or "no file"))
        say("    %s" % describe_media(user))
    composite = summary["composite"]
    if composite is not None:
        say("  composite: %s" % (", ".join(composite["files"]) or "no file"))
        say("    %s; %d layout(s)" % (describe_media(composite), len(composite["layouts"])))
    if not summary["users"]:
        say("  (no remote user sent anything)")
    say("  summary.json")
    say("callback time per frame (CPU; wall, waits for the CPU included):")
    for name, timing in summary["callbacks"].items():
        say("  %-12s %8d frames %8.2f us CPU %9.2f us wall %10.1f us longest"
            % (name, timing["frames"], timing["microsPerFrame"], timing["wallMicrosPerFrame"],
               timing["maxWallMicros"]))
    for error in summary["errors"]:
        sys.stderr.write("call_recorder: %s\n" % error)


def main(argv: Optional[List[str]] = None) -> int:
    signals = Signals()
    signals.install()
    try:
        args = options.parse(argv)
        fmt, note = options.choose_format(args.format)
        folder = options.make_run_folder(args.out)
    except options.Refused as refusal:
        return options.refuse(str(refusal))
    if note is not None:
        sys.stderr.write("call_recorder: %s\n" % note)
    return Call(args, fmt, folder, signals).run()
