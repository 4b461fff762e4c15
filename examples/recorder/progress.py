"""Progress while the call runs: one refreshing line on a terminal, plain lines otherwise.

It writes through a console stream (console.Stream): when the output goes away the progress
stops showing, and the call goes on."""

import shutil
import time
from typing import Any, List, Tuple

# (uid, video frames, audio frames, frames dropped)
UserLine = Tuple[int, int, int, int]


class Progress:
    def __init__(self, out: Any, refreshing: bool, total: float,
                 plain_every: float = 2.0) -> None:
        self.out = out
        self.refreshing = refreshing
        self.total = total  # 0: until Ctrl-C
        self.plain_every = plain_every
        self._shown = 0.0
        self._dirty = False

    @staticmethod
    def text(elapsed: float, total: float, present: int, users: List[UserLine]) -> str:
        length = "until Ctrl-C" if total == 0 else "%g s" % total
        parts = ["%.1f s / %s" % (elapsed, length), "%d present" % present]
        for uid, video, audio, dropped in users:
            parts.append("%d: %d video %d audio %d dropped" % (uid, video, audio, dropped))
        return " | ".join(parts)

    def update(self, elapsed: float, present: int, users: List[UserLine]) -> None:
        now = time.monotonic()
        every = 0.25 if self.refreshing else self.plain_every
        if now - self._shown < every:
            return
        self._shown = now
        line = self.text(elapsed, self.total, present, users)
        if self.refreshing:
            # Cut to the terminal's width: a wrapped line cannot be redrawn in place.
            width = shutil.get_terminal_size((100, 20)).columns - 1
            self._dirty = self.out.write("\r" + line[:width] + "\x1b[K")
        else:
            self.out.write(line + "\n")

    def end(self) -> None:
        if self._dirty:
            self.out.write("\n")
            self._dirty = False
