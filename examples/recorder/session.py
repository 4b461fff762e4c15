"""The recorder's run: checks, the call, progress, signals, finishing the files, the summary.

Exit status: 0 when the call ran its time, 130 / 143 when SIGINT / SIGTERM ended it (the files
and the summary are finished all the same), 2 for bad input, a uid another process holds in the
channel or a file that could not be written, 1 when the engine refused the call otherwise."""

import datetime
import json
import os
import time
from typing import Any, Dict, List, Optional

from pyveltosdk import Channel, ChannelProfile, ClientRole, Engine, EngineError

from . import check, console, formats, options
from .capture import Capture
from .console import note, out, say
from .progress import Progress
from .recording import Recording, Worker, wait_all
from .signals import Signals
from .snapshot import write_png

LOOP_SECONDS = 0.1
JOIN_REFUSED = -17  # the uid is held by another process in the channel
# Audio a file read back may lack against what was encoded before it counts as cut short: the
# coders' priming and padding.
AUDIO_SLACK_SECONDS = 0.1


def write_into_reserve(path: str, data: bytes) -> None:
    """Writes `path` whole or not at all, into the room taken for it when the run began
    (path + ".part"), so that it can be written on a full disk."""
    partial = path + ".part"
    try:
        with open(partial, "r+b" if os.path.exists(partial) else "wb") as f:
            f.write(data)
            f.truncate()
        os.replace(partial, path)
    except OSError:
        try:
            os.remove(partial)  # never a cut summary, nor a .part left behind
        except OSError:
            pass
        raise


