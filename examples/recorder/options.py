"""Command line of the call recorder and the checks made before the engine starts.

Every refusal is one line on standard error and exit status 2 (`Refused`), never a traceback."""

import argparse
import json
import math
import os
import time
from typing import Any, Dict, List, Optional, Tuple

from . import console, formats

DEFAULT_SECONDS = 8.0
# What the engine's camera takes as it is; it changes anything else to the nearest it can use.
MAX_UID = 2 ** 32 - 1
MAX_WIDTH, MAX_HEIGHT, MAX_FPS = 3840, 2160, 60
MAX_BITRATE = 1000000  # kbit/s
# Room kept for summary.json from the start, so that a disk that fills still gets the summary
# saying which files are incomplete. A summary of a few users takes a few KiB.
SUMMARY_RESERVE = 16 * 1024
SUMMARY = "summary.json"


class Refused(Exception):
    """Bad input or an unusable output folder: the message is the whole explanation."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block before its message; a refusal here is one line.
    def error(self, message: str) -> "Any":
        raise Refused(message)


def _number(text: str, lowest: float, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%s: not a number: %r" % (what, text))
    if not math.isfinite(value) or value < lowest:
        raise argparse.ArgumentTypeError("%s must be a finite number of at least %g, got %s"
                                         % (what, lowest, text))
    return value


def _seconds(text: str) -> float:
    return _number(text, 0.0, "--seconds")


def _volume(text: str) -> float:
    return _number(text, 0.0, "--volume")


def _whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)


def _positive_int(text: str) -> int:
    value = _whole(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be greater than 0, got %d" % value)
    return value


def _ranged(lowest: int, highest: int, even: bool = False) -> Any:
    """A whole number from `lowest` to `highest` (even, for picture sizes: I420 chroma covers
    two by two pixels). The engine would quietly change anything else into the nearest value
    it can use, so a recording would not be what was asked for."""
    def check(text: str) -> int:
        value = _whole(text)
        if not lowest <= value <= highest or (even and value % 2):
            raise argparse.ArgumentTypeError("must be %s from %d to %d, got %s"
                                             % ("an even number" if even else "a whole number",
                                                lowest, highest, text))
        return value
    return check


def _channel(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def _size(text: str) -> Tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("expected WIDTHxHEIGHT, got %r" % text)
    if not (16 <= width <= 7680 and 16 <= height <= 4320) or width % 2 or height % 2:
        raise argparse.ArgumentTypeError("expected even sizes from 16x16 to 7680x4320, got %r"
                                         % text)
    return width, height


def _json_object(text: str) -> Dict[str, Any]:
    try:
        value = json.loads(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError("not JSON: %s" % error)
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError("expected a JSON object")
    return value


def parse(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = _Parser(
        prog="call_recorder",
        description="Join a channel and record each remote user (audio and video in one file, "
                    "a PNG snapshot), a composite of the whole call and a JSON summary, in a "
                    "new folder for each run.")
    parser.add_argument("--seconds", type=_seconds, default=DEFAULT_SECONDS,
                        help="length of the call; 0 records until Ctrl-C (default %g)"
                             % DEFAULT_SECONDS)
    parser.add_argument("--out", default="recordings",
                        help="folder that receives one new folder per run (default "
                             "./recordings)")
    parser.add_argument("--format", choices=formats.NAMES, default=None,
                        help="mp4 (H.264 + AAC), webm (VP9 + Opus) or raw (WAV + Y4M); "
                             "default mp4, or raw when PyAV is not installed")
    parser.add_argument("--channel", type=_channel, default="recorder",
                        help="channel name (default recorder)")
    parser.add_argument("--uid", type=_ranged(0, MAX_UID), default=0,
                        help="local user id, 0 to %d (0: any)" % MAX_UID)
    parser.add_argument("--no-composite", dest="composite", action="store_false",
                        help="no composite recording of the call")
    parser.add_argument("--composite-size", type=_size, default=(1280, 720), metavar="WxH",
                        help="picture size of the composite (default 1280x720)")
    parser.add_argument("--composite-fps", type=_positive_int, default=15,
                        help="frame rate of the composite (default 15)")
    parser.add_argument("--stats", action="store_true",
                        help="print the engine's statistics lines as they come")
    parser.add_argument("--grayscale", action="store_true",
                        help="send the camera picture without colour")
    parser.add_argument("--volume", type=_volume, default=1.0, metavar="FACTOR",
                        help="play and record remote audio FACTOR times as loud (0 mutes)")
    parser.add_argument("--width", type=_ranged(16, MAX_WIDTH, even=True),
                        default=320, help="camera width, even, 16 to %d" % MAX_WIDTH)
    parser.add_argument("--height", type=_ranged(16, MAX_HEIGHT, even=True),
                        default=240, help="camera height, even, 16 to %d" % MAX_HEIGHT)
    parser.add_argument("--fps", type=_ranged(1, MAX_FPS), default=15,
                        help="camera frame rate, 1 to %d" % MAX_FPS)
    parser.add_argument("--bitrate", type=_ranged(0, MAX_BITRATE), default=0,
                        help="camera bitrate, kbit/s (0: the raw rate of the format)")
    parser.add_argument("--app-id", default="call-recorder", help="application id")
    parser.add_argument("--engine-config", type=_json_object, default={}, metavar="JSON",
                        help="more members for the engine's initialisation text, for "
                             "instance '{\"sim\": {\"stats\": {\"intervalMs\": 1000}}}'")
    return parser.parse_args(argv)


def choose_format(requested: Optional[str]) -> Tuple[str, Optional[str]]:
    """The format to write and a note for the user, or Refused when it cannot be written."""
    missing = formats.missing_libraries()
    if requested is None:
        if missing:
            return "raw", ("note: %s not installed, so the files are raw WAV/Y4M; for MP4 or "
                           "WebM run: python -m pip install \".[recorder]\"" % missing)
        return "mp4", None
    if requested != "raw" and missing:
        raise Refused("--format %s needs %s: python -m pip install \".[recorder]\""
                      % (requested, missing))
    return requested, None


class RunFolder:
    """The new folder of one run, inside `out`, with summary.json's room already taken."""

    def __init__(self, path: str, out: str, made_out: bool) -> None:
        self.path, self.out, self.made_out = path, out, made_out

    def remove(self) -> None:
        """Removes the folder of a run that recorded nothing (and `out`, when this run made it
        and it is empty)."""
        try:
            os.remove(os.path.join(self.path, SUMMARY + ".part"))
        except OSError:
            pass
        for folder in [self.path] + ([self.out] if self.made_out else []):
            try:
                os.rmdir(folder)  # only ever an empty folder
            except OSError:
                return


