"""The installed win_amd64 wheel driving an engine that is not the project's: the foreign engine
of tests/foreign_engine, built with clang's Microsoft target, put in place of the shipped
velto_rtc_sdk.dll. Every call between module and engine crosses Microsoft-ABI vtables, so an
event handler laid out one slot off, a record read at a wrong offset or a lost rewrite shows
here. One program (tests/foreign_engine/drive.py) plays the call in a subprocess; the tests
judge its exit, its output and the engine's journal.

Runs on Windows (under Wine here) when tools/windows.sh foreign names the wheel and the engine
in VELTO_WHEEL and VELTO_FOREIGN_ENGINE.
"""
import json
import os
import shutil
import subprocess
import sys

import pytest

WHEEL = os.environ.get("VELTO_WHEEL")
ENGINE = os.environ.get("VELTO_FOREIGN_ENGINE")
DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "foreign_engine", "drive.py")

pytestmark = pytest.mark.skipif(
    sys.platform != "win32" or not (WHEEL and ENGINE),
    reason="needs Windows, a win_amd64 wheel and the foreign engine (tools/windows.sh foreign)")

# The journal's lines other than frames, in order: the module's calls, including the views bound
# from inside onRemoteUserJoined on the engine's own thread.
EXPECTED_CALLS = [
    "getEngineVersion build=1",
    "createEngine",
    'initialize handler=1 initText={"appId":"foreign"} extraWord=ffffffff',
    "getSubInterface id=2",
    "getSubInterface id=1",
    "setChannelProfile value=1",
    "setClientRole value=1",
    "setVideoConfiguration fields=640,360,15,-1,400,-1,1,0,0",
    "setAudioProfile profile=4 scenario=3",
    "getSubInterface id=3",
    "resolvePath path=call.log",
    "setStringParameter key=rtc.log_file value=C:\\foreign\\logs\\call.log",
    "releaseString",
    "releaseSubInterface id=3",
    "getSubInterface id=3",
    'setParameters json={"rtc.video.capture":true,"che.video.local.capture":true,'
    '"che.video.local.render":true,"che.video.local.send":true}',
    "releaseSubInterface id=3",
    "getSubInterface id=3",
    "setBoolParameter key=rtc.video.mute_peers value=1",
    "releaseSubInterface id=3",
    "muteAllRemoteAudioStreams value=0",
    "setLocalAudioEnabled value=1",
    "enableDualStreamMode value=1",
    "getSubInterface id=3",
    'setParameters json={"rtc.video.web_h264_interop_enable":true,'
    '"che.video.web_h264_interop_enable":true}',
    "releaseSubInterface id=3",
    "getSubInterface id=3",
    'setParameters json={"che.audio.foreign":true}',
    "releaseSubInterface id=3",
    "getSubInterface id=4",
    "attachAudioObserver given=1",
    "releaseSubInterface id=4",
    "getSubInterface id=4",
    "attachVideoObserver given=1",
    "releaseSubInterface id=4",
    "enableAudio value=1",
    "enableVideo value=1",
    "setupLocalView view=501 mode=2 uid=77",
    "activateLocalView value=1",
    "joinChannel key=key-1 channel=foreign-room info= uid=77",
    "setupRemoteView view=502 mode=2 uid=1001",
    "setupRemoteView view=503 mode=2 uid=1002",
    "script users",
    "script frames",
    # 1001 left; its view is the next one handed out.
    "setupRemoteView view=502 mode=2 uid=1003",
    "script done",
    "leaveChannel",
    "script left",
    "releaseSubInterface id=2",
    "releaseSubInterface id=1",
    "release sync=0 outstanding=0",
]

# The engine numbers every field of a statistics record base + its slot, so a field read from
# the wrong offset shows; the unused slots 106, 211, 304, 409 and 412 are never printed.
EXPECTED_STATISTICS = [
    "onLocalVideoStats sentBitrate:100 sentFrameRate:101 encoderOutputFrameRate:102 "
    "rendererOutputFrameRate:103 targetBitrate:104 targetFrameRate:105 encodedBitrate:107 "
    "encodedFrameWidth:108 encodedFrameHeight:109 encodedFrameCount:110 codecType:111 "
    "txPacketLossRate:112 captureFrameRate:113",
    "onRemoteVideoStats uid:1001 delay:201 width:202 height:203 receivedBitrate:204 "
    "decoderOutputFrameRate:205 rendererOutputFrameRate:206 packetLossRate:207 rxStreamType:208 "
    "totalFrozenTime:209 frozenRate:210",
    "onLocalAudioStats numChannels:300 sentSampleRate:301 sentBitrate:302 txPacketLossRate:303",
    "onRemoteAudioStats uid:1002 quality:401 networkTransportDelay:402 jitterBufferDelay:403 "
    "audioLossRate:404 numChannels:405 receivedSampleRate:406 receivedBitrate:407 "
    "totalFrozenTime:408 totalActiveTime:410 publishDuration:411",
]

