"""An asyncio bot on the simulated engine's live call: greets who joins and leaves, halves its
own microphone in a processor, and hears the echo user repeat it at half the level."""
import asyncio
import math
import statistics
from collections import deque
from typing import Deque, Dict, Optional

import numpy as np

import pyveltosdk as velto

# A short call: a test-pattern user who leaves after a second and an echo user who stays.
SETTINGS = {"sim": {"users": [{"uid": 1001, "join": 0.2, "leave": 1.0},
                              {"uid": 1002, "kind": "echo", "join": 0.3}],
                    "stats": {"intervalMs": 500}}}


def dbfs(frame: velto.AudioFrame) -> float:
    pcm = frame.to_ndarray().astype(np.float64)
    rms = math.sqrt(float(np.mean(pcm * pcm))) if pcm.size else 0.0
    return 20 * math.log10(max(rms, 1.0) / 32768)


async def main() -> None:
    with velto.Engine(SETTINGS) as engine, engine.join("lobby", uid=7) as channel:
        engine.log_off()  # statistics as events only, no lines on stdout

        @channel.audio_processor(kinds=[velto.StreamKind.RECORD])
        def half_volume(frame: velto.AudioFrame) -> Optional[velto.AudioFrame]:
            return frame.replace(data=frame.to_ndarray() // 2)

        # The level of each user's recent frames; their median ignores a short loud tick.
        echo_levels: Dict[int, Deque[float]] = {}

        async def listen() -> None:
            frames = channel.audio_frames(kinds=[velto.StreamKind.PLAYBACK_USER])
            async for frame in frames:
                echo_levels.setdefault(frame.uid, deque(maxlen=50)).append(dbfs(frame))

        async def greet() -> None:
            async for event in channel.events():
                if isinstance(event, velto.UserJoined):
                    print("hello", event.uid)
                elif isinstance(event, velto.UserLeft):
                    print("bye", event.uid, velto.LeaveReason(event.reason).name)
                elif isinstance(event, velto.RemoteAudioStats) and event.uid == 1002:
                    print("1002 sends", event.received_bitrate, "kbit/s")

        tasks = [asyncio.ensure_future(listen()), asyncio.ensure_future(greet())]
        await asyncio.sleep(2.0)
        for task in tasks:
            task.cancel()
        print("users now:", sorted(channel.users))
        print("the echo hears us at %.1f dBFS" % statistics.median(echo_levels[1002]))


if __name__ == "__main__":
    asyncio.run(main())
