"""The simulated engine library, driven directly through ctypes (no _pyveltosdk).

The engine's C++ objects are called through their vtables and the module's side (event handler,
frame observers) is played by C++-shaped objects built from ctypes callbacks: the first word of an
object points at its virtual function slots, in declaration order. The event handler's virtual
destructor takes two slots in the Itanium C++ ABI and one in Microsoft's, which the closed library
uses on Windows and the simulated engine follows there: the handler below is laid out as each
platform's engine reads it, so an engine reading the wrong layout fails these tests.
"""

import ctypes
import os
import sys
import threading
import time

import pytest

try:
    import velto_sim
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    import velto_sim

from ctypes import (CFUNCTYPE, POINTER, addressof, byref, c_bool, c_char, c_char_p, c_int,
                    c_int32, c_int64, c_uint32, c_void_p, cast, sizeof)

LIB = velto_sim._lib
WINDOWS = sys.platform == "win32"
# On Windows the factory and the version query are exported by ordinal only, and
# IRtcEngine::release under its Microsoft name.
CREATE_ENGINE = LIB[2] if WINDOWS else LIB.createEngine
GET_ENGINE_VERSION = LIB[3] if WINDOWS else LIB.getEngineVersion
CREATE_ENGINE.restype = c_void_p
CREATE_ENGINE.argtypes = []
RELEASE = getattr(LIB, "?release@IRtcEngine@rtc@velto@@SAX_N@Z" if WINDOWS
                  else "_ZN5velto3rtc10IRtcEngine7releaseEb")
RELEASE.restype = None
RELEASE.argtypes = [c_bool]


# --- records the module hands to the engine -------------------------------------------------

class EngineContext(ctypes.Structure):
    _fields_ = [("eventHandler", c_void_p), ("initText", c_char_p), ("extraPointer", c_void_p),
                ("extraWord", c_uint32)]


class VideoCanvas(ctypes.Structure):
    _fields_ = [("view", c_int64), ("mode", c_int32), ("label", c_char * 68), ("uid", c_uint32),
                ("reserved", c_int64), ("reserved2", c_int32)]


class VideoConfiguration(ctypes.Structure):
    _fields_ = [(name, c_int32) for name in (
        "width", "height", "frameRate", "minFrameRate", "bitrate", "minBitrate",
        "orientationMode", "degradationPreference", "mirrorMode")]


class EngineAudioFrame(ctypes.Structure):
    _fields_ = [("type", c_int32), ("samples", c_int32), ("bytesPerSample", c_int32),
                ("channels", c_int32), ("samplesPerSec", c_int32), ("buffer", c_void_p),
                ("renderTimeMs", c_int64)]


class EngineVideoFrame(ctypes.Structure):
    _fields_ = [("type", c_int32), ("width", c_int32), ("height", c_int32),
                ("yStride", c_int32), ("uStride", c_int32), ("vStride", c_int32),
                ("yPlane", c_void_p), ("uPlane", c_void_p), ("vPlane", c_void_p),
                ("rotation", c_int32), ("renderTimeMs", c_int64)]


LIB.vsim_record_size.restype = ctypes.c_size_t
LIB.vsim_record_size.argtypes = [c_char_p]
for _record in (EngineContext, VideoCanvas, VideoConfiguration, EngineAudioFrame,
                EngineVideoFrame):
    assert LIB.vsim_record_size(_record.__name__.encode()) == sizeof(_record), _record


# --- calling the engine's objects -------------------------------------------------------------

def vcall(obj, slot, restype, argtypes, *args):
    """Calls virtual function `slot` of the C++ object at address `obj`."""
    vtable = c_void_p.from_address(obj).value
    function = c_void_p.from_address(vtable + slot * sizeof(c_void_p)).value
    return CFUNCTYPE(restype, c_void_p, *argtypes)(function)(obj, *args)


