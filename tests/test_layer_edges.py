"""The Pythonic layer under the faults real programs meet: two asyncio readers of one stream,
streams dropped without close(), membership churn, absurd stream sizes, fork() inside a call and
a reader that closes a stream's descriptor itself. Each runs as a program of its own with a
deadline, since the faults are hangs, exhausted descriptors and memory."""
import json
import os

import pytest

from conftest import run_python

PRELUDE = """
import asyncio, gc, json, os, resource, select, sys, time, weakref
import pyveltosdk as velto, velto_sim as sim

def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

def report(**values):
    print("RESULT " + json.dumps(values), flush=True)
"""


def run(body, **kwargs):
    proc = run_python(PRELUDE + body, timeout=90, **kwargs)
    found = [line[7:] for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(found) == 1, proc.stdout[-2000:] + proc.stderr[-2000:]
    return json.loads(found[0])


@pytest.mark.parametrize("kind", ["frames", "events"])
def test_two_asyncio_readers_of_one_stream_are_both_served_and_both_end_on_leave(kind):
    result = run("""
async def main(kind):
    with velto.Engine() as engine:
        channel = engine.join("room", uid=1)
        stream = channel.audio_frames() if kind == "frames" else channel.events()
        got = [[], []]
        async def read(mine):
            async for item in stream:
                mine.append(item)
                await asyncio.sleep(0.01)  # the other reader's turn
        readers = [asyncio.ensure_future(read(mine)) for mine in got]
        await asyncio.sleep(0.1)
        for n in range(6):
            if kind == "frames":
                sim.deliver_audio(sim.AUDIO_PLAY, b"\\x01\\x00" * 160)
            else:
                sim.fire("onRemoteUserJoined", uid=100 + n)
            await asyncio.sleep(0.05)
        served = [len(mine) for mine in got]
        started = time.monotonic()
        channel.leave()
        await asyncio.wait_for(asyncio.gather(*readers), 1.0)
        report(served=served, ended=time.monotonic() - started < 1.0)
asyncio.run(main(%r))
""" % kind)
    assert sum(result["served"]) == 6 and min(result["served"]) > 0 and result["ended"]


def test_dropped_event_streams_give_back_their_descriptors():
    result = run("""
resource.setrlimit(resource.RLIMIT_NOFILE, (128, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
with velto.Engine() as engine, engine.join("room", uid=1) as channel:
    for _ in range(1000):
        channel.events()
    kept = channel.events()
    sim.fire("onRemoteUserJoined", uid=5)
    with open(os.devnull) as anywhere:
        report(opened=True, got=[e.uid for e in kept.poll()],
               descriptors=len(os.listdir("/proc/self/fd")))
""")
    assert result == dict(result, opened=True, got=[5]) and result["descriptors"] < 64


def test_dropped_frame_streams_leave_the_router_and_cost_no_memory():
    result = run("""
with velto.Engine() as engine, engine.join("room", uid=1) as channel:
    kept = channel.audio_frames(maxsize=64)
    probe = weakref.ref(channel.video_frames())
    gc.collect()
    before = rss_mb()
    for _ in range(10000):
        channel.audio_frames()
        channel.video_frames()
    gc.collect()
    for _ in range(50):
        sim.deliver_audio(sim.AUDIO_PLAY, b"\\x01\\x00" * 160)
    report(probe_freed=probe() is None, grown_mb=rss_mb() - before, kept=kept.qsize())
""")
    assert result["probe_freed"] and result["kept"] == 50, result
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # it keeps freed memory aside
        assert result["grown_mb"] < 16, result


def test_users_stay_exact_after_thousands_come_and_go_unread():
    result = run("""
with velto.Engine() as engine, engine.join("room", uid=1) as channel:
    sim.fire("onRemoteUserJoined", uid=7)
    for uid in range(1000, 4000):
        sim.fire("onRemoteUserJoined", uid=uid)
        sim.fire("onRemoteUserOffline", uid=uid)
    report(users=sorted(channel.users))
""")
    assert result["users"] == [7]


def test_event_stream_sizes_take_memory_as_needed_and_absurd_ones_are_refused():
    result = run("""
with velto.Engine() as engine, engine.join("room", uid=1) as channel:
    refused = []
    for size in (10**7, 2**20 + 1, 0, -1, 1.5, True):
        try:
            channel.events(maxsize=size)
        except (ValueError, TypeError) as error:
            refused.append(type(error).__name__)
    before = rss_mb()
    roomy = [channel.events(maxsize=2**20) for _ in range(8)]
    sim.fire("onRemoteUserJoined", uid=5)
    report(refused=refused, grown_mb=rss_mb() - before, got=[s.get(timeout=5).uid for s in roomy])
""")
    assert result["refused"] == ["ValueError"] * 4 + ["TypeError"] * 2
    assert result["grown_mb"] < 32 and result["got"] == [5] * 8, result


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() here")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator is not fork-safe in this toolchain")
@pytest.mark.skipif("libtsan" in os.environ.get("LD_PRELOAD", ""),
                    reason="ThreadSanitizer does not follow threads started after fork()")
def test_a_forked_child_detaches_from_the_parents_call_and_opens_its_own():
    result = run("""
child = False
with velto.Engine() as engine, engine.join("room", uid=1) as channel:
    events = channel.events()
    pid = os.fork()
    if pid == 0:
        child = True
    else:
        deadline = time.monotonic() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                raise SystemExit("the child hung")
            time.sleep(0.01)
        readable = bool(select.select([events.fileno()], [], [], 0)[0])
        stray = events.poll()
        sim.fire("onRemoteUserJoined", uid=9)
        own = events.get(timeout=5)
if child:
    # Leaving the with blocks above raised nothing; the child's engine is its own.
    with velto.Engine() as mine, mine.join("other", uid=2) as other:
        theirs = other.events()
        for uid in range(100, 105):
            sim.fire("onRemoteUserJoined", uid=uid)
        got = [theirs.get(timeout=5).uid for _ in range(5)]
    os._exit(0 if got == list(range(100, 105)) else 3)
report(status=os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1, readable=readable,
       stray=[repr(e) for e in stray], own=own.uid)
""")
    assert result == {"status": 0, "readable": False, "stray": [], "own": 9}


def test_a_descriptor_the_reader_closes_itself_never_reaches_another_file(tmp_path):
    result = run("""
path = %r
with velto.Engine() as engine, engine.join("room", uid=1) as channel:
    events = channel.events()
    number = events.fileno()
    os.close(number)
    with open(path, "w+b", buffering=0) as other:
        reused = other.fileno() == number
        other.write(b"kept")
        for uid in (1, 2, 3):
            sim.fire("onRemoteUserJoined", uid=uid)
        readable = bool(select.select([events.fileno()], [], [], 5)[0])
        got = [e.uid for e in events.poll()]
        events.close()
        other.write(b"!")
with open(path, "rb") as f:
    content = f.read().decode("latin-1")
report(reused=reused, content=content, readable=readable, got=got)
""" % str(tmp_path / "other.bin"))
    assert result["content"] == "kept!" and result["readable"] and result["got"] == [1, 2, 3]
    assert result["reused"]  # the case that matters: the number now names another file
