"""A participant of a simulated call, for people and scripts:

    python -m velto_sim peer --channel NAME [--uid N] [--audio FILE] [--video FILE] [--seconds S]

It initialises the simulated engine, joins the channel as one participant (sending the test
pattern and tone, or the files given) and prints, one line each, what it sees: who joins and
leaves, the first frame and every change of format of each sender's video and audio, and at the
end how many frames came from whom. WAV (--audio) and Y4M (--video) files play through the
engine's own file sources; any other format is decoded with PyAV (the optional extra "media").

Exit status: 0 after --seconds, 130 / 143 when SIGINT (Ctrl-C) / SIGTERM ended it (it leaves
the call first), 2 for bad arguments or a file that cannot play (one line, before joining), 1
when PyAV is needed and missing or the join failed.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from pyveltosdk import (AudioFrame, Channel, Engine, EngineError, Event, StreamKind, UserJoined,
                        UserLeft, VideoFrame)

REASONS = {0: "quit", 1: "dropped", 2: "became an audience member"}
KINDS = ("audio", "video")


class Refused(Exception):
    """Bad arguments or a file that cannot play: the message is the whole explanation."""


class _Parser(argparse.ArgumentParser):
    # argparse prints its usage block before the message; a refusal here is one line.
    def error(self, message: str) -> Any:
        raise Refused(message)


class Signals:
    """SIGINT and SIGTERM end the peer: it leaves the call, then exits with 128 + the number."""

    def __init__(self) -> None:
        self.first: Optional[int] = None
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, self._handle)

    def _handle(self, number: int, _frame: Any) -> None:
        if self.first is None:
            self.first = number

    def status(self) -> int:
        """0 while no signal came, else 128 + the first one's number."""
        return 0 if self.first is None else 128 + self.first


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = _Parser(
        prog="python -m velto_sim peer",
        description="Join a simulated call as one participant and print what it sees.")
    parser.add_argument("--channel", required=True, help="the channel to join")
    parser.add_argument("--uid", type=int, default=0,
                        help="the uid to join with (default 0: the engine assigns one)")
    parser.add_argument("--audio", metavar="FILE",
                        help="play this file as the microphone (WAV directly, other formats "
                             "through PyAV)")
    parser.add_argument("--video", metavar="FILE",
                        help="play this file as the camera (Y4M directly, other formats "
                             "through PyAV)")
    parser.add_argument("--loop", action="store_true", help="play the files in a loop")
    parser.add_argument("--seconds", type=float, default=0,
                        help="leave after this long (default 0: stay until Ctrl-C)")
    parser.add_argument("--scripted-users", action="store_true",
                        help="keep the simulated engine's scripted users (a pattern user and "
                             "an echo user) in the call")
    parser.add_argument("--stats", action="store_true",
                        help="also print the engine's statistics lines")
    args = parser.parse_args(argv)
    if not 0 <= args.uid < 2 ** 32:
        parser.error("--uid must be from 0 to 4294967295")
    if args.seconds < 0:
        parser.error("--seconds must not be negative")
    for option in KINDS:
        path = getattr(args, option)
        if path is not None and not os.path.exists(path):
            parser.error("--%s %s: no such file" % (option, path))
    return args


def check_files(args: argparse.Namespace) -> None:
    """Refused for a file that cannot play as what it is given for; ImportError (saying what to
    install) when one needs PyAV and it is missing."""
    from velto_sim import media

    for kind in KINDS:
        path = getattr(args, kind)
        reason = None if path is None else media.check_file(path, kind)
        if reason is not None:
            raise Refused("--%s %s: %s" % (kind, path, reason))


def _native(path: str, kind: str) -> bool:
    from velto_sim import media

    return os.path.splitext(path)[1].lower() == media.NATIVE[kind]


def init_text(args: argparse.Namespace) -> str:
    """The engine's initialisation text: the files it plays itself, and no scripted users
    unless asked."""
    sim: Dict[str, Any] = {}
    if args.audio and _native(args.audio, "audio"):
        sim["audio"] = {"file": os.path.abspath(args.audio), "loop": args.loop}
    if args.video and _native(args.video, "video"):
        sim["video"] = {"file": os.path.abspath(args.video), "loop": args.loop}
    if not args.scripted_users:
        sim["users"] = []
    if not args.stats:
        # No statistics unless asked: the peer prints none of them.
        sim["stats"] = {"intervalMs": 0}
    return json.dumps({"sim": sim})