class Engine:
    """IRtcEngine, slots in declaration order."""

    def __init__(self, address):
        self.address = address

    def initialize(self, context):
        return vcall(self.address, 0, c_int, [c_void_p],
                     None if context is None else addressof(context))

    def join_channel(self, key, channel, info, uid):
        return vcall(self.address, 3, c_int, [c_char_p, c_char_p, c_char_p, c_uint32],
                     key, channel, info, uid)

    def get_sub_interface(self, id, out):
        return vcall(self.address, 5, c_int, [c_int, c_void_p], id, out)

    def set_video_configuration(self, config):
        return vcall(self.address, 8, c_int, [c_void_p],
                     None if config is None else addressof(config))

    def setup_local_view(self, canvas):
        return vcall(self.address, 9, c_int, [c_void_p],
                     None if canvas is None else addressof(canvas))

    def set_local_audio_enabled(self, enabled):
        return vcall(self.address, 13, c_int, [c_bool], enabled)

    def set_audio_profile(self, profile, scenario):
        return vcall(self.address, 15, c_int, [c_int, c_int], profile, scenario)

    def sub_interface(self, id):
        out = c_void_p(0)
        assert self.get_sub_interface(id, byref(out)) == 0
        return out.value


def release_sub(obj):  # ISubInterface::release, slot 0 of every sub-interface
    vcall(obj, 0, None, [])


def attach_audio(registry, observer):
    return vcall(registry, 1, c_int, [c_void_p], observer)


def attach_video(registry, observer):
    return vcall(registry, 2, c_int, [c_void_p], observer)


def resolve_path(parameters, path, out):
    return vcall(parameters, 4, c_int, [c_char_p, c_void_p], path, out)


# --- the module's side, played by ctypes callbacks ------------------------------------------

class FakeCppObject:
    """A C++ object whose virtual functions are the given ctypes callbacks."""

    # The engine may call any handler or observer it ever knew (the fallback thread serves the
    # last engine's), so none is ever freed.
    _kept = []

    def __init__(self, functions):
        self._functions = functions
        self._vtable = (c_void_p * len(functions))(*[cast(f, c_void_p) for f in functions])
        self._object = (c_void_p * 1)(addressof(self._vtable))
        self.address = addressof(self._object)
        FakeCppObject._kept.append(self)


class Handler:
    """IRtcEngineEventHandler that records every notification with the native thread it ran on.
    `gate`, when set, holds onWarning until it is opened."""

    def __init__(self):
        self.events = []
        self.gate = None
        this = c_void_p
        stats = velto_sim.EVENT_RECORDS

        def note(*event):
            self.events.append(event + (threading.get_native_id(),))

        def stats_reader(name):
            def read(_, record):
                copy = stats[name].from_address(record)
                note(name, {f: getattr(copy, f) for f, _t in stats[name]._fields_})
            return CFUNCTYPE(None, this, c_void_p)(read)

        def on_warning(_, code, message):
            if self.gate is not None:
                self.gate.wait()
            note("onWarning", code, message)

        if WINDOWS:  # the scalar deleting destructor, (this, flags) -> this
            destructors = [CFUNCTYPE(c_void_p, this, ctypes.c_uint)(lambda this, _: this)]
        else:  # complete and deleting destructors
            destructors = [CFUNCTYPE(None, this)(lambda _: None)] * 2
        self.obj = FakeCppObject(destructors + [
            CFUNCTYPE(None, this, c_int, c_char_p)(on_warning),
            CFUNCTYPE(None, this, c_int, c_char_p)(lambda _, c, m: note("onError", c, m)),
            CFUNCTYPE(None, this, c_char_p, c_uint32, c_int)(
                lambda _, ch, uid, el: note("onJoinChannelSuccess", ch, uid, el)),
            CFUNCTYPE(None, this, c_char_p, c_uint32, c_int)(
                lambda _, ch, uid, el: note("onRejoinChannelSuccess", ch, uid, el)),
            stats_reader("onChannelLeft"),
            CFUNCTYPE(None, this, c_uint32, c_int)(
                lambda _, uid, el: note("onRemoteUserJoined", uid, el)),
            CFUNCTYPE(None, this, c_uint32, c_int)(
                lambda _, uid, reason: note("onRemoteUserOffline", uid, reason)),
            CFUNCTYPE(None, this)(lambda _: note("onConnectionLost")),
            stats_reader("onLocalVideoStats"),
            stats_reader("onRemoteVideoStats"),
            stats_reader("onLocalAudioStats"),
            stats_reader("onRemoteAudioStats"),
            CFUNCTYPE(None, this, c_uint32, c_int, c_int, c_int)(
                lambda _, uid, w, h, el: note("onFirstRemoteVideoFrame", uid, w, h, el)),
        ])
        self.address = self.obj.address


