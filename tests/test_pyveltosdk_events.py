"""pyveltosdk events: participant notifications and statistics records reach Python through the
native event queue, in order, with the engine's numbers; the printed lines stay as they were."""
import asyncio
import dataclasses
import json
import re
import select
import threading
import time

import pytest

import _pyveltosdk as sdk
import pyveltosdk as velto
import velto_sim as sim
from conftest import run_python

# Every statistics record: its dataclass and the notification that carries it.
STATS = [
    (velto.LocalVideoStats, "onLocalVideoStats"),
    (velto.RemoteVideoStats, "onRemoteVideoStats"),
    (velto.LocalAudioStats, "onLocalAudioStats"),
    (velto.RemoteAudioStats, "onRemoteAudioStats"),
    (velto.ChannelLeft, "onChannelLeft"),
]


def snake(name):
    return re.sub(r"(?<!^)(?=[A-Z])", "_", name).lower()


@pytest.mark.parametrize("cls,event", STATS)
def test_statistics_dataclasses_carry_every_engine_field_exactly(channel, capfd, cls, event):
    record = sim.EVENT_RECORDS[event]
    engine_fields = [name for name, _ in record._fields_ if not name.startswith("unused")]
    names = [f.name for f in dataclasses.fields(cls) if f.name != "time"]
    assert names == [snake(name) for name in engine_fields]
    # Extremes of each field's width, which the engine's types must keep (uid is unsigned).
    values = {}
    for i, (name, ctype) in enumerate(record._fields_):
        if name.startswith("unused"):
            continue
        bits = sim.ctypes.sizeof(ctype) * 8
        signed = ctype(-1).value < 0
        values[name] = [-(2 ** (bits - 1)), 2 ** (bits - 1) - 1][i % 2] if signed else 2 ** bits - 1 - i
    uid = values.pop("uid", 0)
    events = channel.events()
    sim.fire(event, uid=uid, **values)
    got = events.get(timeout=5)
    expected = dict(values, **({"uid": uid} if "uid" in engine_fields else {}))
    assert dataclasses.asdict(got) == dict({snake(k): v for k, v in expected.items()},
                                           time=got.time)
    if event != "onChannelLeft":  # the printed line is as it always was
        assert sdk._flushOutput()  # statistics lines reach standard output through a writer
        assert capfd.readouterr().out.startswith(event + " ")


def test_events_in_order_users_and_a_users_first_frame_after_its_join(channel):
    events = channel.events()
    frames = channel.audio_frames()
    sim.fire("onRemoteUserJoined", uid=5, arg=120, thread=1)
    sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, b"\x01\x00", uid=5, thread=2)
    sim.fire("onRemoteUserJoined", uid=6, thread=3)
    assert channel.users == {5, 6}
    sim.fire("onLocalAudioStats", numChannels=2)
    sim.fire("onRemoteUserOffline", uid=5, arg=1)
    sim.fire("onRemoteUserOffline", uid=6, arg=77)
    assert channel.users == set()
    sim.fire("onRemoteUserJoined", uid=5)
    assert channel.users == {5}
    got = [events.get(timeout=5) for _ in range(6)]
    assert got == [velto.UserJoined(5, 120), velto.UserJoined(6),
                   velto.LocalAudioStats(2, 0, 0, 0),
                   velto.UserLeft(5, velto.LeaveReason.DROPPED), velto.UserLeft(6, 77),
                   velto.UserJoined(5)]
    assert [e.time for e in got] == sorted(e.time for e in got)
    assert isinstance(got[3].reason, velto.LeaveReason)
    frame = frames.get(timeout=5)
    assert got[0].time <= frame.time <= got[1].time
    sim.fire("onChannelLeft", duration=3, userCount=1)
    assert channel.users == set()
    # ChannelLeft ends the iteration.
    assert list(events) == [velto.ChannelLeft(3, 0, 0, 1)]
    assert events.closed


def test_a_reader_that_stops_keeps_only_the_newest_and_counts_the_rest(channel):
    events = channel.events(maxsize=4)
    for uid in range(1, 11):
        sim.fire("onRemoteUserJoined", uid=uid)
    assert events.dropped == 6
    assert [e.uid for e in events.poll()] == [7, 8, 9, 10]
    assert channel.users == set(range(1, 11))  # its own queue lost nothing


def test_descriptor_is_readable_exactly_while_events_wait(channel):
    events = channel.events(types=(velto.UserLeft,))

    def readable():
        return bool(select.select([events.fileno()], [], [], 0)[0])

    sim.fire("onRemoteUserJoined", uid=3)  # another type: not this stream's
    assert not readable()
    sim.fire("onRemoteUserOffline", uid=3)
    assert readable()
    assert events.poll() == [velto.UserLeft(3)]
    assert not readable()
    events.close()
    assert readable() and list(events) == []


