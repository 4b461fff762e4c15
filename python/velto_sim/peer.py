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
        # No statistics: nothing to print, and the journal the peer reads stays short.
        sim["stats"] = {"intervalMs": 0}
    return json.dumps({"sim": sim})


class Watcher:
    """What the frame callbacks saw, handed from the engine's threads to the printing thread.
    The callbacks only update a dict under a lock: they run on the engine's media threads."""

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

    def audio(self, stream_type: int, uid: int, samples: int, channels: int, rate: int,
              data: bytes) -> Tuple[None]:
        if stream_type == 3:  # one remote user's audio
            self._saw("audio", uid & 0xFFFFFFFF, (rate, channels),
                      "%d Hz, %d channel%s" % (rate, channels, "s"[:channels - 1]))
        return (None,)

    def video(self, stream_type: int, uid: int, width: int, height: int, y: bytes, u: bytes,
              v: bytes) -> Tuple[None, None, None]:
        if stream_type == 11:  # one remote user's video
            self._saw("video", uid & 0xFFFFFFFF, (width, height), "%dx%d" % (width, height))
        return (None, None, None)

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


def run(args: argparse.Namespace, signals: Signals) -> int:
    import _pyveltosdk as sdk
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
        return 128 + signals.first

    velto_sim.set_live(True)
    sdk.initialize(init_text(args))
    sdk.enableVideo(True)
    watcher = Watcher()
    sdk.registerAudioObserver(watcher.audio)
    sdk.registerVideoObserver(watcher.video)
    seen = len(velto_sim.journal())
    result = sdk.joinChannel("", args.channel, args.uid)
    if result != 0:
        say("joining %s failed (%d)" % (args.channel, result))
        sdk.terminate()
        return 1

    stop = threading.Event()
    players = [play(path, stop, args.loop, **options) for path, options in pushes]

    started = time.monotonic()
    while signals.first is None and (args.seconds == 0
                                     or time.monotonic() - started < args.seconds):
        time.sleep(0.05)
        entries = velto_sim.journal()
        for entry in entries[seen:]:
            if entry["call"] != "live":
                continue
            event, uid, arg = entry["args"]["event"], entry["args"]["uid"], entry["args"]["arg"]
            if event == "onJoinChannelSuccess":
                say("joined %s as uid %d" % (args.channel, uid))
            elif event == "onRemoteUserJoined":
                say("uid %d joined" % uid)
            elif event == "onRemoteUserOffline":
                say("uid %d left (%s)" % (uid, REASONS.get(arg, arg)))
        seen = len(entries)
        for change in watcher.take_changes():
            say(change)

    stop.set()
    sdk.leaveChannel()
    for change in watcher.take_changes():
        say(change)
    with watcher.lock:
        counts = sorted(watcher.counts.items(), key=lambda item: (item[0][1], item[0][0]))
    say("left %s after %.1f s" % (args.channel, time.monotonic() - started))
    for (kind, uid), count in counts:
        say("uid %d: %d %s frames" % (uid, count, kind))
    for player in players:
        player.join(timeout=2)
    sdk.terminate()
    return 0 if signals.first is None else 128 + signals.first


def main(argv: Optional[List[str]] = None) -> int:
    signals = Signals()  # first: a Ctrl-C at any moment ends with 130, never a traceback
    try:
        args = parse_args(argv)
    except Refused as refusal:
        return refuse(str(refusal), 2)
    return run(args, signals)
