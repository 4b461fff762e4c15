"""Media switches, engine parameters, the log path and the statistics lines."""
import threading

import pytest

import _pyveltosdk as sdk
import velto_sim as sim
from conftest import call_names, calls, run_python

MUTE_TEMPLATE = ('{"rtc.video.capture":%s,"che.video.local.capture":%s,'
                 '"che.video.local.render":%s,"che.video.local.send":%s}')
INTEROP_TEMPLATE = ('{"rtc.video.web_h264_interop_enable":%s,'
                    '"che.video.web_h264_interop_enable":%s}')


@pytest.mark.parametrize("mute,word", [(True, "false"), (False, "true"), ("", "true"), ([1], "false")])
def test_mute_local_video_sends_the_opposite_in_all_four_places(engine, mute, word):
    assert sdk.muteLocalVideo(mute) is True
    assert calls("EngineParameters.setParameters") == [{"json": MUTE_TEMPLATE % ((word,) * 4)}]
    assert sim.outstanding_refs(3) == 0


@pytest.mark.parametrize("enable,word", [(True, "true"), (0, "false")])
def test_web_interoperability_template(engine, enable, word):
    assert sdk.enableWebSdkInteroperability(enable) is True
    assert calls("EngineParameters.setParameters") == [{"json": INTEROP_TEMPLATE % (word, word)}]


def test_parameter_results_map_to_bools(engine):
    sim.set_result("EngineParameters.setParameters", 3)
    assert sdk.muteLocalVideo(True) is False
    assert sdk.enableWebSdkInteroperability(True) is False
    sim.set_result("EngineParameters.setBoolParameter", -1)
    assert sdk.muteAllRemoteVideoStreams(True) is False
    assert sim.outstanding_refs(3) == 0


@pytest.mark.parametrize("mute", [True, False])
def test_remote_mutes_use_a_parameter_for_video_and_an_operation_for_audio(engine, mute):
    assert sdk.muteAllRemoteVideoStreams(mute) is True
    assert sdk.muteAllRemoteAudioStreams(mute) is True
    assert calls("EngineParameters.setBoolParameter") == [
        {"key": "rtc.video.mute_peers", "value": mute}]
    assert calls("muteAllRemoteAudioStreams") == [{"mute": mute}]


@pytest.mark.parametrize("mute", [True, False])
def test_mute_local_audio_inverts_its_argument(engine, mute):
    assert sdk.muteLocalAudio(mute) is True
    assert calls("setLocalAudioEnabled") == [{"enabled": not mute}]


@pytest.mark.parametrize("name,on,off", [
    ("enableVideo", "enableVideo", "disableVideo"),
    ("enableAudio", "enableAudio", "disableAudio"),
])
def test_enable_switches_call_the_direct_operations_and_return_the_int(engine, name, on, off):
    sim.set_result(off, -4)
    assert getattr(sdk, name)(False) == -4
    assert getattr(sdk, name)("") == -4
    assert getattr(sdk, name)(0.5) == 0
    assert call_names() == [off, off, on]


def test_dual_stream_mode_reports_success_as_true(engine):
    assert sdk.enableDualStreamMode(True) is True
    sim.set_result("enableDualStreamMode", -1)
    assert sdk.enableDualStreamMode(False) is False
    assert [c["enabled"] for c in calls("enableDualStreamMode")] == [True, False]


def test_video_profile_fills_the_configuration(engine):
    assert sdk.setVideoProfile(1, 2, 3, 4) is True
    assert calls("setVideoConfiguration") == [{
        "width": 1, "height": 2, "frameRate": 3, "minFrameRate": -1, "bitrate": 4,
        "minBitrate": -1, "orientationMode": 1, "degradationPreference": 0, "mirrorMode": 0}]
    sim.set_result("setVideoConfiguration", 2)
    assert sdk.setVideoProfile(-1, 2**31 - 1, -(2**31), 0) is False