class AudioObserver:
    """IAudioFrameObserver: records each frame and lets `action(frame)` answer (default True)."""

    def __init__(self, options=(True, False)):
        self.frames = []
        self.action = lambda frame: True
        this = c_void_p
        frame_p = POINTER(EngineAudioFrame)

        def seen(stream, uid, frame_ptr):
            frame = frame_ptr.contents
            self.frames.append((stream, uid, {f: getattr(frame, f) for f, _t in frame._fields_},
                                threading.get_native_id()))
            return self.action(frame)

        self.obj = FakeCppObject([
            CFUNCTYPE(c_bool, this, frame_p)(lambda _, f: seen(0, None, f)),
            CFUNCTYPE(c_bool, this, frame_p)(lambda _, f: seen(1, None, f)),
            CFUNCTYPE(c_bool, this, frame_p)(lambda _, f: seen(2, None, f)),
            CFUNCTYPE(c_bool, this, c_uint32, frame_p)(lambda _, uid, f: seen(3, uid, f)),
            CFUNCTYPE(c_bool, this)(lambda _: options[0]),
            CFUNCTYPE(c_bool, this)(lambda _: options[1]),
        ])
        self.address = self.obj.address


class VideoObserver:
    """IVideoFrameObserver: records each frame; `action(frame)` answers. Option n answers
    options[n-1]."""

    def __init__(self, options):
        self.frames = []
        self.action = lambda frame: True
        this = c_void_p
        frame_p = POINTER(EngineVideoFrame)

        def seen(stream, uid, frame_ptr):
            frame = frame_ptr.contents
            self.frames.append((stream, uid, {f: getattr(frame, f) for f, _t in frame._fields_}))
            return self.action(frame)

        def option(n, restype):
            return CFUNCTYPE(restype, this)(lambda _: options[n - 1])

        self.obj = FakeCppObject([
            CFUNCTYPE(c_bool, this, frame_p)(lambda _, f: seen(10, None, f)),
            option(1, c_bool),
            CFUNCTYPE(c_bool, this, c_uint32, frame_p)(lambda _, uid, f: seen(11, uid, f)),
            option(2, c_int), option(3, c_bool), option(4, c_bool), option(5, c_bool),
            option(6, c_int), option(7, c_bool), option(8, c_bool),
        ])
        self.address = self.obj.address


# --- fixtures ---------------------------------------------------------------------------------

@pytest.fixture(autouse=True)
def clean_sim():
    # Tests here own every engine alive; releasing someone else's engine would pull it from
    # under its owner.
    if velto_sim.counts()["alive"] != 0:
        pytest.fail("an engine created elsewhere is still alive")
    velto_sim.reset()
    yield
    while velto_sim.counts()["alive"] > 0:
        RELEASE(True)
    velto_sim.reset()


@pytest.fixture
def engine():
    address = CREATE_ENGINE()
    assert address
    return Engine(address)


def initialized(engine, handler):
    context = EngineContext(handler.address, b"app", None, 0)
    assert engine.initialize(context) == 0
    return context


def journal_without(*names):
    return [e for e in velto_sim.journal() if e["call"] not in names]


# --- entry points and engine lifetime ---------------------------------------------------------

