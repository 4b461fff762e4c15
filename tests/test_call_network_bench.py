"""The network benchmark counts loss against what each sender stamped, and its quick run reports
consistent figures. No figure is judged here; the benchmark prints them."""
import importlib.util
import json
import math
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench", "call_network.py")
pytestmark = pytest.mark.skipif(sys.platform != "linux",
                                reason="the network between processes is Linux-only")


def load_bench():
    found = importlib.util.spec_from_file_location("call_network", BENCH)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def report(uid, stamped, received):
    return {"uid": uid, "cpu": 0.1, "wall": 1.0, "stamped": {"video": stamped, "audio": 0},
            "damaged": {"video": 0, "audio": 0}, "network": {},
            "received": {"video": received, "audio": {}}, "delays": {"video": [], "audio": []}}


# Sender 1 stamped 10 frames; what receiver 2 got of them, and where the loss must show.
@pytest.mark.parametrize("got,lost,where", [
    pytest.param(list(range(1, 11)), 0, {}, id="all"),
    pytest.param([], 10, {"streamsMissing": 1, "lostBetween": 10}, id="stream missing"),
    pytest.param([4, 5, 6], 7, {"lostAtStart": 3, "lostAtEnd": 4}, id="start and end"),
    pytest.param([1, 3, 3, 10, 11], 7, {"lostBetween": 7, "stray": 1}, id="gap, repeat, stray"),
])
def test_loss_is_counted_against_what_the_sender_stamped(got, lost, where):
    video = load_bench().account([report(1, 10, {}), report(2, 0, {"1": got})])["video"]
    assert (video["stamped"], video["lost"], video["received"]) == (10, lost, 10 - lost)
    for key in ("lostAtStart", "lostBetween", "lostAtEnd", "streamsMissing", "stray"):
        assert video[key] == where.get(key, 0), key


def test_quick_run_reports_consistent_figures():
    proc = subprocess.run([sys.executable, BENCH, "--quick", "--json"], capture_output=True,
                          text=True, timeout=420)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(proc.stdout)
    assert "load" in proc.stderr and len(result["load"]) == 3 and result["cpus"] >= 1
    calls = [(2, result["call"]), (2, result["scaling"]["2"]), (8, result["scaling"]["8"])]
    for peers, call in calls:
        for kind in ("video", "audio"):
            s = call[kind]
            assert s["streams"] == peers * (peers - 1) == len(s["perStream"])
            assert s["stamped"] >= s["received"] > 0 and s["damaged"] == 0
            assert s["lost"] == s["stamped"] - s["received"] == sum(
                p["stamped"] - p["received"] for p in s["perStream"]) == (
                s["lostAtStart"] + s["lostBetween"] + s["lostAtEnd"])
        assert len(call["cpu"]) == peers and all(c > 0 for c in call["cpu"])
    big = result["frame1080"]
    assert big["memcpy_ns"] > 0 and big["shm_floor_ns"] > 0
    # On minus off is a difference of two measurements: its sign is the machine's to decide.
    for key in ("transport_ns", "transport_over_memcpy", "transport_over_shm_floor"):
        assert math.isfinite(big[key]), key
    assert big["median"]["on"]["frames_per_s"] > 0 and big["median"]["off"]["frames_per_s"] > 0
