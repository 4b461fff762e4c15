"""The composite recording: every user present in a grid, with the call's mixed audio.

The layout follows who is present: one user fills the picture, two sit side by side, then 2x2,
3x2, 3x3... A user who leaves frees the tile. Each user's latest picture is fitted into its tile
keeping its shape (nearest neighbour, numpy), on black. The composite runs on its own clock at a
fixed rate on its worker thread; the playback audio (the remote users mixed) reaches it through
the same kind of bounded queue as the users' frames."""

import math
import time
import traceback
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import console
from .recording import Recording, Worker

Tile = Tuple[int, int, int, int]  # x, y, width, height; all even
Picture = Tuple[int, int, Any]  # width, height, planes


def grid(count: int) -> Tuple[int, int]:
    """Columns and rows for `count` tiles."""
    if count <= 1:
        return 1, 1
    columns = int(math.ceil(math.sqrt(count)))
    return columns, int(math.ceil(count / columns))


def tiles(count: int, width: int, height: int) -> List[Tile]:
    columns, rows = grid(count)
    tile_w, tile_h = (width // columns) & ~1, (height // rows) & ~1
    return [((i % columns) * tile_w, (i // columns) * tile_h, tile_w, tile_h)
            for i in range(count)]


def fit(width: int, height: int, tile: Tile) -> Tile:
    """The largest even rectangle of the picture's shape centred in `tile`."""
    x, y, tile_w, tile_h = tile
    scale = min(tile_w / width, tile_h / height)
    w = max(2, int(width * scale) & ~1)
    h = max(2, int(height * scale) & ~1)
    return x + ((tile_w - w) // 2 & ~1), y + ((tile_h - h) // 2 & ~1), w, h


class Canvas:
    """Builds composite pictures of one size; keeps the index tables of each scaling."""

    def __init__(self, width: int, height: int) -> None:
        self.width, self.height = width, height
        self._y = np.empty((height, width), np.uint8)
        self._u = np.empty((height // 2, width // 2), np.uint8)
        self._v = np.empty((height // 2, width // 2), np.uint8)
        self._maps: Dict[Tuple[int, int, int, int], Tuple[Any, Any]] = {}

    def _map(self, src_w: int, src_h: int, w: int, h: int) -> Tuple[Any, Any]:
        """What picks the pixel (x * src_w // w, y * src_h // h) of the source for each (x, y):
        index tables, or, when the picture shrinks by a whole factor each way (a 720p user in
        a 640x360 tile), every k-th pixel as a strided view: the same pixels, copied by rows
        instead of gathered one by one."""
        key = (src_w, src_h, w, h)
        found = self._maps.get(key)
        if found is None:
            if src_w % w == 0 and src_h % h == 0:
                found = (slice(None, None, src_h // h), slice(None, None, src_w // w))
            else:
                found = ((np.arange(h) * src_h // h)[:, None],
                         (np.arange(w) * src_w // w)[None, :])
            self._maps[key] = found
        return found

    def compose(self, pictures: Sequence[Optional[Picture]]) -> Tuple[Any, Any, Any]:
        """Y, U, V planes with `pictures` in grid order (None: an empty tile)."""
        self._y.fill(16)  # black in limited range
        self._u.fill(128)
        self._v.fill(128)
        for tile, picture in zip(tiles(len(pictures), self.width, self.height), pictures):
            if picture is None:
                continue
            src_w, src_h, planes = picture
            if src_w < 2 or src_h < 2:
                continue
            x, y, w, h = fit(src_w, src_h, tile)
            cw, ch = (src_w + 1) // 2, (src_h + 1) // 2
            luma = np.frombuffer(planes[0], np.uint8, src_w * src_h).reshape(src_h, src_w)
            rows, cols = self._map(src_w, src_h, w, h)
            self._y[y:y + h, x:x + w] = luma[rows, cols]
            rows, cols = self._map(cw, ch, w // 2, h // 2)
            for plane, target in ((planes[1], self._u), (planes[2], self._v)):
                chroma = np.frombuffer(plane, np.uint8, cw * ch).reshape(ch, cw)
                target[y // 2:y // 2 + h // 2, x // 2:x // 2 + w // 2] = chroma[rows, cols]
        # Copies: the writer may hold a picture (to repeat it, or until its file opens).
        return self._y.copy(), self._u.copy(), self._v.copy()


class CompositeWorker(Worker):
    """Composes a picture every 1/fps seconds from the users present and writes it with the
    audio items offered to it."""

    def __init__(self, recording: Recording, hurry: Any, fps: int,
                 present: Callable[[float], List[int]],
                 latest: Dict[int, Tuple[float, int, int, Any]]) -> None:
        super().__init__(recording, hurry)
        self.fps = fps
        self.present = present  # monotonic time -> uids present, in grid order
        self.latest = latest  # uid -> (arrival, width, height, planes), written by callbacks
        assert recording.fixed_video is not None and recording.origin is not None
        self.canvas = Canvas(recording.fixed_video.width, recording.fixed_video.height)
        self.layouts: List[Dict[str, Any]] = []  # when the users in the grid changed
        self.late = 0  # ticks skipped because the worker fell behind
        self._ticks = 0

    def _tick(self, at: float) -> None:
        uids = self.present(at)
        origin = self.recording.origin or at
        if not self.layouts or self.layouts[-1]["users"] != uids:
            self.layouts.append({"seconds": round(at - origin, 3), "users": uids})
        pictures: List[Optional[Picture]] = []
        for uid in uids:
            frame = self.latest.get(uid)
            pictures.append(None if frame is None else (frame[1], frame[2], frame[3]))
        y, u, v = self.canvas.compose(pictures)
        self.recording.add(("video", at, self.canvas.width, self.canvas.height, (y, u, v)))

    def run(self) -> None:
        origin = self.recording.origin
        assert origin is not None
        interval = 1.0 / self.fps
        try:
            while not self._drained():
                due = origin + self._ticks * interval
                item = self._next(max(0.0, due - time.monotonic()))
                if item is not None:
                    self.recording.add(item)
                    continue
                now = time.monotonic()
                if now < due or self._stopping.is_set():
                    continue
                behind = int((now - due) / interval)  # whole ticks already missed
                self.late += behind
                self._ticks += behind
                self._tick(origin + self._ticks * interval)
                self._ticks += 1
            # The last picture closes the call: the recording lasts as long as the call did.
            end = self.end if self.end is not None else time.monotonic()
            last = int((end - origin) / interval)
            if not self.hurry.is_set() and last >= self._ticks:
                self._tick(origin + last * interval)
        except Exception:  # a fault of this program: said, and the files still closed
            self.crashed = traceback.format_exc()
            console.err.write(self.crashed)
        finally:
            self.recording.finish(self.end)
