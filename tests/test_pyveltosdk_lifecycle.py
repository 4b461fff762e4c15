"""pyveltosdk's Engine and Channel: lifecycles that end on errors, switches with Python types."""
import json

import pytest

import _pyveltosdk as sdk
import pyveltosdk as velto
import velto_sim as sim


@pytest.fixture
def fresh():
    sdk.terminate()
    sim.reset()
    yield
    sdk.terminate()
    sim.reset()


def call_names():
    return [entry["call"] for entry in sim.journal()]


@pytest.mark.parametrize("raise_in", ["engine", "channel"])
def test_leaving_and_terminating_happen_when_the_body_raises(fresh, raise_in):
    with pytest.raises(KeyError):
        with velto.Engine({"app": "x"}) as engine:
            if raise_in == "engine":
                engine.join("room", uid=3)  # left by the engine, never by a with block
                raise KeyError("engine body")
            with engine.join("room", uid=3) as channel:
                channel.audio_frames()
                raise KeyError("channel body")
    names = call_names()
    assert names.index("joinChannel") < names.index("leaveChannel") < names.index("release")
    assert names.count("leaveChannel") == 1
    assert sim.calls("initialize")[0]["initText"] == json.dumps({"app": "x"})
    assert sim.counts()["alive"] == 0
    # Entering again works: nothing of the failed run is left open.
    with velto.Engine() as engine, engine.join("again"):
        pass
    assert sim.counts()["alive"] == 0


def test_one_engine_at_a_time_and_nothing_without_one(fresh):
    engine = velto.Engine()
    with pytest.raises(RuntimeError, match="not open"):
        engine.join("room")
    with engine:
        with pytest.raises(RuntimeError, match="one engine"):
            velto.Engine().open()
        with engine.join("room") as channel:
            with pytest.raises(RuntimeError, match="already in channel"):
                engine.join("other")
            assert engine.channel is channel
        assert engine.channel is None
        with pytest.raises(RuntimeError, match="was left"):
            channel.audio_frames()
    assert not engine.is_open
    engine.close()  # idempotent
    assert call_names().count("release") == 1


def test_failed_join_raises_with_the_engine_result_and_keeps_the_engine(fresh):
    with velto.Engine() as engine:
        sim.set_result("joinChannel", -17)
        with pytest.raises(velto.EngineError) as failure:
            engine.join("room")
        assert (failure.value.operation, failure.value.code) == ("joinChannel", -17)
        assert engine.channel is None
        sim.clear_results()
        with engine.join("room", uid=9, key="k"):
            pass
    assert sim.calls("joinChannel")[-1] == {"key": "k", "channel": "room", "info": "", "uid": 9}


SWITCHES = [
    # (method, args, journal entry, its args)
    ("enable_video", (False,), "disableVideo", {}),
    ("enable_audio", (), "enableAudio", {}),
    ("mute_local_audio", (), "setLocalAudioEnabled", {"enabled": False}),
    ("mute_remote_audio", (False,), "muteAllRemoteAudioStreams", {"mute": False}),
    ("enable_dual_stream", (), "enableDualStreamMode", {"enabled": True}),
    ("set_channel_profile", (velto.ChannelProfile.LIVE_BROADCASTING,), "setChannelProfile",
     {"profile": 1}),
    ("set_client_role", (velto.ClientRole.AUDIENCE,), "setClientRole", {"role": 2}),
    ("set_audio_profile", (velto.AudioProfile.MUSIC_STANDARD, velto.AudioScenario.SHOWROOM),
     "setAudioProfile", {"profile": 2, "scenario": 4}),
]


@pytest.mark.parametrize("method,args,call,call_args", SWITCHES)
def test_switches_reach_the_engine_and_failures_raise(fresh, method, args, call, call_args):
    with velto.Engine() as engine:
        sim.reset()
        assert getattr(engine, method)(*args) is None
        assert sim.calls(call) == [call_args]
        sim.set_result(call, -3)
        with pytest.raises(velto.EngineError):
            getattr(engine, method)(*args)


def test_parameters_and_video_profile(fresh, capfd):
    with velto.Engine() as engine:
        engine.set_parameters({"che.video.local.capture": False})
        engine.set_video_profile(160, 120, 10, 300)
        engine.mute_local_video()
    assert capfd.readouterr().out == 'setParameters:{"che.video.local.capture": false}\n'
    config = sim.calls("setVideoConfiguration")[0]
    assert (config["width"], config["height"], config["frameRate"], config["bitrate"]) == (
        160, 120, 10, 300)
    muted = json.loads(sim.calls("EngineParameters.setParameters")[-1]["json"])
    assert muted["rtc.video.capture"] is False
