"""Record a call: each remote user in one file (video and audio in sync), a composite of the
whole call, a PNG snapshot per user and a JSON summary, in a new folder for each run.

    python -m pip install ".[recorder]"            # PyAV and numpy, for MP4 and WebM
    python examples/call_recorder.py               # an 8 s call into ./recordings/<date-time>/
    python examples/call_recorder.py --seconds 0 --format webm --channel demo   # until Ctrl-C

Files: user-<uid>.mp4 (H.264 + AAC; --format webm: VP9 + Opus; --format raw: user-<uid>.wav
and .y4m), user-<uid>.png, composite.mp4 (every user present in a grid, with the call's mixed
audio) and summary.json (per user: frames, duration, drops, file names). Without PyAV the files
are raw, with a note saying how to get compressed ones.

The frame callbacks only hand each frame to a worker thread through a bounded queue (a frame
that does not fit is dropped and counted); the workers encode. Progress shows on one line on a
terminal, as plain lines otherwise; --stats shows the engine's statistics lines too.

Ctrl-C (SIGINT) or SIGTERM ends the call early: the files and the summary are finished and the
exit status is 130 or 143, from the program's first moment on. A second signal drops what is
still queued and closes the files at once; they stay playable. A recording killed outright is
readable up to about a second before the kill (fragmented MP4, WebM clusters, raw files flushed
as they grow). Bad options (an empty --channel, a --uid outside 0..4294967295, a camera size or
rate the engine would change), or an output folder that cannot be written, get one line and exit
status 2 before the call starts, and no folder is made; so does a uid that another process
holds in the channel, found at the join. A file that cannot be written during the call (a full
disk) ends the call: the rest is finished, every file is read back, only what is readable is
listed (summary.json names the files cut short), and the status is 2. Progress output that
cannot be written (a closed pipe) stops showing; the recording goes on.

Effects, applied in the frame callbacks:
  --grayscale    the camera picture is sent without colour (U and V set to 128)
  --volume F     each remote user's audio is played and recorded F times as loud

On Linux the package drives its simulated engine: remote users join shortly after the call
starts (one shows a test pattern and leaves after 6 s, one sends back what this program sends)
and --engine-config passes settings to it, for instance '{"sim": {"stats": {"intervalMs":
1000}}}'. `python examples/call_recorder.py --help` lists every option.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# Before anything slow loads: a Ctrl-C or SIGTERM from the first moment ends with 130 / 143.
from recorder.signals import Signals  # noqa: E402

SIGNALS = Signals().install() if __name__ == "__main__" else None

try:
    import pyveltosdk  # noqa: F401,E402  (the recorder's modules use it)
except ImportError as error:  # pragma: no cover - depends on the installation
    sys.exit("call_recorder: the engine module is not installed (%s); "
             "run: python -m pip install \".[recorder]\"" % error)

from recorder.session import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(signals=SIGNALS))
