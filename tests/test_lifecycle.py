"""Import surface, argument parsing and the engine's lifecycle, read from the engine's journal."""
import threading

import pytest

import _pyveltosdk as sdk
import velto_sim as sim
from conftest import call_names, calls

FUNCTIONS = [
    "initialize", "terminate", "getVersion", "setLogPath", "logOff", "setChannelProfile",
    "setClientRole", "enableWebSdkInteroperability", "setVideoProfile", "setAudioProfile",
    "joinChannel", "leaveChannel", "enableVideo", "enableAudio", "muteLocalVideo",
    "muteLocalAudio", "muteAllRemoteVideoStreams", "muteAllRemoteAudioStreams",
    "enableDualStreamMode", "setParameters", "addView", "registerAudioObserver",
    "registerVideoObserver",
]


def test_module_has_the_23_functions_and_six_constants_and_no_audio_frame():
    public = {name for name in dir(sdk) if not name.startswith("_")}
    constants = {
        "StreamAudioRecord": 0, "StreamAudioPlay": 1, "StreamAudioMix": 2,
        "StreamAudioPlayBeforeMix": 3, "StreamVideoCap": 10, "StreamVideoRender": 11,
    }
    assert public == set(FUNCTIONS) | set(constants)
    for name, value in constants.items():
        assert getattr(sdk, name) == value and type(getattr(sdk, name)) is int
    assert not hasattr(sdk, "AudioFrame")
    assert sdk.initialize.__doc__ == "initialize velto engine"
    assert sdk.registerVideoObserver.__doc__ == "register Video Observer"


# One wrong call per function: wrong count, wrong type, embedded NUL or out-of-range int.
BAD_CALLS = [
    ("initialize", (), TypeError), ("initialize", (5,), TypeError),
    ("initialize", ("a", "b"), TypeError), ("initialize", ("a\0b",), ValueError),
    ("terminate", (1,), TypeError), ("getVersion", (None,), TypeError),
    ("setLogPath", (b"x",), TypeError), ("logOff", (0,), TypeError),
    ("setChannelProfile", (2**31,), OverflowError), ("setClientRole", ("1",), TypeError),
    ("enableWebSdkInteroperability", (), TypeError), ("setVideoProfile", (1, 2, 3), TypeError),
    ("setAudioProfile", (1, 2.5), TypeError), ("joinChannel", ("k", "c"), TypeError),
    ("joinChannel", ("k", "c", "5"), TypeError), ("leaveChannel", (1,), TypeError),
    ("enableVideo", (1, 2), TypeError), ("enableAudio", (), TypeError),
    ("muteLocalVideo", (), TypeError), ("muteLocalAudio", (1, 1), TypeError),
    ("muteAllRemoteVideoStreams", (), TypeError), ("muteAllRemoteAudioStreams", (), TypeError),
    ("enableDualStreamMode", (), TypeError), ("setParameters", (None,), TypeError),
    ("addView", (2**31,), OverflowError), ("addView", (-(2**31) - 1,), OverflowError),
    ("registerAudioObserver", (), TypeError), ("registerVideoObserver", (len, len), TypeError),
]


@pytest.mark.parametrize("name,args,error", BAD_CALLS, ids=lambda v: str(v)[:30])
def test_parser_refusals_raise_and_touch_nothing(engine, name, args, error):
    sim.reset()
    with pytest.raises(error):
        getattr(sdk, name)(*args)
    assert sim.journal() == []


@pytest.mark.parametrize("name", FUNCTIONS)
def test_no_function_takes_keyword_arguments(engine, name):
    sim.reset()
    with pytest.raises(TypeError):
        getattr(sdk, name)(value=1)
    assert sim.journal() == []


def test_get_version_is_bytes_without_an_engine(no_engine):
    assert sdk.getVersion() == sim.VERSION
    assert isinstance(sdk.getVersion(), bytes)
    assert call_names() == ["getEngineVersion", "getEngineVersion"]


def test_terminate_without_engine_calls_nothing(no_engine):
    assert sdk.terminate() is None
    assert sdk.terminate() is None
    assert sim.journal() == []


def test_initialize_creates_initializes_then_asks_for_sub_interfaces_2_and_1(no_engine):
    assert sdk.initialize('{"appId":"x"}') is None
    journal = sim.journal()
    assert [e["call"] for e in journal] == [
        "createEngine", "initialize", "getSubInterface", "getSubInterface",
    ]
    context = journal[1]["args"]
    assert context["initText"] == '{"appId":"x"}'
    assert context["eventHandler"] != 0
    assert context["extraPointer"] == 0
    assert context["extraWord"] == 0xFFFFFFFF
    assert [e["args"]["id"] for e in journal[2:]] == [2, 1]
    assert sim.counts()["alive"] == 1


def test_initialize_twice_releases_the_first_engine_once_before_creating_the_second(no_engine):
    sdk.initialize("")
    sdk.initialize("")
    names = call_names()
    assert names.count("release") == 1
    assert names.index("release") < [i for i, n in enumerate(names) if n == "createEngine"][1]
    assert calls("release") == [{"sync": False}]
    assert calls("initialize")[0]["initText"] == ""
    assert sim.counts()["alive"] == 1
    sdk.terminate()
    assert sim.counts()["alive"] == 0


def test_initialize_terminate_initialize_releases_only_from_terminate(no_engine):
    sdk.initialize("a")
    sdk.terminate()
    sdk.initialize("b")
    names = call_names()
    assert names.count("release") == 1
    assert names.index("release") < names.index("createEngine", names.index("release"))
    # Every sub-interface handed out for the first engine went back before it was released.
    assert sim.outstanding_refs(1) == 1 and sim.outstanding_refs(2) == 1
    sdk.terminate()
    assert sim.outstanding_refs(1) == 0 and sim.outstanding_refs(2) == 0


def test_refused_sub_interfaces_leave_initialize_working(no_engine):
    sim.refuse_subinterface(1)
    sim.refuse_subinterface(2)
    sdk.initialize("x")
    assert sim.counts()["alive"] == 1
    assert sdk.leaveChannel() == 0


def test_no_engine_from_the_library_leaves_every_function_on_its_failure_result(no_engine):
    sim.create_gives_null()
    assert sdk.initialize("x") is None
    assert call_names() == ["createEngine"]
    assert sdk.leaveChannel() == -7
    assert sdk.enableVideo(True) == -7
    assert sdk.setChannelProfile(1) is False
    assert sdk.muteLocalVideo(True) is False
    sdk.terminate()
    assert "release" not in call_names()


def test_concurrent_first_calls_share_one_engine_object(no_engine):
    barrier = threading.Barrier(8)

    def start():
        barrier.wait()
        sdk.initialize("race")
        sdk.registerAudioObserver(lambda *frame: None)

    threads = [threading.Thread(target=start) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Each engine gets an event handler of its own, so that a late notification of a released
    # engine is known as such; the engine object behind them, the frame observer, is one.
    handlers = {args["eventHandler"] for args in calls("initialize")}
    observers = {args["observer"] for args in calls("ObserverRegistry.attachAudioObserver")}
    assert len(calls("initialize")) == 8 and len(handlers) == 8 and len(observers) == 1
    sdk.terminate()