class TestLifetime:
    def test_version_text_and_build(self):
        build = c_int(0)
        GET_ENGINE_VERSION.restype = c_char_p
        assert GET_ENGINE_VERSION(byref(build)) == velto_sim.VERSION
        assert build.value == velto_sim.BUILD > 0
        assert velto_sim.calls("getEngineVersion") == [{"build": velto_sim.BUILD}]
        GET_ENGINE_VERSION(None)  # no build wanted: must not crash
        assert velto_sim.calls("getEngineVersion")[-1] == {"build": None}

    def test_create_and_release_are_counted_and_journaled(self):
        first = CREATE_ENGINE()
        second = CREATE_ENGINE()
        assert first and second and first != second
        assert velto_sim.counts() == {"created": 2, "alive": 2, "released": 0}
        RELEASE(False)
        assert velto_sim.counts() == {"created": 2, "alive": 1, "released": 1}
        entries = velto_sim.journal()
        ids = [e["result"] for e in entries if e["call"] == "createEngine"]
        assert ids[1] == ids[0] + 1
        # release ends the most recently created engine
        assert entries[-1] == {"engine": ids[1], "call": "release", "args": {"sync": False},
                               "result": None}

    def test_release_without_engine_only_journals(self):
        RELEASE(True)
        assert velto_sim.counts() == {"created": 0, "alive": 0, "released": 0}
        assert velto_sim.journal() == [
            {"engine": 0, "call": "release", "args": {"sync": True}, "result": None}]

    def test_create_gives_null_on_request(self):
        velto_sim.create_gives_null()
        assert CREATE_ENGINE() is None
        assert velto_sim.counts()["created"] == 0
        velto_sim.create_gives_null(False)
        assert CREATE_ENGINE()

    def test_reset_restarts_counters_from_alive_engines(self):
        CREATE_ENGINE()
        CREATE_ENGINE()
        RELEASE(True)
        velto_sim.reset()
        assert velto_sim.counts() == {"created": 1, "alive": 1, "released": 0}
        assert velto_sim.journal() == []

    def test_release_does_not_wait_for_a_busy_engine_thread(self, engine):
        handler = Handler()
        initialized(engine, handler)
        handler.gate = threading.Event()
        # Opens late rather than never, so an engine that waits in release fails instead of hanging.
        late_open = threading.Timer(3.0, handler.gate.set)
        late_open.start()
        outcome = []
        firing = threading.Thread(
            target=lambda: outcome.append(velto_sim.fire("onWarning", arg=1, timeout=None)))
        firing.start()
        deadline = time.monotonic() + 5
        while not velto_sim.calls("fire"):  # then the engine thread is inside onWarning
            assert time.monotonic() < deadline
            time.sleep(0.001)
        started = time.monotonic()
        RELEASE(False)
        assert time.monotonic() - started < 1.0
        assert handler.events == []
        handler.gate.set()
        late_open.cancel()
        firing.join(5)
        # the queued notification still completes after release
        assert outcome == [None]
        assert handler.events[0][:3] == ("onWarning", 1, b"sim")


# --- operations and the journal ---------------------------------------------------------------

