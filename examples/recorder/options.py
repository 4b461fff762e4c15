"""Command line of the call recorder and the checks made before the engine starts.

Every refusal is one line on standard error and exit status 2 (`Refused`), never a traceback."""

import argparse
import json
import math
import os
import sys
import time
from typing import Any, Dict, List, Optional, Tuple

from . import formats

DEFAULT_SECONDS = 8.0


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


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be greater than 0, got %d" % value)
    return value


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
    parser.add_argument("--channel", default="recorder", help="channel name (default recorder)")
    parser.add_argument("--uid", type=int, default=0, help="local user id (0: any)")
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
    parser.add_argument("--width", type=_positive_int, default=320, help="camera width")
    parser.add_argument("--height", type=_positive_int, default=240, help="camera height")
    parser.add_argument("--fps", type=_positive_int, default=15, help="camera frame rate")
    parser.add_argument("--bitrate", type=int, default=0, help="camera bitrate, kbit/s")
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


def make_run_folder(out: str) -> str:
    """Creates a new folder for this run inside `out` and proves it can be written, before the
    engine starts. Returns its path."""
    out = os.path.abspath(out)
    if os.path.exists(out) and not os.path.isdir(out):
        raise Refused("output folder %s is a file" % out)
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
        probe = os.path.join(folder, ".probe")
        try:
            with open(probe, "wb") as f:
                f.write(b"x")
            os.remove(probe)
        except OSError as error:
            raise Refused("cannot write in output folder %s: %s"
                          % (folder, error.strerror or error))
        return folder
    raise Refused("output folder %s holds too many runs of this second" % out)


def refuse(message: str) -> int:
    sys.stderr.write("call_recorder: %s\n" % message)
    sys.stderr.flush()
    return 2
