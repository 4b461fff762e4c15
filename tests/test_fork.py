"""fork() while the engine runs: the child has no engine until it initialises its own, ends with
its own status, and never finds a lock of the module or the simulated engine held."""
import json
import os

import pytest

from conftest import run_python

# ThreadSanitizer ends a child of a threaded process that starts threads of its own, which a
# child with an engine of its own does; GCC 12's AddressSanitizer does not hold its allocator's
# locks across fork(), so a child may deadlock in malloc.
PRELOADED = os.environ.get("LD_PRELOAD", "")
pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() here"),
    pytest.mark.skipif("libtsan" in PRELOADED,
                       reason="ThreadSanitizer does not follow threads started after fork()"),
    pytest.mark.skipif("libasan" in PRELOADED,
                       reason="AddressSanitizer's allocator is not fork-safe in this toolchain"),
]

# Forks ROUNDS children while frames and notifications flow on all four engine threads and the
# live call runs, each time while an audio callback sleeps inside Python. Every child checks that
# it has no engine, odd ones start their own, and all end through the normal exit with a status
# of their own. The parent reaps them with a deadline of its own, so a hang is named, not waited.
# Reports go to stderr in one write each, starting a line of their own: statistics lines on
# stdout and the interpreter's fork warnings (3.12 on) on stderr may come between two writes of
# a print.
def result_of(proc):
    found = [line[7:] for line in proc.stderr.splitlines() if line.startswith("RESULT ")]
    assert len(found) == 1, proc.stdout[-3000:] + proc.stderr[-3000:]
    return json.loads(found[0])


FORK_PROGRAM = r"""
import json, os, sys, threading, time
import _pyveltosdk as sdk, velto_sim as sim

ROUNDS = %d
sdk.initialize("{}")
sdk.joinChannel("", "fork-room", 7)
sdk.enableVideo(True)
frames = [0]
sleeping = threading.Event()

def on_audio(stream_type, uid, samples, channels, rate, data):
    frames[0] += 1
    if uid == 77:
        sleeping.set()
        time.sleep(0.05)  # inside Python, GIL released: the parent forks meanwhile
        sleeping.clear()
    return (data[::-1],)

def on_video(stream_type, uid, width, height, y, u, v):
    frames[0] += 1
    return (None, v, u)

sdk.registerAudioObserver(on_audio)
sdk.registerVideoObserver(on_video)
audio = bytes(range(256)) * 15
planes = (bytes(64 * 48), b"\x10" * (64 * 48 // 4), b"\x20" * (64 * 48 // 4))

def flow(thread):
    while True:
        sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, audio, uid=77 if thread == 3 else thread,
                          samples=480, channels=2, thread=thread, timeout=None)
        sim.deliver_video(sim.VIDEO_RENDER, 64, 48, *planes, uid=thread, thread=thread,
                          timeout=None)
        sim.fire("onLocalAudioStats", thread=thread, timeout=None, numChannels=2)
        sim.fire("onRemoteUserJoined", uid=100 + thread, thread=thread, timeout=None)

for thread in range(4):
    threading.Thread(target=flow, args=(thread,), daemon=True).start()

def child(round_):
    report = {
        "join": sdk.joinChannel("", "child-room", 8),
        "video": sdk.enableVideo(True),
        "role": sdk.setClientRole(1),
    }
    try:
        sdk.registerAudioObserver(on_audio)
        report["register"] = "registered"
    except RuntimeError:
        report["register"] = "RuntimeError"
    if round_ %% 2:
        sdk.initialize("{}")
        seen = []
        sdk.registerAudioObserver(lambda *args: seen.append(args[1]) or (None,))
        sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, b"\0" * 8, uid=5, samples=4, timeout=20)
        delivered = list(seen)  # the live call's own frames follow the join
        report["own"] = [sdk.joinChannel("", "child-room", 8), delivered]
    os.write(2, ("\nchild %%d %%s\n" %% (round_, json.dumps(report))).encode())
    sys.exit(10 + round_)

results = []
for round_ in range(ROUNDS):
    deadline = time.monotonic() + 20
    while not sleeping.is_set() and time.monotonic() < deadline:
        time.sleep(0.001)
    pid = os.fork()
    if pid == 0:
        child(round_)
    deadline = time.monotonic() + 20
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            results.append(os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status))
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            results.append("hung")
            break
        time.sleep(0.01)
    if results[-1] == "hung":
        break
os.write(2, ("\nRESULT %%s\n" %% json.dumps({"statuses": results, "frames": frames[0] > 0})).encode())
"""


