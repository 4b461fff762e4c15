"""A level meter with numpy: each remote user's loudness in dBFS, from bounded frame iterators
that never hold the engine up, on the simulated engine's live call."""
import math
import time
from typing import Dict, List

import numpy as np

import pyveltosdk as velto

SETTINGS = {"sim": {"users": [{"uid": 1001, "join": 0.1, "pitch": 440},
                              {"uid": 1002, "join": 0.2, "pitch": 880}]}}

with velto.Engine(SETTINGS) as engine, engine.join("meter", uid=8) as channel:
    engine.log_off()
    frames = channel.audio_frames(kinds=[velto.StreamKind.PLAYBACK_USER], maxsize=50)
    squares: Dict[int, List[float]] = {}
    deadline = time.monotonic() + 1.5
    while time.monotonic() < deadline:
        try:
            frame = frames.get(timeout=0.5)
        except TimeoutError:
            continue
        pcm = frame.to_ndarray().astype(np.float64)  # a zero-copy view, widened for the sums
        squares.setdefault(frame.uid, []).append(float(np.mean(pcm * pcm)))
    for uid, values in sorted(squares.items()):
        rms = math.sqrt(sum(values) / len(values))
        print("%d: %.1f dBFS over %d frames" % (uid, 20 * math.log10(rms / 32768), len(values)))
    print("frames dropped:", frames.dropped)