# (kind, uid) of every frame the engine delivers, in order, and the numbers the callable sees.
AUDIO_NUMBERS = [80, 2, 32000]
VIDEO_NUMBERS = [16, 8]
EXPECTED_FRAMES = [(0, 0), (1, 0), (2, 0), (3, 1001), (3, 1002), (10, 0), (11, 1001), (11, 1002)]
# Frames whose answer leaves every buffer as it was (None, empty).
UNCHANGED = {(2, 0)}


@pytest.fixture(scope="module")
def call(tmp_path_factory):
    site = tmp_path_factory.mktemp("foreign-site")
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--no-index", "--no-deps", "--target", str(site), WHEEL],
                   check=True, timeout=600)
    shipped = site / "velto_rtc_sdk.dll"
    assert shipped.is_file(), "the wheel ships no velto_rtc_sdk.dll beside the module"
    shutil.copyfile(ENGINE, str(shipped))
    run = subprocess.run([sys.executable, "-I", DRIVER, str(site)], capture_output=True,
                         text=True, timeout=300, cwd=str(site))
    lines = run.stdout.splitlines()
    results = [json.loads(line[len("RESULT "):]) for line in lines if line.startswith("RESULT ")]
    return run, lines, (results[0] if results else None), site


def frame_lines(result):
    """The journal's frame lines as dicts of their fields."""
    frames = []
    for line in result["journal"]:
        if line.startswith("frame "):
            frames.append(dict(item.split("=", 1) for item in line.split()[1:]))
    return frames


def test_the_call_ends_cleanly_with_the_wheel_and_the_foreign_engine(call):
    run, lines, result, site = call
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Traceback" not in run.stdout + run.stderr
    assert result is not None, run.stdout
    assert os.path.dirname(result["module"]) == str(site)
    assert result["version"] == "foreign-msvc 1.0"
    assert result["control"] == [True] * len(result["control"])
    assert [result["join"], result["leave"], result["flushed"]] == [0, 0, True]
    assert result["switches"] == [0, 0]


def test_every_module_call_reaches_the_engine_in_order(call):
    result = call[2]
    calls = [line for line in result["journal"] if not line.startswith("frame ")]
    assert calls == EXPECTED_CALLS


def test_statistics_and_the_echo_are_printed_field_for_field(call):
    lines = call[1]
    assert [line for line in lines if line.startswith("on")] == EXPECTED_STATISTICS
    assert 'setParameters:{"che.audio.foreign":true}' in lines


def test_participant_events_carry_the_engine_numbers(call):
    result = call[2]
    people = [{k: v for k, v in e.items() if k != "time"} for e in result["events"]
              if e["type"] in ("UserJoined", "UserLeft", "ChannelLeft")]
    assert people == [
        {"type": "UserJoined", "uid": 1001, "elapsed": 20},
        {"type": "UserJoined", "uid": 1002, "elapsed": 21},
        {"type": "UserLeft", "uid": 1001, "reason": 1},
        {"type": "UserJoined", "uid": 1003, "elapsed": 40},
        {"type": "ChannelLeft", "duration": 61, "tx_bytes": 62000, "rx_bytes": 63000,
         "user_count": 3},
    ]


def test_every_frame_kind_comes_back_rewritten_in_the_engine(call):
    result = call[2]
    engine_frames = frame_lines(result)
    seen = result["frames"]
    assert [(int(f["kind"]), int(f["uid"])) for f in engine_frames] == EXPECTED_FRAMES
    assert [(s["kind"], s["uid"]) for s in seen] == EXPECTED_FRAMES
    # One engine thread, not the interpreter's main thread, ran every callable.
    assert len({s["thread"] for s in seen}) == 1 and seen[0]["thread"] != result["main_thread"]
    for engine, callable_ in zip(engine_frames, seen):
        key = (callable_["kind"], callable_["uid"])
        assert (engine["answer"], engine["intact"]) == ("1", "1"), key
        assert callable_["numbers"] == (AUDIO_NUMBERS if key[0] < 10 else VIDEO_NUMBERS), key
        # What the callable was given is what the engine sent; what the engine found afterwards
        # is the callable's answer applied to it.
        assert engine["sent"].split(",") == callable_["sent"], key
        assert engine["back"].split(",") == callable_["back"], key
        assert (engine["back"] == engine["sent"]) == (key in UNCHANGED), key
