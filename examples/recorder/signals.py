"""SIGINT and SIGTERM, caught from the program's first line: a signal that comes while the
modules load, the engine starts or the files close ends the run with 130 / 143 like any other.

Standard library only, so that it can be imported, and its handlers installed, before anything
slow (the engine module, PyAV) is loaded."""

import os
import signal
import threading
from typing import Any, Optional


class Signals:
    """The first signal ends the call and finishes everything; a second drops what is still
    queued and closes the files at once (they stay playable)."""

    def __init__(self) -> None:
        self.first: Optional[int] = None
        self.stop = threading.Event()
        self.hurry = threading.Event()

    def install(self) -> "Signals":
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, self._handle)
        return self

    def _handle(self, number: int, _frame: Any) -> None:
        if self.first is None:
            self.first = number
            self.stop.set()
            return
        if not self.hurry.is_set():
            self.hurry.set()
            try:
                # os.write: the main thread may be inside a print when the handler runs.
                os.write(2, b"call_recorder: second signal: dropping queued frames, "
                            b"closing the files now\n")
            except OSError:  # standard error is gone: the files matter, not the note
                pass

    def status(self) -> Optional[int]:
        return None if self.first is None else 128 + self.first

    def name(self) -> Optional[str]:
        return None if self.first is None else signal.Signals(self.first).name