def test_forked_children_have_no_engine_until_they_start_one_and_exit_with_their_status():
    rounds = 12
    proc = run_python(FORK_PROGRAM % rounds, timeout=120, env={"VELTO_SIM_LIVE": "1"})
    result = result_of(proc)
    assert result == {"statuses": [10 + r for r in range(rounds)], "frames": True}, proc.stderr
    reports = {int(line.split()[1]): json.loads(line.split(None, 2)[2])
               for line in proc.stderr.splitlines() if line.startswith("child ")}
    assert sorted(reports) == list(range(rounds))
    for round_, report in reports.items():
        assert report.pop("own", None) == ([0, [5]] if round_ % 2 else None)
        assert report == {"join": -7, "video": -7, "role": False, "register": "RuntimeError"}
    assert "Fatal Python error" not in proc.stderr


def test_fork_pool_workers_use_the_module_and_exit():
    proc = run_python("""
        import json, multiprocessing, os, threading
        import _pyveltosdk as sdk, velto_sim as sim

        def work(index):
            before = sdk.joinChannel("", "pool", index)
            sdk.initialize("{}")
            seen = []
            sdk.registerAudioObserver(lambda *args: seen.append(args[1]) or (None,))
            sim.deliver_audio(sim.AUDIO_PLAY_BEFORE_MIX, b"\\0" * 8, uid=index, samples=4,
                              timeout=20)
            delivered = list(seen)
            after = sdk.joinChannel("", "pool", index)
            sdk.terminate()
            return [before, after, delivered]

        if __name__ == "__main__":
            sdk.initialize("{}")
            sdk.registerAudioObserver(lambda *args: (None,))
            def flow():
                while True:
                    sim.deliver_audio(0, b"\\0" * 8, samples=4, timeout=None)
                    sim.fire("onLocalAudioStats", timeout=None)
            threading.Thread(target=flow, daemon=True).start()
            pool = multiprocessing.get_context("fork").Pool(2)
            results = pool.map(work, range(8))
            pool.close()
            pool.join()
            codes = [p.exitcode for p in pool._pool]
            os.write(2, ("\\nRESULT %s\\n" % json.dumps([results, codes])).encode())
    """, timeout=120, env={"VELTO_SIM_LIVE": "0"})  # only the frames delivered here
    results, codes = result_of(proc)
    assert results == [[-7, 0, [index]] for index in range(8)]
    assert codes == [0, 0]


def test_fork_while_engine_threads_publish_events_leaves_no_queue_locked():
    # Engine threads post into many small, always-full event queues (each post takes the registry's
    # and the queue's lock) while the main thread forks; every child must still read, open and fill queues of its own.
    proc = run_python("""
        import json, os, threading, time
        import _pyveltosdk as sdk, velto_sim as sim

        sdk.initialize("{}")
        queue = sdk._event_queue(2)
        # Many open queues keep the registry's lock held for much of each publication.
        crowd = [sdk._event_queue(1) for _ in range(500)]
        def flow(thread):
            while True:
                sim.fire("onRemoteUserJoined", uid=thread, thread=thread, timeout=None)
                sim.fire("onLocalAudioStats", thread=thread, timeout=None, numChannels=1)
        for thread in range(4):
            threading.Thread(target=flow, args=(thread,), daemon=True).start()
        time.sleep(0.2)
        statuses = []
        for round_ in range(40):
            pid = os.fork()
            if pid == 0:
                old = queue.take()
                sdk.initialize("{}")
                mine = sdk._event_queue(8)
                sim.fire("onRemoteUserOffline", uid=9, arg=1, timeout=20)
                got = mine.take()
                os._exit(20 if len(old) <= 2 and len(got) == 1 else 21)
            deadline = time.monotonic() + 20
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    statuses.append(os.WEXITSTATUS(status) if os.WIFEXITED(status) else "signal")
                    break
                if time.monotonic() > deadline:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    statuses.append("hung")
                    break
                time.sleep(0.005)
            if statuses[-1] != 20:
                break
        os.write(2, ("\\nRESULT %s\\n" % json.dumps({"statuses": statuses,
                                                     "dropped": queue.dropped > 0})).encode())
    """, timeout=120, env={"VELTO_SIM_LIVE": "0"})
    assert result_of(proc) == {"statuses": [20] * 40, "dropped": True}, proc.stderr[-3000:]