class TestOperations:
    def test_arguments_are_decoded(self, engine):
        eid = velto_sim.journal()[-1]["result"]
        handler = Handler()
        context = EngineContext(handler.address, "grüße".encode(), 0x1234, 0xFFFFFFFF)
        assert engine.initialize(context) == 0
        assert engine.join_channel(b"key", b"room\xff", b"", 4294967295) == 0
        assert engine.set_local_audio_enabled(True) == 0
        assert engine.set_audio_profile(3, 5) == 0
        assert velto_sim.journal()[-4:] == [
            {"engine": eid, "call": "initialize", "result": 0,
             "args": {"eventHandler": handler.address, "initText": "grüße",
                      "extraPointer": 0x1234, "extraWord": 0xFFFFFFFF}},
            {"engine": eid, "call": "joinChannel", "result": 0,
             "args": {"key": "key", "channel": "room\ufffd", "info": "", "uid": 4294967295}},
            {"engine": eid, "call": "setLocalAudioEnabled", "result": 0,
             "args": {"enabled": True}},
            {"engine": eid, "call": "setAudioProfile", "result": 0,
             "args": {"profile": 3, "scenario": 5}},
        ]

    def test_records_are_decoded_field_by_field(self, engine):
        canvas = VideoCanvas(-7, 2, b"x" * 68, 99, 1 << 40, -3)  # label without a NUL
        assert engine.setup_local_view(canvas) == 0
        config = VideoConfiguration(*range(1, 10))
        assert engine.set_video_configuration(config) == 0
        assert velto_sim.calls("setupLocalView") == [
            {"view": -7, "mode": 2, "label": "x" * 68, "uid": 99, "reserved": 1 << 40,
             "reserved2": -3}]
        assert velto_sim.calls("setVideoConfiguration") == [dict(zip(
            ["width", "height", "frameRate", "minFrameRate", "bitrate", "minBitrate",
             "orientationMode", "degradationPreference", "mirrorMode"], range(1, 10)))]

    def test_null_texts_and_records_are_rejected(self, engine):
        assert engine.join_channel(None, b"room", b"", 1) == -2
        assert engine.setup_local_view(None) == -2
        assert engine.set_video_configuration(None) == -2
        assert engine.initialize(None) == -2
        assert engine.initialize(EngineContext(Handler().address, None, None, 0)) == -2
        assert [(e["call"], e["args"], e["result"]) for e in velto_sim.journal()[-5:]] == [
            ("joinChannel", {"key": None, "channel": "room", "info": "", "uid": 1}, -2),
            ("setupLocalView", {"canvas": None}, -2),
            ("setVideoConfiguration", {"config": None}, -2),
            ("initialize", {"context": None}, -2),
            ("initialize", {"eventHandler": velto_sim.calls("initialize")[-1]["eventHandler"],
                            "initText": None, "extraPointer": 0, "extraWord": 0}, -2),
        ]
        # the rejected initialize kept no handler
        with pytest.raises(velto_sim.SimError) as error:
            velto_sim.fire("onConnectionLost")
        assert error.value.code == -1

    def test_forced_results_and_a_failed_operation_changes_nothing(self, engine):
        velto_sim.set_result("joinChannel", -17)
        velto_sim.set_result("initialize", 5)
        assert engine.join_channel(b"", b"room", b"", 1) == -17
        assert engine.set_local_audio_enabled(False) == 0
        handler = Handler()
        assert engine.initialize(EngineContext(handler.address, b"app", None, 0)) == 5
        with pytest.raises(velto_sim.SimError):
            velto_sim.fire("onConnectionLost")
        velto_sim.clear_results()
        assert engine.join_channel(b"", b"room", b"", 1) == 0
        initialized(engine, handler)
        velto_sim.fire("onJoinChannelSuccess", uid=1, arg=2)
        assert handler.events[-1][:4] == ("onJoinChannelSuccess", b"room", 1, 2)


