"""Joining and leaving channels, and views bound to the local and remote users as they come and go.

The view pool lives for the whole process, so each scenario runs in a fresh interpreter."""
import json

import pytest

import _pyveltosdk as sdk
import velto_sim as sim
from conftest import call_names, calls, run_python

PRELUDE = """
import json, _pyveltosdk as sdk, velto_sim as sim
sdk.initialize("")
sim.reset()
def joined(uid): sim.fire("onRemoteUserJoined", uid=uid)
def offline(uid): sim.fire("onRemoteUserOffline", uid=uid)
def left(): sim.fire("onChannelLeft")
def bound():
    return [(e["call"], e["args"]["view"], e["args"]["uid"]) for e in sim.journal()
            if e["call"] in ("setupLocalView", "setupRemoteView")]
"""


def scenario(body):
    proc = run_python(PRELUDE + body + "\nprint(json.dumps(bound()))\n")
    return [tuple(b) for b in json.loads(proc.stdout.strip().splitlines()[-1])]


def local(view, uid=1):
    return ("setupLocalView", view, uid)


def remote(view, uid):
    return ("setupRemoteView", view, uid)


@pytest.mark.parametrize("body,expected", [
    # X to the local user, then the first two remote users get Y and Z; no view left for a third.
    ("for v in (10, 20, 30): sdk.addView(v)\n"
     "sdk.joinChannel('', 'c', 1); joined(101); joined(102); joined(103)",
     [local(10), remote(20, 101), remote(30, 102), remote(0, 103)]),
    # A user going offline frees its view for the next one, ahead of views never handed out.
    ("for v in (10, 20, 30, 40): sdk.addView(v)\n"
     "sdk.joinChannel('', 'c', 1); joined(101); joined(102); offline(101); joined(103)",
     [local(10), remote(20, 101), remote(30, 102), remote(20, 103)]),
    # Channel left: every view free again in registration order; the local view first.
    ("for v in (10, 20, 30): sdk.addView(v)\n"
     "sdk.joinChannel('', 'c', 1); joined(101); left(); sdk.joinChannel('', 'c', 1); joined(102)",
     [local(10), remote(20, 101), local(10), remote(20, 102)]),
    # A second join without leaving binds the first view again and changes nothing in the pool.
    ("for v in (10, 20): sdk.addView(v)\n"
     "sdk.joinChannel('', 'c', 1); sdk.joinChannel('', 'c', 1); joined(101)",
     [local(10), local(10), remote(20, 101)]),
    # No view ever added: the local user gets view 0.
    ("sdk.joinChannel('', 'c', 7); joined(5)", [local(0, 7), remote(0, 5)]),
    # A uid that joins twice takes a second view but keeps the first; offline frees only the first.
    ("for v in (10, 20, 30, 40): sdk.addView(v)\n"
     "sdk.joinChannel('', 'c', 1); joined(5); joined(5); offline(5); joined(6); joined(7)",
     [local(10), remote(20, 5), remote(30, 5), remote(20, 6), remote(40, 7)]),
    # Offline for a uid without an entry changes nothing.
    ("for v in (10, 20): sdk.addView(v)\n"
     "sdk.joinChannel('', 'c', 1); offline(99); joined(5)",
     [local(10), remote(20, 5)]),
    # The same view added twice is free once; after a reset it is handed out twice.
    ("sdk.addView(10); sdk.addView(20); sdk.addView(20)\n"
     "sdk.joinChannel('', 'c', 1); joined(1001); joined(1002); left()\n"
     "sdk.joinChannel('', 'c', 1); joined(1003); joined(1004); joined(1005)",
     [local(10), remote(20, 1001), remote(0, 1002), local(10), remote(20, 1003),
      remote(20, 1004), remote(0, 1005)]),
    # A view in use that is added again is free as well.
    ("sdk.addView(10); sdk.addView(20); sdk.joinChannel('', 'c', 1); joined(5); sdk.addView(20)\n"
     "joined(6)",
     [local(10), remote(20, 5), remote(20, 6)]),
    # Negative view handles are plain handles.
    ("sdk.addView(-1); sdk.addView(-2); sdk.joinChannel('', 'c', 1); joined(5)",
     [local(-1), remote(-2, 5)]),
    # Notifications after terminate still keep the books but call no engine.
    ("for v in (10, 20, 30): sdk.addView(v)\n"
     "sdk.joinChannel('', 'c', 1); joined(5); sdk.terminate(); offline(5); joined(6)\n"
     "sdk.initialize(''); joined(7)",
     [local(10), remote(20, 5), remote(30, 7)]),
], ids=["typical", "offline-frees", "channel-left", "second-join", "no-views", "uid-twice",
        "unknown-offline", "duplicates", "added-while-used", "negative", "after-terminate"])
