"""A channel's notifications belong to the engine and the channel they were raised in: a program
that leaves, closes the engine, opens a new one and joins again (as a reconnecting bot does)
never sees the previous channel's late ChannelLeft in the new channel, and the new channel's
views stay bound."""
import json

import pytest

from conftest import run_python

CYCLES = 50

RECONNECT = """
import json, sys, time, pyveltosdk as velto, velto_sim as sim
mode = MODE
users = [{"uid": 501, "join": 0.05}, {"uid": 502, "join": 0.1}] if mode == "views" else []
init = {"sim": {"users": users}} if users else {}
if mode == "views":
    for view in range(10, 80, 10):
        velto.Engine.add_view(view)

def present(channel):
    deadline = time.monotonic() + 5
    while channel.users != {501, 502} and time.monotonic() < deadline:
        time.sleep(0.005)
    return channel.users

stale, bound = [], []
for i in range(%d):
    sim.reset()
    engine = velto.Engine(init).open()
    try:
        with engine.join("a%%d" %% i, uid=3) as channel:
            if mode == "views":
                present(channel)
        if mode != "same-engine":
            engine.close()
            engine = velto.Engine(init).open()
        with engine.join("b%%d" %% i, uid=3) as channel:
            events = channel.events()
            if mode == "views":
                present(channel)
                stale += [e for e in events.poll() if not isinstance(e, velto.UserJoined)]
                created = [e["result"] for e in sim.journal() if e["call"] == "createEngine"]
                bound.append([e["args"]["view"] for e in sim.journal()
                              if e["engine"] == created[-1]
                              and e["call"] in ("setupLocalView", "setupRemoteView")])
                continue
            try:
                stale.append(events.get(timeout=0.3))
            except TimeoutError:
                pass
            except StopIteration:
                stale.append("ended")
    finally:
        engine.close()
print(json.dumps({"stale": [repr(e) for e in stale], "bound": bound}))
""" % CYCLES


@pytest.mark.parametrize("mode", ["engines", "same-engine", "views"])
def test_a_new_channel_never_sees_the_previous_channels_notifications(mode):
    proc = run_python(RECONNECT.replace("MODE", repr(mode)), timeout=240,
                      env={"VELTO_SIM_LIVE": "1"})
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["stale"] == []
    for views in result["bound"]:
        # The local view and one for each user, none of them freed for another to take.
        assert len(views) == 3 and len(set(views)) == 3 and 0 not in views, result["bound"]