class TestSubInterfaces:
    def test_each_handout_is_a_counted_reference(self, engine):
        for id in (1, 2, 3, 4):
            before = velto_sim.outstanding_refs(id)
            first, second = engine.sub_interface(id), engine.sub_interface(id)
            assert first != second
            assert velto_sim.outstanding_refs(id) == before + 2
            release_sub(first)
            release_sub(second)
            assert velto_sim.outstanding_refs(id) == before
        names = [e["call"] for e in velto_sim.journal() if e["call"].endswith(".release")]
        assert names == ["SubInterface1.release"] * 2 + ["SubInterface2.release"] * 2 + \
            ["EngineParameters.release"] * 2 + ["ObserverRegistry.release"] * 2

    def test_excess_release_shows(self, engine):
        before = velto_sim.outstanding_refs(2)
        sub = engine.sub_interface(2)
        release_sub(sub)
        release_sub(sub)
        assert velto_sim.outstanding_refs(2) == before - 1
        assert velto_sim.calls("SubInterface2.release") == [{}, {"repeated": True}]

    @pytest.mark.parametrize("id, refuse, result", [(0, False, -2), (5, False, -2), (3, True, -1)])
    def test_unknown_or_refused_id_hands_out_nothing(self, engine, id, refuse, result):
        velto_sim.refuse_subinterface(id, refuse)
        before = velto_sim.outstanding_refs(id)
        out = c_void_p(0xDEAD)
        assert engine.get_sub_interface(id, byref(out)) == result
        assert out.value == 0xDEAD
        assert velto_sim.outstanding_refs(id) == before
        velto_sim.refuse_subinterface(id, False)
        if id == 3:
            assert engine.get_sub_interface(3, byref(out)) == 0
            release_sub(out.value)

    def test_resolve_path(self, engine):
        parameters = engine.sub_interface(3)
        before = velto_sim.outstanding_refs(velto_sim.SDK_STRING)
        resolved = []
        for path in (b"sub/app.log", b"/tmp/x.log"):
            out = c_void_p(0)
            assert resolve_path(parameters, path, byref(out)) == 0
            assert velto_sim.outstanding_refs(velto_sim.SDK_STRING) == before + 1
            resolved.append(vcall(out.value, 0, c_char_p, []))  # SdkString::c_str
            vcall(out.value, 1, None, [])  # SdkString::release
        assert resolved == [b"/var/velto/logs/sub/app.log", b"/tmp/x.log"]
        assert velto_sim.outstanding_refs(velto_sim.SDK_STRING) == before

        velto_sim.fail_resolve_path()
        out = c_void_p(0xBEEF)
        assert resolve_path(parameters, b"a.log", byref(out)) == -1
        assert resolve_path(parameters, None, byref(out)) == -2
        assert out.value == 0xBEEF
        assert velto_sim.outstanding_refs(velto_sim.SDK_STRING) == before
        release_sub(parameters)

    def test_parameters_are_journaled(self, engine):
        parameters = engine.sub_interface(3)
        velto_sim.set_result("EngineParameters.setParameters", -9)
        assert vcall(parameters, 1, c_int, [c_char_p, c_bool], b"k", True) == 0
        assert vcall(parameters, 2, c_int, [c_char_p, c_char_p], b"k", None) == -2
        assert vcall(parameters, 3, c_int, [c_char_p], b'{"a":1}') == -9
        release_sub(parameters)
        assert [(e["call"], e["args"], e["result"]) for e in velto_sim.journal()[-4:]] == [
            ("EngineParameters.setBoolParameter", {"key": "k", "value": True}, 0),
            ("EngineParameters.setStringParameter", {"key": "k", "value": None}, -2),
            ("EngineParameters.setParameters", {"json": '{"a":1}'}, -9),
            ("EngineParameters.release", {}, None),
        ]


# --- notifications on engine threads ----------------------------------------------------------