class Call:
    def __init__(self, args: Any, fmt: str, run_folder: options.RunFolder,
                 signals: Signals) -> None:
        self.args, self.fmt, self.signals = args, fmt, signals
        self.run_folder, self.folder = run_folder, run_folder.path
        self.joined = 0.0
        self.composite: Optional[Worker] = None
        self.errors: List[str] = []
        self.said: List[str] = []  # errors already shown while the call ran
        self.removed: List[str] = []  # files that held nothing readable
        self.started = datetime.datetime.now().astimezone().isoformat(timespec="seconds")
        self.channel: Channel
        self.users_at_end: Optional[List[int]] = None

    def _user_worker(self, uid: int) -> Worker:
        recording = Recording("user-%d" % uid, self.fmt,
                              os.path.join(self.folder, "user-%d" % uid))
        return Worker(recording, self.signals.hurry)

    def _make_composite(self, joined: float) -> Optional[Worker]:
        if not self.args.composite:
            return None
        if not formats.importable("numpy"):
            note("note: no composite recording without numpy; "
                 "python -m pip install \".[recorder]\"")
            return None
        from .composite import CompositeWorker
        width, height = self.args.composite_size
        fps = self.args.composite_fps
        recording = Recording("composite", self.fmt, os.path.join(self.folder, "composite"),
                              origin=joined, video=formats.VideoFormat(width, height, fps),
                              wait=0.5, keep_last_picture=False)
        return CompositeWorker(recording, self.signals.hurry, fps, self._present,
                               self.capture.latest)

    def _present(self, at: float) -> List[int]:
        """The remote users in the call now, by uid, from its join and leave events; once the
        call ended, those in it at its end."""
        if self.users_at_end is not None:
            return self.users_at_end
        return sorted(self.channel.users)

    def _start(self, engine: Engine) -> Optional[int]:
        """Sets the engine up and joins; None when joined, else the exit status."""
        args = self.args
        say("engine %s" % engine.version)
        engine.set_channel_profile(ChannelProfile.LIVE_BROADCASTING)
        engine.set_client_role(ClientRole.BROADCASTER)  # this program sends too
        engine.enable_audio()
        engine.enable_video()
        engine.set_video_profile(args.width, args.height, args.fps, args.bitrate)
        for view in range(1, 6):  # the first for the local user, then one per remote user
            engine.add_view(view)
        if not args.stats:
            engine.log_off()
        try:
            self.channel = engine.join(args.channel, args.uid)
        except EngineError as error:
            self.run_folder.remove()  # nothing was recorded
            if error.code == JOIN_REFUSED:
                note("uid %d is already in channel %r (another process); choose another "
                     "--uid, or 0 for any" % (args.uid, args.channel))
                return 2
            note("joinChannel failed with %s" % error.code)
            return 1
        # Every kind of frame goes through the processors, so that each kind is timed.
        self.channel.audio_processor(self.capture.on_audio)
        self.channel.video_processor(self.capture.on_video)
        return None

    def run(self) -> int:
        args = self.args
        init: Dict[str, Any] = {"appId": args.app_id}
        init.update(args.engine_config)
        self.capture = Capture(self._user_worker, None, grayscale=args.grayscale,
                               volume=args.volume)
        engine = Engine(init).open()
        try:
            refused = self._start(engine)
        except EngineError as error:
            refused = 1
            self.run_folder.remove()
            note(str(error))
        except BaseException:
            engine.close()
            raise
        if refused is not None:
            engine.close()
            return refused
        self.joined = time.monotonic()
        self.composite = self._make_composite(self.joined)
        if self.composite is not None:
            self.composite.start()
            self.capture.composite = self.composite
        length = "until Ctrl-C" if args.seconds == 0 else "for %g s" % args.seconds
        say("joined channel %r %s; recording %s to %s" % (args.channel, length, self.fmt,
                                                          self.folder))
        try:
            self._record()
        finally:
            # No frame is taken from here on; the engine stops, then the workers finish.
            self.capture.accepting = False
            self.users_at_end = sorted(self.channel.users)
            try:
                self.channel.leave()
            finally:
                ended = time.monotonic()
                engine.close()
        self.seconds = ended - self.joined
        if self.composite is not None:
            self.composite.end = ended
        time.sleep(0.02)  # a processor admitted just before the engine closed may still run
        if self.signals.first is not None:
            say("%s: finishing the files" % self.signals.name())
        workers = self._workers()
        for worker in workers:
            worker.stop()
        wait_all(workers)
        self._collect_errors()
        summary = self._summary()
        written = True
        try:
            write_into_reserve(os.path.join(self.folder, options.SUMMARY),
                               json.dumps(summary, indent=2).encode())
        except OSError as error:
            written = False
            failure = "writing failed: %s: %s" % (options.SUMMARY, error.strerror or error)
            self._error(failure)  # after the summary was made: said here, and the status is 2
            self.said.append(failure)
            note(failure)
        print_summary(summary, written, self.said)
        status = self.signals.status()
        if status is not None:
            return status
        return 2 if self.errors else 0

    def _workers(self) -> List[Worker]:
        workers = list(self.capture.workers.values())
        if self.composite is not None:
            workers.append(self.composite)
        return workers

    def _error(self, text: str) -> None:
        if text not in self.errors:
            self.errors.append(text)

    def _record(self) -> None:
        args = self.args
        refreshing = out.isatty() and not args.stats
        progress = Progress(out, refreshing, args.seconds)
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
                    note("%s; ending the call, finishing the other files" % failed)
                    self.said.append(failed)
                    break
                users = []
                for uid, worker in sorted(self.capture.workers.items()):
                    frames = worker.recording.frames
                    users.append((uid, frames["video"], frames["audio"],
                                  sum(worker.drops().values())))
                progress.update(now - self.joined, len(self.channel.users), users)
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
                self._error("writing failed: %s" % worker.recording.error)
            if worker.crashed is not None:
                self._error("%s stopped: %s" % (worker.name,
                                                worker.crashed.strip().splitlines()[-1]))

    def _write_failed(self) -> bool:
        return any(worker.recording.error is not None for worker in self._workers())

    def _read_back(self, recording: Recording, entry: Dict[str, Any]) -> None:
        """After a write failed: the entry's files as a player finds them. Only what is there
        and readable is listed, with what it holds; a file cut short is named in "incomplete";
        one that holds nothing readable is removed."""
        video, audio = entry["video"], entry["audio"]
        listed, incomplete = [], []
        for path in formats.file_paths(recording.fmt, recording.base):
            if not os.path.exists(path):
                continue
            name = os.path.basename(path)
            found = check.read_back(path, video["fps"] if video else 1)
            if found is None:
                try:
                    os.remove(path)
                    self.removed.append(name)
                except OSError as error:
                    self._error("%s holds nothing readable and cannot be removed: %s"
                                % (name, error.strerror or error))
                continue
            listed.append(name)
            short = found.cut or recording.error is not None
            if video is not None and found.video_frames is not None:
                short = short or found.video_frames < video["written"]
            if audio is not None and found.audio_seconds is not None:
                short = short or found.audio_seconds < audio["seconds"] - AUDIO_SLACK_SECONDS
            if not short:
                continue
            incomplete.append(name)
            if video is not None and found.video_frames is not None:
                video["written"] = found.video_frames
                video["seconds"] = round(found.video_seconds or 0.0, 3)
            if audio is not None and found.audio_seconds is not None:
                audio["seconds"] = round(found.audio_seconds, 3)
        entry["files"], entry["incomplete"] = listed, incomplete

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
            self._error("writing failed: %s: %s" % (path, error.strerror or error))
            try:
                os.remove(path + ".part")  # never a cut picture
            except OSError:
                pass
            return None
        return name

    def _summary(self) -> Dict[str, Any]:
        failed = self._write_failed()
        users = []
        for uid, worker in sorted(self.capture.workers.items()):
            recording = worker.recording
            entry = dict(recording.describe(), uid=uid)
            if failed:
                self._read_back(recording, entry)
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
            if failed:
                self._read_back(self.composite.recording, composite)
            drops = self.composite.drops()
            if composite["video"] is not None:
                composite["video"]["late"] = self.composite.late
            if composite["audio"] is not None:
                composite["audio"]["dropped"] = drops["audio"]
            composite["layouts"] = self.composite.layouts
        ended = self.signals.name()
        if ended is None:
            ended = "write failed" if self.errors else "time up"
        incomplete = [name for entry in users + ([composite] if composite else [])
                      for name in entry["incomplete"]]
        return {"channel": self.args.channel, "format": self.fmt, "folder": self.folder,
                "started": self.started, "seconds": round(self.seconds, 3), "ended": ended,
                "errors": self.errors, "incomplete": incomplete, "removed": self.removed,
                "users": users, "composite": composite, "callbacks": self.capture.timings()}


