"""PNG snapshots of I420 pictures, in the colours a player shows.

The engine's frames are limited-range BT.601: luma 16-235 and chroma 16-240 around 128, so luma
16 is black and 235 white. Read as full range they look washed out. pyveltosdk.i420_to_rgb
converts when numpy is installed; the same conversion in plain Python is the fallback."""

import struct
import zlib
from typing import Any, List

from pyveltosdk import i420_to_rgb

try:
    import numpy as np
except ImportError:  # pragma: no cover - the raw format works without numpy
    np = None  # type: ignore[assignment]

# Limited-range BT.601 to RGB: R = L + RV*v, G = L + GU*u + GV*v, B = L + BU*u with
# L = LUMA * (Y - 16) and u, v = U - 128, V - 128 (what pyveltosdk.i420_to_rgb computes).
LUMA = 255.0 / 219.0
RV = 1.402 * 255.0 / 224.0
GU = -0.344136 * 255.0 / 224.0
GV = -0.714136 * 255.0 / 224.0
BU = 1.772 * 255.0 / 224.0


def rgb_numpy(width: int, height: int, y: Any, u: Any, v: Any) -> bytes:
    rgb = i420_to_rgb(y, u, v, width, height)
    rows = np.zeros((height, width * 3 + 1), np.uint8)  # filter byte 0 before each row
    rows[:, 1:] = rgb.reshape(height, width * 3)
    return rows.tobytes()


def rgb_plain(width: int, height: int, y: Any, u: Any, v: Any) -> bytes:
    cw = (width + 1) // 2
    # Tables keep the per-pixel work to lookups; value + 512 indexes the clipped byte. The sums
    # are rounded once, at the end, as the numpy path does.
    clip = bytes(min(255, max(0, i - 512)) for i in range(1536))
    luma = [LUMA * (value - 16) for value in range(256)]
    red_v = [RV * (c - 128) for c in range(256)]
    green_u = [GU * (c - 128) for c in range(256)]
    green_v = [GV * (c - 128) for c in range(256)]
    blue_u = [BU * (c - 128) for c in range(256)]
    raw = bytearray()
    for row in range(height):
        line = bytearray(1 + 3 * width)
        base = (row // 2) * cw
        for x in range(width):
            value = luma[y[row * width + x]]
            c = base + (x >> 1)
            cu, cv = u[c], v[c]
            at = 1 + 3 * x
            line[at] = clip[int(round(value + red_v[cv])) + 512]
            line[at + 1] = clip[int(round(value + green_u[cu] + green_v[cv])) + 512]
            line[at + 2] = clip[int(round(value + blue_u[cu])) + 512]
        raw += line
    return bytes(raw)


def png_chunk(kind: bytes, data: bytes) -> bytes:
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def write_png(path: str, width: int, height: int, y: Any, u: Any, v: Any) -> None:
    convert = rgb_numpy if np is not None else rgb_plain
    rows = convert(width, height, y, u, v)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    chunks: List[bytes] = [b"\x89PNG\r\n\x1a\n", png_chunk(b"IHDR", header),
                           png_chunk(b"IDAT", zlib.compress(rows, 6)), png_chunk(b"IEND", b"")]
    with open(path, "wb") as out:
        out.write(b"".join(chunks))
