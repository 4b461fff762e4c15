"""pyveltosdk's careful arguments: wrong values refused before the engine sees them, names and
numbers for enums, readable reprs, LeaveReason for every code, the version, the video hint."""
import importlib.metadata
import json
import re
import warnings

import pytest

import _pyveltosdk as sdk
import pyveltosdk as velto
import velto_sim as sim


@pytest.fixture
def engine():
    sdk.terminate()
    sim.reset()
    with velto.Engine() as opened:
        yield opened
    sim.reset()


@pytest.mark.parametrize("uid, error, match", [
    (-1, ValueError, "0 to 4294967295"), (2**32, ValueError, "0 to 4294967295"),
    (2**40, ValueError, "not 1099511627776"), (True, TypeError, "not bool"),
    ("7", TypeError, "not str"), (1.0, TypeError, "not float"),
])
def test_uids_outside_32_bits_are_refused_before_joining(engine, uid, error, match):
    with pytest.raises(error, match=match):
        engine.join("room", uid=uid)
    assert sim.calls("joinChannel") == []


@pytest.mark.parametrize("name, match", [
    ("", "empty"), ("x" * 65, "65 bytes long in UTF-8; the engine takes at most 64"),
    ("\u00e9" * 33, "66 bytes"), ("a\0b", "NUL"),
])
def test_channel_names_the_engine_cannot_take_say_why(engine, name, match):
    with pytest.raises(ValueError, match=match):
        engine.join(name)
    assert sim.calls("joinChannel") == []


@pytest.mark.parametrize("name, uid", [("x" * 64, 0), ("\u00e9" * 32, 2**32 - 1)])
def test_the_limits_themselves_are_joined(engine, name, uid):
    with engine.join(name, uid=uid) as channel:
        assert channel.uid == uid
    assert sim.calls("joinChannel")[0]["uid"] == uid
    assert sim.calls("joinChannel")[0]["channel"] == name


@pytest.mark.parametrize("value", [velto.ClientRole.AUDIENCE, "audience", "Audience", 2])
def test_a_role_is_the_enum_its_name_or_its_number(engine, value):
    engine.set_client_role(value)
    assert sim.calls("setClientRole")[-1]["role"] == 2


@pytest.mark.parametrize("method, args, call, expected", [
    ("set_channel_profile", ("live_broadcasting",), "setChannelProfile", {"profile": 1}),
    ("set_audio_profile", ("MUSIC_STANDARD", "chatroom_gaming"), "setAudioProfile",
     {"profile": 2, "scenario": 5}),
    ("set_audio_profile", (4,), "setAudioProfile", {"profile": 4, "scenario": 0}),
])
def test_profiles_and_scenarios_by_name_or_number(engine, method, args, call, expected):
    getattr(engine, method)(*args)
    got = sim.calls(call)[-1]
    assert {key: got[key] for key in expected} == expected


@pytest.mark.parametrize("method, args, error, match", [
    ("set_client_role", ("listener",), ValueError,
     r"no client role 'listener'; one of BROADCASTER \(1\), AUDIENCE \(2\)"),
    ("set_client_role", (3,), ValueError, "one of BROADCASTER"),
    ("set_client_role", (velto.ChannelProfile.GAME,), TypeError, "one of BROADCASTER"),
    ("set_client_role", (1.5,), TypeError, "not float"),
    ("set_channel_profile", ("broadcast",), ValueError, r"COMMUNICATION \(0\).*GAME \(2\)"),
    ("set_audio_profile", ("default", "party"), ValueError, r"audio scenario.*SHOWROOM \(4\)"),
])
def test_a_wrong_enum_value_names_the_allowed_ones(engine, method, args, error, match):
    before = len(sim.journal())
    with pytest.raises(error, match=match):
        getattr(engine, method)(*args)
    assert len(sim.journal()) == before