def describe_media(entry: Dict[str, Any]) -> str:
    parts = []
    video, audio = entry.get("video"), entry.get("audio")
    if video is not None:
        frames = "%d frames" % video["received"]
        if entry["incomplete"]:
            frames += " (%d readable)" % video["written"]
        parts.append("%dx%d %d fps, %.2f s, %s, %s dropped"
                     % (video["width"], video["height"], video["fps"], video["seconds"],
                        frames, video.get("dropped", 0)))
    if audio is not None:
        parts.append("%d Hz %d ch, %.2f s, %s dropped"
                     % (audio["sampleRate"], audio["channels"], audio["seconds"],
                        audio.get("dropped", 0)))
    return "; ".join(parts) or "nothing received"


def file_list(entry: Dict[str, Any], *more: Optional[str]) -> str:
    names = ["%s (incomplete)" % name if name in entry["incomplete"] else name
             for name in entry["files"]] + [name for name in more if name]
    return ", ".join(names) or "no file"


def print_summary(summary: Dict[str, Any], written: bool, said: List[str]) -> None:
    """The files and figures on standard output; the errors not yet shown on standard error."""
    say("call of %.1f s (%s), files in %s:" % (summary["seconds"], summary["ended"],
                                               summary["folder"]))
    for user in summary["users"]:
        say("  user %d: %s" % (user["uid"], file_list(user, user["snapshot"])))
        say("    %s" % describe_media(user))
    composite = summary["composite"]
    if composite is not None:
        say("  composite: %s" % file_list(composite))
        say("    %s; %d layout(s)" % (describe_media(composite), len(composite["layouts"])))
    if not summary["users"]:
        say("  (no remote user sent anything)")
    if written:
        say("  " + options.SUMMARY)
    say("callback time per frame (CPU; wall, waits for the CPU included):")
    for name, timing in summary["callbacks"].items():
        say("  %-12s %8d frames %8.2f us CPU %9.2f us wall %10.1f us longest"
            % (name, timing["frames"], timing["microsPerFrame"], timing["wallMicrosPerFrame"],
               timing["maxWallMicros"]))
    for error in summary["errors"]:
        if error not in said:
            note(error)
    if summary["incomplete"]:
        note("cut short by the failed write, readable up to the cut: %s"
             % ", ".join(summary["incomplete"]))
    if summary["removed"]:
        note("removed, nothing in them was readable: %s" % ", ".join(summary["removed"]))


def main(argv: Optional[List[str]] = None, signals: Optional[Signals] = None) -> int:
    if signals is None:
        signals = Signals().install()
    console.hold_closed_descriptors()
    try:
        args = options.parse(argv)
        fmt, remark = options.choose_format(args.format)
        if signals.first is not None:  # before anything was made
            return signals.status() or 0
        run_folder = options.make_run_folder(args.out)
    except options.Refused as refusal:
        return options.refuse(str(refusal))
    if remark is not None:
        note(remark)
    return Call(args, fmt, run_folder, signals).run()
