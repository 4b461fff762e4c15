"""Standard output and error, which may go away while the call runs (`| head`, a log pipe that
dies, a closed descriptor): a write that fails stops the writing to that stream, never the
recording.

Once a stream is lost its descriptor is pointed at the null device, so that what is still
buffered, the interpreter's flush at exit and the engine's own lines on the same descriptor
all go nowhere instead of failing again (a failed flush at exit would change the exit status)."""

import os
import sys
from typing import Optional, TextIO


class Stream:
    def __init__(self, name: str) -> None:
        self.name = name  # "stdout" or "stderr", looked up at each write: tests replace them
        self.lost = False

    def _stream(self) -> Optional[TextIO]:
        return getattr(sys, self.name)

    def isatty(self) -> bool:
        stream = self._stream()
        try:
            return stream is not None and not self.lost and stream.isatty()
        except (OSError, ValueError):
            return False

    def write(self, text: str) -> bool:
        """Writes and flushes `text`; False once the stream is gone."""
        stream = self._stream()
        if self.lost or stream is None:
            return False
        try:
            stream.write(text)
            stream.flush()
        except (OSError, ValueError):  # ValueError: a closed file object
            self._lose(stream)
            return False
        return True

    def _lose(self, stream: TextIO) -> None:
        self.lost = True
        try:
            null = os.open(os.devnull, os.O_WRONLY)
        except OSError:
            return
        try:
            os.dup2(null, stream.fileno())
        except (OSError, ValueError):
            pass
        finally:
            os.close(null)


def hold_closed_descriptors() -> None:
    """Points descriptors 1 and 2 at the null device when the program started with them closed
    (`>&-`): else the first file opened takes the number, and whatever the engine prints on its
    standard output would land in a recording."""
    for number in (1, 2):
        try:
            os.fstat(number)
        except OSError:
            null = os.open(os.devnull, os.O_WRONLY)  # the lowest free number: this one
            if null != number:
                os.dup2(null, number)
                os.close(null)


out = Stream("stdout")
err = Stream("stderr")


def say(text: str = "") -> None:
    # Flushed at once: the engine prints its statistics lines on the same output.
    out.write(text + "\n")


def note(text: str) -> None:
    err.write("call_recorder: %s\n" % text)