def test_audio_profile_passes_both_ints_in_order(engine):
    assert sdk.setAudioProfile(1, 2) is True
    assert calls("setAudioProfile") == [{"profile": 1, "scenario": 2}]


def test_set_parameters_echoes_on_native_stdout_and_passes_the_text(engine, capfd):
    assert sdk.setParameters('{"che.audio.x":true}') is None
    assert sdk.setParameters("") is None
    assert capfd.readouterr().out == 'setParameters:{"che.audio.x":true}\nsetParameters:\n'
    assert calls("EngineParameters.setParameters") == [{"json": '{"che.audio.x":true}'},
                                                       {"json": ""}]


def test_set_log_path_uses_the_resolved_path_and_releases_it(engine):
    assert sdk.setLogPath("logs/a.log") is True
    resolved = calls("EngineParameters.setStringParameter")[0]
    assert resolved["key"] == "rtc.log_file" and resolved["value"] != "logs/a.log"
    assert "logs/a.log" in resolved["value"]
    names = call_names()
    assert names.index("SdkString.release") > names.index("EngineParameters.setStringParameter")
    assert names.index("EngineParameters.release") > names.index("SdkString.release")
    assert sim.outstanding_refs(5) == 0 and sim.outstanding_refs(3) == 0


def test_set_log_path_falls_back_to_the_path_as_given(engine):
    sim.fail_resolve_path()
    sim.set_result("EngineParameters.setStringParameter", 9)
    assert sdk.setLogPath("/tmp/é.log") is False
    assert calls("EngineParameters.setStringParameter") == [
        {"key": "rtc.log_file", "value": "/tmp/é.log"}]
    assert "SdkString.release" not in call_names()


@pytest.mark.parametrize("setup", ["no engine", "no parameters"])
def test_every_function_without_engine_or_parameters(engine, capfd, setup):
    if setup == "no engine":
        sdk.terminate()
        sim.reset()
    else:
        sim.refuse_subinterface(3)
    direct = setup == "no engine"
    assert sdk.muteLocalVideo(True) is False
    assert sdk.muteAllRemoteVideoStreams(True) is False
    assert sdk.enableWebSdkInteroperability(True) is False
    assert sdk.setLogPath("x") is False
    assert sdk.setParameters("{}") is None
    assert capfd.readouterr().out == "setParameters:{}\n"
    assert sdk.logOff.__doc__ == "Log off"
    if direct:
        assert sdk.enableVideo(True) == -7 and sdk.enableAudio(False) == -7
        for name in ("muteLocalAudio", "muteAllRemoteAudioStreams", "enableDualStreamMode"):
            assert getattr(sdk, name)(True) is False
        assert sdk.setVideoProfile(1, 2, 3, 4) is False
        assert sdk.setAudioProfile(1, 2) is False
        assert sim.journal() == []
    else:
        assert not [n for n in call_names() if n.startswith("EngineParameters.")]