def make_run_folder(out: str) -> RunFolder:
    """Creates a new folder for this run inside `out` and proves it can be written, before the
    engine starts: summary.json's room is written there as summary.json.part."""
    out = os.path.abspath(out)
    if os.path.exists(out) and not os.path.isdir(out):
        raise Refused("output folder %s is a file" % out)
    made_out = not os.path.exists(out)
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as error:
        raise Refused("cannot create output folder %s: %s" % (out, error.strerror or error))
    stamp = time.strftime("%Y%m%d-%H%M%S")
    for attempt in range(1, 1000):
        folder = os.path.join(out, stamp if attempt == 1 else "%s-%d" % (stamp, attempt))
        try:
            os.mkdir(folder)  # fails when an earlier run has it: never mix two runs
        except FileExistsError:
            continue
        except OSError as error:
            raise Refused("cannot write in output folder %s: %s"
                          % (out, error.strerror or error))
        run = RunFolder(folder, out, made_out)
        try:
            with open(os.path.join(folder, SUMMARY + ".part"), "wb") as f:
                f.write(bytes(SUMMARY_RESERVE))
        except OSError as error:
            run.remove()
            raise Refused("cannot write in output folder %s: %s"
                          % (folder, error.strerror or error))
        return run
    raise Refused("output folder %s holds too many runs of this second" % out)


def refuse(message: str) -> int:
    console.note(message)
    return 2