def test_views_are_bound_in_pool_order(body, expected):
    assert scenario(body) == expected


def test_join_channel_calls_in_order_with_every_canvas_field(engine):
    assert sdk.joinChannel("", "room", 2**32 + 5) == 0
    assert call_names() == ["setupLocalView", "activateLocalView", "joinChannel"]
    canvas = calls("setupLocalView")[0]
    assert canvas == {"view": canvas["view"], "mode": 2, "label": "", "uid": 5,
                      "reserved": 0, "reserved2": 0}
    assert calls("joinChannel") == [{"key": "", "channel": "room", "info": "", "uid": 5}]


def test_join_channel_uid_minus_one_and_engine_result(engine):
    sim.set_result("joinChannel", -17)
    assert sdk.joinChannel("key-é", "c", -1) == -17
    assert calls("joinChannel")[0] == {"key": "key-é", "channel": "c", "info": "", "uid": 4294967295}
    assert calls("setupLocalView")[0]["uid"] == 4294967295


def test_empty_channel_returns_minus_one_and_calls_nothing(engine):
    assert sdk.joinChannel("k", "", 5) == -1
    assert sim.journal() == []


def test_without_engine_channel_functions_fail_quietly(no_engine):
    assert sdk.joinChannel("k", "", 1) == -1
    assert sdk.joinChannel("k", "c", 1) == -7
    assert sdk.leaveChannel() == -7
    assert sdk.setChannelProfile(1) is False
    assert sdk.setClientRole(1) is False
    assert sdk.addView(5) is None
    assert sim.journal() == []


@pytest.mark.parametrize("name", ["setChannelProfile", "setClientRole"])
def test_profile_and_role_pass_through_and_map_the_result(engine, name):
    assert getattr(sdk, name)(-3) is True
    sim.set_result(name, 1)
    assert getattr(sdk, name)(7) is False
    key = "profile" if name == "setChannelProfile" else "role"
    assert [c[key] for c in calls(name)] == [-3, 7]


def test_leave_channel_returns_the_engine_result_and_leaves_the_pool(engine):
    assert sdk.leaveChannel() == 0
    sim.set_result("leaveChannel", -5)
    assert sdk.leaveChannel() == -5


def test_stress_notifications_against_python_threads():
    proc = run_python(PRELUDE + """
import threading
for v in range(1, 9): sdk.addView(v)
stop = threading.Event()
def python_side():
    n = 0
    while not stop.is_set():
        sdk.addView(100 + n % 5); sdk.joinChannel("", "c", n); n += 1
def engine_side(thread):
    for i in range(600):
        uid = (i * 7 + thread) % 23
        event = ("onRemoteUserJoined", "onRemoteUserOffline", "onRemoteUserJoined",
                 "onChannelLeft")[i % 4 if i % 50 else 3]
        sim.fire(event, uid=uid, thread=thread)
workers = [threading.Thread(target=engine_side, args=(k,)) for k in range(4)]
py = [threading.Thread(target=python_side) for _ in range(2)]
for t in workers + py: t.start()
for t in workers: t.join()
stop.set()
for t in py: t.join()
sim.fire("onChannelLeft")
sim.reset()
sdk.joinChannel("", "c", 1)
for uid in range(1, 4): joined(uid)
print("ok")
print(json.dumps(bound()))
""", timeout=120)
    lines = proc.stdout.strip().splitlines()
    assert lines[-2] == "ok"
    views = [tuple(b) for b in json.loads(lines[-1])]
    # After the reset, the pool hands out views in registration order again.
    assert views == [local(1), remote(2, 1), remote(3, 2), remote(4, 3)]