def test_sync_reader_blocks_with_the_gil_released_and_wakes_on_close(channel):
    def spin(seconds):
        spins, deadline = 0, time.monotonic() + seconds
        while time.monotonic() < deadline:
            spins += 1
        return spins

    events = channel.events()
    got = []
    alone = spin(0.2)
    reader = threading.Thread(target=lambda: got.extend(events))
    reader.start()
    # A reader holding the GIL while it waits would leave this thread a few slices at most.
    beside_reader = spin(0.2)
    sim.fire("onRemoteUserJoined", uid=9)
    channel.leave()
    reader.join(30)
    assert not reader.is_alive() and got == [velto.UserJoined(9)]
    assert beside_reader > alone / 4, (alone, beside_reader)


def test_asyncio_reader_uses_the_descriptor_and_two_runs_work(channel):
    async def read(uid):
        threads = threading.active_count()
        loop = asyncio.get_running_loop()
        loop.call_later(0.05, lambda: threading.Thread(
            target=sim.fire, args=("onRemoteUserJoined",), kwargs={"uid": uid}).start())
        async with channel.events() as events:
            async for event in events:
                # Waiting took no thread of its own: only the one firing was added.
                assert threading.active_count() <= threads + 1
                return event

    for uid in (11, 12):
        assert asyncio.run(asyncio.wait_for(read(uid), 30), debug=True) == velto.UserJoined(uid)


LIVE_PROGRAM = r"""
import asyncio, json, sys, time
import pyveltosdk as velto

SETTINGS = {"sim": {"stats": {"intervalMs": 300},
                    "users": [{"uid": 21, "join": 0.2, "leave": 1.2}, {"uid": 22, "join": 0.4}]}}

async def main():
    seen = {"events": [], "first_frame": {}, "users_at_frame": {}}
    with velto.Engine(SETTINGS) as engine, engine.join("live", uid=5) as channel:
        engine.log_off()
        frames = channel.audio_frames(kinds=[velto.StreamKind.PLAYBACK_USER], maxsize=16)
        async def watch_frames():
            async for frame in frames:
                if frame.uid not in seen["first_frame"]:
                    seen["first_frame"][frame.uid] = frame.time
                    seen["users_at_frame"][frame.uid] = sorted(channel.users)
        watcher = asyncio.ensure_future(watch_frames())
        async for event in channel.events():
            seen["events"].append((type(event).__name__, getattr(event, "uid", None), event.time))
            if isinstance(event, velto.UserLeft):
                break
        await asyncio.sleep(0.7)  # a statistics report with user 22 alone
        users = sorted(channel.users)
        watcher.cancel()
    print(json.dumps({"seen": seen, "users": users, "dropped": frames.dropped}))

asyncio.run(main())
"""


def test_live_call_program_sees_joins_frames_stats_and_leaves():
    proc = run_python(LIVE_PROGRAM, timeout=60, env={"VELTO_SIM_LIVE": "1"})
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    events = result["seen"]["events"]
    names = [(name, uid) for name, uid, _ in events]
    assert names.index(("UserJoined", 21)) < names.index(("UserJoined", 22)) < names.index(
        ("UserLeft", 21))
    assert ("RemoteAudioStats", 21) in names and ("LocalVideoStats", None) in names
    joined = {uid: t for name, uid, t in events if name == "UserJoined"}
    for uid, first in result["seen"]["first_frame"].items():
        assert joined[int(uid)] <= first
        assert int(uid) in result["seen"]["users_at_frame"][uid]
    assert set(result["seen"]["first_frame"]) == {"21", "22"}
    assert result["users"] == [22]
    assert "onLocalVideoStats" not in proc.stdout  # logged off: the lines stop, the events not


# --- the native queue itself ----------------------------------------------------------------

def test_engine_threads_publishing_at_once_lose_nothing_and_drops_are_exact():
    sdk.terminate()
    sim.reset()
    sdk.initialize("{}")
    try:
        roomy, small = sdk._event_queue(1000), sdk._event_queue(100)
        with pytest.raises(ValueError):
            sdk._event_queue(0)

        def fire(thread):
            for i in range(200):
                sim.fire("onRemoteUserOffline", uid=thread, arg=i, thread=thread)

        firing = [threading.Thread(target=fire, args=(t,)) for t in range(4)]
        for t in firing:
            t.start()
        for t in firing:
            t.join(60)
        got = roomy.take()
        assert roomy.dropped == 0 and len(got) == 800
        for thread in range(4):  # each engine thread's events in its own order
            assert [e[3] for e in got if e[2] == thread] == list(range(200))
        assert small.dropped == 700 and len(small.take()) == 100
        assert not small.wait(0.01)  # empty: the time runs out
        closer = threading.Timer(0.05, small.close)
        closer.start()
        assert small.wait(30) and small.closed  # a blocked waiter wakes on close
        closer.join()
    finally:
        sdk.terminate()
        sim.reset()


def test_closed_queues_give_back_their_descriptors_and_receive_nothing():
    import os
    before = len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None
    queues = [sdk._event_queue(8) for _ in range(200)]
    for q in queues[:100]:
        q.close()
    sdk.initialize("{}")
    try:
        sim.fire("onRemoteUserJoined", uid=1)
        assert [len(q.take()) for q in (queues[0], queues[150])] == [0, 1]
    finally:
        sdk.terminate()
        sim.reset()
    del q, queues
    if before is not None:
        assert len(os.listdir("/proc/self/fd")) <= before