@pytest.mark.parametrize("init, text", [
    ({"sim": {"users": []}}, json.dumps({"sim": {"users": []}})), ("", ""), (" \n", ""),
    ('{"app": 1}', '{"app": 1}'),
])
def test_init_is_a_mapping_or_json_object_text(init, text):
    sdk.terminate()
    sim.reset()
    with velto.Engine(init):
        assert sim.calls("initialize")[0]["initText"] == text
    sim.reset()


@pytest.mark.parametrize("init, error, match", [
    ("users=3", ValueError, "not JSON"), ("[1, 2]", ValueError, "JSON object, not list"),
    ('"text"', ValueError, "not str"), (b"{}", TypeError, "not bytes"),
])
def test_other_init_text_is_refused(init, error, match):
    with pytest.raises(error, match=match):
        velto.Engine(init)


@pytest.mark.parametrize("code, name", [(0, "QUIT"), (1, "DROPPED"), (2, "BECAME_AUDIENCE"),
                                        (77, "UNKNOWN"), (-3, "UNKNOWN")])
def test_user_left_reason_is_always_a_leave_reason(channel, code, name):
    events = channel.events(types=(velto.UserLeft,))
    sim.fire("onRemoteUserOffline", uid=5, arg=code)
    reason = events.get(timeout=5).reason
    assert type(reason) is velto.LeaveReason and reason == code and reason.name == name
    assert type(velto.UserLeft(5, code).reason) is velto.LeaveReason
    assert len(velto.LeaveReason) == 3  # the unknown ones are not added to the class


def test_versions(engine):
    try:
        expected = importlib.metadata.version("pyveltosdk")
    except importlib.metadata.PackageNotFoundError:  # a build used in place, not installed
        expected = "0+unknown"
    assert velto.__version__ == expected
    assert isinstance(velto.Engine.version, property)
    assert engine.version == sdk.getVersion().decode() != ""


def test_reprs_say_what_a_thing_is(channel):
    engine = channel.engine
    frame = velto.AudioFrame(velto.StreamKind.RECORD, 7, 480, 1, 48000, 2, 1.5, bytes(960))
    picture = velto.VideoFrame(velto.StreamKind.RENDER, 9, 4, 2, 2.0, bytes(8), bytes(2),
                               bytes(2))
    expected = [
        (engine, "<Engine open, in channel 'room' as uid 1>"),
        (channel, "<Channel 'room' uid=1, 0 remote user(s)>"),
        (frame, "AudioFrame(kind=RECORD, uid=7, samples=480, channels=1, sample_rate=48000, "
                "bytes_per_sample=2, time=1.500, data=<960 bytes>)"),
        (picture, "VideoFrame(kind=RENDER, uid=9, width=4, height=2, time=2.000, "
                  "y=<8 bytes>, u=<2 bytes>, v=<2 bytes>)"),
        (channel.audio_frames(5, kinds=[velto.StreamKind.RECORD]),
         "<FrameStream uid 5 of RECORD, 0/64 buffered, 0 dropped, open>"),
        (channel.events(), "<EventStream open, 0 dropped>"),
        (channel.publish_audio(bytes(9600)),
         re.compile(r"<Publication RECORD of bytes of 9600 bytes, running: \d+ frames sent, "
                    r"\d+ underruns>")),
    ]
    for thing, text in expected:
        if isinstance(text, str):
            assert repr(thing) == text
        else:
            assert text.match(repr(thing)), repr(thing)
    channel.leave()
    assert repr(channel) == "<Channel 'room' uid=1, left>"
    engine.close()
    assert repr(engine) == "<Engine closed>"


def test_video_frames_with_video_off_warn_once(engine):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with engine.join("room") as channel:
            channel.audio_frames()
            channel.video_frames()
            channel.video_frames()
        with engine.join("room") as channel:
            channel.video_frames()
        engine.close()
        with velto.Engine() as video_on, video_on.join("room") as channel:
            video_on.enable_video()
            channel.video_frames()
    assert [w.category for w in caught] == [RuntimeWarning]
    assert "engine.enable_video()" in str(caught[0].message)
    assert caught[0].filename == __file__  # points at the caller's line