class TestNotifications:
    def test_simple_events_reach_the_handler_on_engine_threads(self, engine):
        handler = Handler()
        initialized(engine, handler)
        assert engine.join_channel(b"", b"lobby", b"", 5) == 0
        velto_sim.fire("onRemoteUserJoined", uid=4294967295, arg=120, thread=1)
        velto_sim.fire("onRemoteUserOffline", uid=-1, arg=2, thread=1)
        velto_sim.fire("onError", arg=-3, thread=2)
        velto_sim.fire("onRejoinChannelSuccess", uid=5, arg=9, thread=3)
        velto_sim.fire("onFirstRemoteVideoFrame", uid=8, arg=30, width=640, height=360)
        velto_sim.fire("onConnectionLost", thread=0)
        events = [e[:-1] for e in handler.events]
        assert events == [
            ("onRemoteUserJoined", 4294967295, 120),
            ("onRemoteUserOffline", 4294967295, 2),
            ("onError", -3, b"sim"),
            ("onRejoinChannelSuccess", b"lobby", 5, 9),
            ("onFirstRemoteVideoFrame", 8, 640, 360, 30),
            ("onConnectionLost",),
        ]
        threads = [e[-1] for e in handler.events]
        assert threads[0] == threads[1]  # same index, same thread
        assert len({threads[0], threads[2], threads[3], threads[4]}) == 4
        assert threading.get_native_id() not in threads
        assert [f["thread"] for f in velto_sim.calls("fire")] == [1, 1, 2, 3, 0, 0]

    @pytest.mark.parametrize("event", sorted(set(velto_sim.EVENT_RECORDS) - {"onFirstRemoteVideoFrame"}))
    def test_stats_records_arrive_field_by_field(self, engine, event):
        handler = Handler()
        initialized(engine, handler)
        record = velto_sim.EVENT_RECORDS[event]
        names = [name for name, _t in record._fields_ if name != "uid"]
        values = {name: 1000 + i for i, name in enumerate(names)}
        velto_sim.fire(event, uid=77, **values)
        seen = handler.events[-1][1]
        if "uid" in seen:
            values["uid"] = 77
        assert seen == values

    def test_stats_values_wrap_to_the_field_width(self, engine):
        handler = Handler()
        initialized(engine, handler)
        velto_sim.fire("onLocalAudioStats", txPacketLossRate=65536 + 5, unused1=-1,
                       sentBitrate=2 ** 31)
        seen = handler.events[-1][1]
        assert (seen["txPacketLossRate"], seen["unused1"], seen["sentBitrate"]) == \
            (5, 65535, -2 ** 31)
        with pytest.raises(TypeError):
            velto_sim.fire("onLocalAudioStats", nosuchfield=1)
        with pytest.raises(TypeError):
            velto_sim.fire("onConnectionLost", width=1)

    def test_failures_are_reported(self, engine):
        with pytest.raises(velto_sim.SimError) as error:
            velto_sim.fire("onConnectionLost")
        assert error.value.code == -1
        handler = Handler()
        initialized(engine, handler)
        with pytest.raises(velto_sim.SimError) as error:
            velto_sim.fire("onSomethingElse")
        assert error.value.code == -3
        with pytest.raises(velto_sim.SimError) as error:
            velto_sim.fire("onConnectionLost", thread=4)
        assert error.value.code == -5
        handler.gate = threading.Event()
        with pytest.raises(velto_sim.SimError) as error:
            velto_sim.fire("onWarning", timeout=0.05)
        assert error.value.code == -2
        handler.gate.set()
        velto_sim.fire("onConnectionLost")  # queued behind the late onWarning
        assert [e[0] for e in handler.events] == ["onWarning", "onConnectionLost"]

    def test_after_release_the_fallback_thread_serves_the_last_handler(self, engine):
        handler = Handler()
        initialized(engine, handler)
        velto_sim.fire("onConnectionLost")
        RELEASE(False)
        velto_sim.fire("onRemoteUserOffline", uid=3, arg=1, thread=2)
        assert handler.events[-1][:3] == ("onRemoteUserOffline", 3, 1)
        assert handler.events[-1][-1] != handler.events[0][-1]
        assert velto_sim.calls("fire")[-1]["fallback"] is True


# --- frames ------------------------------------------------------------------------------------