STATS_LINES = {
    "onLocalVideoStats": (
        dict(sentBitrate=-1, sentFrameRate=2, encoderOutputFrameRate=3,
             rendererOutputFrameRate=4, targetBitrate=5, targetFrameRate=6, unused1=999,
             encodedBitrate=7, encodedFrameWidth=8, encodedFrameHeight=9, encodedFrameCount=10,
             codecType=11, txPacketLossRate=65535, unused2=888, captureFrameRate=-2147483648,
             unused3=777),
        "onLocalVideoStats sentBitrate:-1 sentFrameRate:2 encoderOutputFrameRate:3 "
        "rendererOutputFrameRate:4 targetBitrate:5 targetFrameRate:6 encodedBitrate:7 "
        "encodedFrameWidth:8 encodedFrameHeight:9 encodedFrameCount:10 codecType:11 "
        "txPacketLossRate:65535 captureFrameRate:-2147483648"),
    "onRemoteVideoStats": (
        dict(uid=4294967295, delay=-1, width=640, height=360, receivedBitrate=800,
             decoderOutputFrameRate=15, rendererOutputFrameRate=14, packetLossRate=3,
             rxStreamType=1, totalFrozenTime=0, frozenRate=2147483647, unused1=555),
        "onRemoteVideoStats uid:4294967295 delay:-1 width:640 height:360 receivedBitrate:800 "
        "decoderOutputFrameRate:15 rendererOutputFrameRate:14 packetLossRate:3 rxStreamType:1 "
        "totalFrozenTime:0 frozenRate:2147483647"),
    "onLocalAudioStats": (
        dict(numChannels=1, sentSampleRate=800, sentBitrate=24, txPacketLossRate=3, unused1=4,
             unused2=5),
        "onLocalAudioStats numChannels:1 sentSampleRate:800 sentBitrate:24 txPacketLossRate:3"),
    "onRemoteAudioStats": (
        dict(uid=2**31, quality=-5, networkTransportDelay=1, jitterBufferDelay=2,
             audioLossRate=3, numChannels=2, receivedSampleRate=48000, receivedBitrate=64,
             totalFrozenTime=7, unused1=123456, totalActiveTime=8, publishDuration=9,
             unused2=654321),
        "onRemoteAudioStats uid:2147483648 quality:-5 networkTransportDelay:1 "
        "jitterBufferDelay:2 audioLossRate:3 numChannels:2 receivedSampleRate:48000 "
        "receivedBitrate:64 totalFrozenTime:7 totalActiveTime:8 publishDuration:9"),
}


@pytest.mark.parametrize("event", sorted(STATS_LINES))
def test_statistics_lines_exactly(engine, capfd, event):
    fields, line = STATS_LINES[event]
    sim.fire(event, **fields)
    assert sdk._flushOutput()
    assert capfd.readouterr().out == line + "\n"


def test_unhandled_notifications_do_nothing(engine, capfd):
    for event in ("onWarning", "onError", "onJoinChannelSuccess", "onConnectionLost",
                  "onFirstRemoteVideoFrame", "onRejoinChannelSuccess"):
        sim.fire(event, uid=3, arg=4)
    assert sdk._flushOutput()
    assert capfd.readouterr().out == ""
    assert [n for n in call_names() if n not in ("fire",)] == []


def test_concurrent_reports_never_mix_within_a_line():
    proc = run_python("""
        import threading, _pyveltosdk as sdk, velto_sim as sim
        sdk.initialize("")
        def report(thread):
            for i in range(300):
                if thread % 2:
                    sim.fire("onRemoteVideoStats", uid=i, thread=thread, width=thread, delay=i)
                else:
                    sim.fire("onLocalAudioStats", thread=thread, numChannels=thread,
                             sentSampleRate=i)
        ts = [threading.Thread(target=report, args=(k,)) for k in range(4)]
        for t in ts: t.start()
        for t in ts: t.join()
    """)
    lines = proc.stdout.splitlines()
    assert len(lines) == 1200
    for line in lines:
        assert line.startswith(("onLocalAudioStats numChannels:", "onRemoteVideoStats uid:"))
        assert line.count("onL") + line.count("onR") == 1
        assert line.endswith(("txPacketLossRate:0", "frozenRate:0"))


def test_log_off_silences_statistics_for_good():
    proc = run_python("""
        import _pyveltosdk as sdk, velto_sim as sim
        sdk.initialize("")
        sim.fire("onLocalAudioStats", numChannels=1)
        assert sdk.logOff() is True and sdk.logOff() is True
        for event in ("onLocalVideoStats", "onRemoteVideoStats", "onLocalAudioStats",
                      "onRemoteAudioStats"):
            sim.fire(event)
        sdk.terminate()
        sdk.initialize("again")
        sim.fire("onRemoteAudioStats", uid=1)
        sdk.setParameters("{}")
    """)
    assert proc.stdout == ("onLocalAudioStats numChannels:1 sentSampleRate:0 sentBitrate:0 "
                           "txPacketLossRate:0\nsetParameters:{}\n")
