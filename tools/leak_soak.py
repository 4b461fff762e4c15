"""Sends a million audio and a million video frames through the module for each kind of answer
and prints what stayed behind: the callable's reference count, the interpreter's allocated
blocks, resident memory and, on a debug interpreter, the total reference count.

    python tools/leak_soak.py                      # 1,000,000 frames of each kind per answer
    python tools/leak_soak.py --frames 200000 --answers copy raises

Audio frames (10 ms, 48 kHz stereo 16-bit) are spread over the four audio stream types and
video frames (320x240 I420) over the two video ones, from a native loop on threads of its own.
Needs a C++ compiler; the interpreter must import _pyveltosdk and velto_sim. Exits 1 if any
figure grew past its slack.
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _pyveltosdk as sdk  # noqa: E402
import frame_leaks  # noqa: E402

BLOCK_SLACK = 300
RSS_SLACK = 8 << 20


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1000000, help="frames of each kind")
    parser.add_argument("--answers", nargs="+", choices=sorted(frame_leaks.ANSWERS),
                        default=sorted(frame_leaks.ANSWERS))
    args = parser.parse_args()

    print("CPython %s%s, %d audio and %d video frames per answer" % (
        sys.version.split()[0], " (debug)" if hasattr(sys, "gettotalrefcount") else "",
        args.frames, args.frames))
    sdk.initialize("{}")
    absorber = frame_leaks.Absorber()
    absorber.register(lambda *a: None)
    failed = False
    with tempfile.TemporaryDirectory() as directory:
        frames = frame_leaks.Frames(frame_leaks.build_driver(directory), 320, 240)
        for answer in args.answers:
            started = time.monotonic()
            before, after, calls, printed = frame_leaks.run(frames, answer, args.frames,
                                                            args.frames, absorber)
            grew = [after["refs"] != before["refs"],
                    after["class refs"] != before["class refs"],
                    after["blocks"] - before["blocks"] >= BLOCK_SLACK,
                    calls != 2 * args.frames]
            if not frame_leaks.SANITIZED:
                grew.append(after["rss"] - before["rss"] >= RSS_SLACK)
            line = ("%-8s %8d calls in %5.1f s: callable refs %d -> %d, blocks %d -> %d, "
                    "RSS %.1f -> %.1f MiB" % (
                        answer, calls, time.monotonic() - started, before["refs"],
                        after["refs"], before["blocks"], after["blocks"],
                        before["rss"] / 2**20, after["rss"] / 2**20))
            if "total refs" in before:
                grew.append(after["total refs"] - before["total refs"] >= BLOCK_SLACK)
                line += ", total refs %d -> %d" % (before["total refs"], after["total refs"])
            if printed:
                line += ", %d errors printed" % printed
            print(line + ("  GREW" if any(grew) else ""), flush=True)
            failed = failed or any(grew)
    absorber.stop()
    sdk.terminate()
    print("nothing grew" if not failed else "SOMETHING GREW")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