class TestFrames:
    def test_without_observer_the_answer_is_minus_one(self, engine):
        assert velto_sim.deliver_audio(velto_sim.AUDIO_PLAY, b"\1\2") == (-1, b"\1\2")
        assert velto_sim.deliver_video(velto_sim.VIDEO_CAPTURE, 2, 2, b"yyyy", b"u", b"v")[0] \
            == -1
        with pytest.raises(velto_sim.SimError) as error:
            velto_sim.observer_options()
        assert error.value.code == -1

    def attach(self, engine, audio=None, video=None):
        registry = engine.sub_interface(4)
        if audio is not None:
            assert attach_audio(registry, audio.address) == 0
        if video is not None:
            assert attach_video(registry, video.address) == 0
        release_sub(registry)

    def test_audio_frame_fields_and_writes_come_back(self, engine):
        observer = AudioObserver()
        self.attach(engine, audio=observer)

        def invert(frame):
            data = (c_char * 4).from_address(frame.buffer)
            data[:] = bytes(255 - b for b in data.raw)
            return False

        observer.action = invert
        answer, after = velto_sim.deliver_audio(velto_sim.AUDIO_PLAY_BEFORE_MIX, b"\0\1\2\3",
                                                uid=9, channels=2, samples_per_sec=16000,
                                                thread=3)
        assert (answer, after) == (0, b"\xff\xfe\xfd\xfc")
        stream, uid, frame, _thread = observer.frames[-1]
        assert (stream, uid) == (3, 9)
        assert {k: frame[k] for k in ("type", "samples", "bytesPerSample", "channels",
                                      "samplesPerSec")} == {
            "type": 3, "samples": 1, "bytesPerSample": 2, "channels": 2, "samplesPerSec": 16000}
        assert frame["buffer"] and frame["renderTimeMs"] > 0
        assert velto_sim.journal()[-1]["call"] == "deliver"
        assert velto_sim.journal()[-1]["result"] == 0

    def test_audio_streams_and_null_buffer(self, engine):
        observer = AudioObserver()
        self.attach(engine, audio=observer)
        for stream in (0, 1, 2):
            assert velto_sim.deliver_audio(stream, b"ab")[0] == 1
        assert velto_sim.deliver_audio(0, None, samples=480) == (1, None)
        assert [f[0] for f in observer.frames] == [0, 1, 2, 0]
        assert observer.frames[-1][2]["buffer"] is None
        assert observer.frames[-1][2]["samples"] == 480
        with pytest.raises(velto_sim.SimError) as error:
            velto_sim.deliver_audio(4, b"ab")
        assert error.value.code == -3

    def test_writing_past_the_buffer_is_caught(self, engine):
        observer = AudioObserver()
        self.attach(engine, audio=observer)

        def overrun(frame):  # believes the frame fields, not the 4-byte buffer
            size = frame.samples * frame.bytesPerSample * frame.channels
            ctypes.memset(frame.buffer, 0, size)
            return True

        observer.action = overrun
        assert velto_sim.deliver_audio(0, b"\1" * 8, buffer_len=8)[0] == 1
        with pytest.raises(velto_sim.SimError) as error:
            velto_sim.deliver_audio(0, b"\1" * 8, buffer_len=4)
        assert error.value.code == -4

    def test_video_planes_and_strides(self, engine):
        observer = VideoObserver(options=[True] * 8)
        self.attach(engine, video=observer)

        def clear_u(frame):
            ctypes.memset(frame.uPlane, 0x55, 4)
            return True

        observer.action = clear_u
        y, u, v = bytes(range(24)), b"\1" * 6, b"\2" * 6
        answer, planes = velto_sim.deliver_video(velto_sim.VIDEO_RENDER, 5, 4, y, u, v, uid=12)
        assert answer == 1
        assert planes == (y, b"\x55" * 4 + b"\1\1", v)
        stream, uid, frame = observer.frames[-1]
        assert (stream, uid) == (11, 12)
        assert (frame["type"], frame["width"], frame["height"], frame["yStride"],
                frame["uStride"], frame["vStride"]) == (11, 5, 4, 5, 3, 3)
        observer.action = lambda frame: True
        assert velto_sim.deliver_video(10, 2, 2, None, None, None) == (1, (None, None, None))
        assert observer.frames[-1][2]["yPlane"] is None
        with pytest.raises(velto_sim.SimError):
            velto_sim.deliver_video(12, 2, 2, None, None, None)

    def test_observer_options(self, engine):
        video = VideoObserver(options=[True, 7, False, True, False, -4, True, False])
        self.attach(engine, audio=AudioObserver(options=(False, True)), video=video)
        assert velto_sim.observer_options() == {
            "audioOption1": 0, "audioOption2": 1, "videoOption1": 1, "videoOption2": 7,
            "videoOption3": 0, "videoOption4": 1, "videoOption5": 0, "videoOption6": -4,
            "videoOption7": 1, "videoOption8": 0}

    def test_reattach_replaces_and_release_keeps_observers_for_the_fallback(self, engine):
        first, second = AudioObserver(), AudioObserver()
        self.attach(engine, audio=first)
        self.attach(engine, audio=second)
        velto_sim.set_result("ObserverRegistry.attachAudioObserver", -1)
        registry = engine.sub_interface(4)
        assert attach_audio(registry, first.address) == -1  # failed: second stays
        release_sub(registry)
        RELEASE(True)
        assert velto_sim.deliver_audio(1, b"zz", thread=2) == (1, b"zz")
        assert (len(first.frames), len(second.frames)) == (0, 1)
        assert velto_sim.calls("deliver")[-1]["fallback"] is True