class Watcher:
    """What the frame processors saw, handed from the engine's threads to the printing thread.
    The processors only update a dict under a lock: they run on the engine's media threads."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.formats: Dict[Tuple[str, int], Tuple[int, ...]] = {}
        self.counts: Dict[Tuple[str, int], int] = {}
        self.changes: List[str] = []

    def _saw(self, kind: str, uid: int, fmt: Tuple[int, ...], describe: str) -> None:
        key = (kind, uid)
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + 1
            if self.formats.get(key) != fmt:
                self.formats[key] = fmt
                self.changes.append("uid %d %s %s" % (uid, kind, describe))

    def audio(self, frame: AudioFrame) -> None:
        channels = frame.channels
        self._saw("audio", frame.uid, (frame.sample_rate, channels),
                  "%d Hz, %d channel%s" % (frame.sample_rate, channels, "s"[:channels - 1]))

    def video(self, frame: VideoFrame) -> None:
        self._saw("video", frame.uid, (frame.width, frame.height),
                  "%dx%d" % (frame.width, frame.height))

    def take_changes(self) -> List[str]:
        with self.lock:
            changes, self.changes = self.changes, []
        return changes


def say(line: str) -> None:
    print("peer: " + line, flush=True)


def refuse(message: str, status: int) -> int:
    print("peer: " + message, file=sys.stderr, flush=True)
    return status


def play(path: str, stop: threading.Event, loop: bool, **options: Any) -> threading.Thread:
    """Plays the file on a thread; a file that fails to decode midway ends its playing with one
    line on standard error, never a traceback."""
    from velto_sim import media

    def playing() -> None:
        try:
            media.play_file(path, stop=stop, loop=loop, timeout=None, **options)
        except Exception as error:  # PyAV's errors are many; each one ends only this file
            print("peer: %s: stopped playing: %s" % (path, error), file=sys.stderr, flush=True)

    thread = threading.Thread(target=playing, name="velto-play", daemon=True)
    thread.start()
    return thread


def joined_uid(args: argparse.Namespace) -> int:
    """The uid the peer joined with: its own, or for 0 the one the simulated engine assigned
    (the engine's call starts inside joinChannel, so it is in the journal by now)."""
    import velto_sim

    if args.uid != 0:
        return int(args.uid)
    started = velto_sim.calls("liveStart")
    return int(started[-1]["uid"]) if started else 0


def describe(event: Event) -> Optional[str]:
    if isinstance(event, UserJoined):
        return "uid %d joined" % event.uid
    if isinstance(event, UserLeft):
        return "uid %d left (%s)" % (event.uid, REASONS.get(event.reason, event.reason))
    return None


def run(args: argparse.Namespace, signals: Signals) -> int:
    import velto_sim

    pushes: List[Tuple[str, Dict[str, Any]]] = []
    decode_audio = bool(args.audio) and not _native(args.audio, "audio")
    decode_video = bool(args.video) and not _native(args.video, "video")
    if decode_audio and decode_video and args.audio == args.video:
        pushes.append((args.audio, {}))  # one file for both: decoded once
    else:
        if decode_audio:
            pushes.append((args.audio, {"video": False}))
        if decode_video:
            pushes.append((args.video, {"audio": False}))
    try:
        check_files(args)
    except Refused as refusal:
        return refuse(str(refusal), 2)
    except ImportError as error:
        return refuse(str(error), 1)
    if signals.first is not None:
        return signals.status()

    velto_sim.set_live(True)
    watcher = Watcher()
    with Engine(init_text(args)) as engine:
        engine.enable_video()
        try:
            channel = engine.join(args.channel, args.uid)
        except EngineError as error:
            say("joining %s failed (%s)" % (args.channel, error.code))
            return 1
        with channel:
            channel.audio_processor(kinds=[StreamKind.PLAYBACK_USER])(watcher.audio)
            channel.video_processor(kinds=[StreamKind.RENDER])(watcher.video)
            say("joined %s as uid %d" % (args.channel, joined_uid(args)))
            stop = threading.Event()
            players = [play(path, stop, args.loop, **options) for path, options in pushes]
            started = time.monotonic()
            watch(channel, args.seconds, signals, watcher)
            stop.set()
        for change in watcher.take_changes():
            say(change)
        with watcher.lock:
            counts = sorted(watcher.counts.items(), key=lambda item: (item[0][1], item[0][0]))
        say("left %s after %.1f s" % (args.channel, time.monotonic() - started))
        for (kind, uid), count in counts:
            say("uid %d: %d %s frames" % (uid, count, kind))
        for player in players:
            player.join(timeout=2)
    return signals.status()


def watch(channel: Channel, seconds: float, signals: Signals, watcher: Watcher) -> None:
    """Prints joins, leaves and format changes until `seconds` pass (0: until a signal)."""
    events = channel.events(types=(UserJoined, UserLeft))
    # Users who joined before the stream opened: the channel has them since the join.
    announced = set(channel.users)
    for uid in sorted(announced):
        say("uid %d joined" % uid)
    deadline = None if seconds == 0 else time.monotonic() + seconds
    while signals.first is None:
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            break
        try:
            # Short waits: a signal, a format change or the deadline is seen within them.
            event: Optional[Event] = events.get(timeout=min(0.05, left) if left else 0.05)
        except TimeoutError:
            event = None
        except StopIteration:
            break
        if isinstance(event, UserJoined) and event.uid in announced:
            announced.discard(event.uid)  # already said, from the users present
            event = None
        elif isinstance(event, UserLeft):
            announced.discard(event.uid)
        line = None if event is None else describe(event)
        if line is not None:
            say(line)
        for change in watcher.take_changes():
            say(change)
    events.close()


def main(argv: Optional[List[str]] = None) -> int:
    signals = Signals()  # first: a Ctrl-C at any moment ends with 130, never a traceback
    try:
        args = parse_args(argv)
    except Refused as refusal:
        return refuse(str(refusal), 2)
    return run(args, signals)
