"""Property tests: arbitrary arguments to every function and arbitrary answers from callbacks.

Each call is checked against a model of the documented behaviour: the parser's exception for a
refused argument (with no engine call made), otherwise the documented result and the engine call
with the converted arguments. Frames of arbitrary sizes go through callables that answer with
anything; the frame must end exactly as the copy-back rules say, the simulated engine must find
its buffers' guard bytes intact, and a refused answer must reach the registering thread as an
exception of the documented class.

VELTO_FUZZ_EXAMPLES sets the examples per test (default 60).
"""
import faulthandler
import operator
import os
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _pyveltosdk as sdk
import velto_sim as sim
from conftest import run_python

EXAMPLES = int(os.environ.get("VELTO_FUZZ_EXAMPLES", "60"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))
INT32 = (-(2**31), 2**31 - 1)
NO_ENGINE = -7


@pytest.fixture(autouse=True)
def watchdog():
    # A hang inside a fuzzed call ends the run with every thread's traceback, naming the test.
    faulthandler.dump_traceback_later(300, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


# --- values ------------------------------------------------------------------------------------

class Boom(Exception):
    """Raised by the hostile objects below; must come out of the call unchanged."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return "Index(%r)" % self.value


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")

    def __repr__(self):
        return "RaisingIndex()"


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value

    def __repr__(self):
        return "Truth(%r)" % self.value


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")

    def __repr__(self):
        return "RaisingBool()"


class RaisingLen:
    def __len__(self):
        raise Boom("__len__")

    def __repr__(self):
        return "RaisingLen()"


class CallableObject:
    def __call__(self, *args):
        return None


edge_ints = st.sampled_from([0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32 - 1,
                             2**32, 2**63, -(2**63) - 1, 2**64 + 5, 10**30])
ints = st.one_of(edge_ints, st.integers())
texts = st.one_of(
    st.text(),
    st.text(st.characters(codec="utf-8"), max_size=8).map(lambda t: t + "\0" + t),
    st.sampled_from(["", "room", "é", "\U0001f600", "a\0b", "\ud800", "x\udfff", "/abs/log",
                     "x" * 600, '{"che.audio.x":true}']),
)
anything = st.recursive(
    st.one_of(
        st.none(), st.booleans(), ints, st.floats(), texts, st.binary(max_size=16),
        st.binary(max_size=8).map(bytearray), st.complex_numbers(),
        ints.map(Index), st.builds(RaisingIndex), st.booleans().map(Truth),
        st.builds(RaisingBool), st.builds(RaisingLen), st.builds(object),
        st.sampled_from([print, len, CallableObject(), int, lambda *a: None]),
    ),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple),
                            st.dictionaries(st.text(max_size=3), inner, max_size=2)),
    max_leaves=4,
)


# --- the model of argument parsing -------------------------------------------------------------

def convert(code, value):
    """(converted value, None) as the interpreter's parser reads `value` for format `code`, or
    (None, exception class) for what it raises."""
    if code in "iI":
        if isinstance(value, float) or not hasattr(type(value), "__index__"):
            return None, TypeError
        try:
            number = operator.index(value)
        except BaseException as error:
            return None, type(error)
        if code == "I":
            return number % 2**32, None
        if not INT32[0] <= number <= INT32[1]:
            return None, OverflowError
        return number, None
    if code == "s":
        if not isinstance(value, str):
            return None, TypeError
        if "\0" in value:
            return None, ValueError
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return None, UnicodeEncodeError
        return value, None
    if code == "p":
        try:
            return bool(value), None
        except BaseException as error:
            return None, type(error)
    if code == "O":
        return value, None
    raise AssertionError(code)


def refs_given_back():
    # EngineParameters (3), ObserverRegistry (4) and resolved paths: held for one call only.
    return [sim.outstanding_refs(i) for i in (3, 4, sim.SDK_STRING)] == [0, 0, 0]


MUTE_VIDEO = ('{"rtc.video.capture":%s,"che.video.local.capture":%s,'
              '"che.video.local.render":%s,"che.video.local.send":%s}')
INTEROP = '{"rtc.video.web_h264_interop_enable":%s,"che.video.web_h264_interop_enable":%s}'


def word(flag):
    return "true" if flag else "false"


# name -> (formats, result with an engine, result without, check of the journal with an engine)
FUNCTIONS = {
    "initialize": ("s", None, None, lambda a: [
        c["initText"] for c in sim.calls("initialize")] == [a[0]]),
    "terminate": ("", None, None, lambda a: sim.counts()["alive"] == 0),
    "getVersion": ("", sim.VERSION, sim.VERSION, None),
    "setLogPath": ("s", True, False, lambda a: [
        c["key"] for c in sim.calls("EngineParameters.setStringParameter")] == ["rtc.log_file"]),
    "setChannelProfile": ("i", True, False, lambda a: sim.calls("setChannelProfile") == [
        {"profile": a[0]}]),
    "setClientRole": ("i", True, False, lambda a: sim.calls("setClientRole") == [
        {"role": a[0]}]),
    "enableWebSdkInteroperability": ("p", True, False, lambda a: sim.calls(
        "EngineParameters.setParameters") == [{"json": INTEROP % (word(a[0]), word(a[0]))}]),
    "setVideoProfile": ("iiii", True, False, lambda a: sim.calls("setVideoConfiguration") == [{
        "width": a[0], "height": a[1], "frameRate": a[2], "minFrameRate": -1, "bitrate": a[3],
        "minBitrate": -1, "orientationMode": 1, "degradationPreference": 0, "mirrorMode": 0}]),
    "setAudioProfile": ("ii", True, False, lambda a: sim.calls("setAudioProfile") == [
        {"profile": a[0], "scenario": a[1]}]),
    "joinChannel": ("ssI", 0, NO_ENGINE, lambda a: sim.calls("joinChannel") == (
        [{"key": a[0], "channel": a[1], "info": "", "uid": a[2]}] if a[1] else [])),
    "leaveChannel": ("", 0, NO_ENGINE, lambda a: len(sim.calls("leaveChannel")) == 1),
    "enableVideo": ("p", 0, NO_ENGINE, lambda a: [e["call"] for e in sim.journal()] == [
        "enableVideo" if a[0] else "disableVideo"]),
    "enableAudio": ("p", 0, NO_ENGINE, lambda a: [e["call"] for e in sim.journal()] == [
        "enableAudio" if a[0] else "disableAudio"]),
    "muteLocalVideo": ("p", True, False, lambda a: sim.calls("EngineParameters.setParameters") == [
        {"json": MUTE_VIDEO % ((word(not a[0]),) * 4)}]),
    "muteLocalAudio": ("p", True, False, lambda a: sim.calls("setLocalAudioEnabled") == [
        {"enabled": not a[0]}]),
    "muteAllRemoteVideoStreams": ("p", True, False, lambda a: sim.calls(
        "EngineParameters.setBoolParameter") == [{"key": "rtc.video.mute_peers", "value": a[0]}]),
    "muteAllRemoteAudioStreams": ("p", True, False, lambda a: sim.calls(
        "muteAllRemoteAudioStreams") == [{"mute": a[0]}]),
    "enableDualStreamMode": ("p", True, False, lambda a: sim.calls("enableDualStreamMode") == [
        {"enabled": a[0]}]),
    "setParameters": ("s", None, None, lambda a: sim.calls("EngineParameters.setParameters") == [
        {"json": a[0]}]),
    "registerAudioObserver": ("O", None, RuntimeError, lambda a: len(sim.calls(
        "ObserverRegistry.attachAudioObserver")) == 1),
    "registerVideoObserver": ("O", None, RuntimeError, lambda a: len(sim.calls(
        "ObserverRegistry.attachVideoObserver")) == 1),
}
# logOff and addView change process-wide state for good: fuzzed in a fresh interpreter below.
STATEFUL = {"logOff": "", "addView": "i"}


def near(code):
    """Mostly values the format accepts or nearly accepts, sometimes anything at all."""
    typical = {
        "i": st.one_of(ints, ints.map(Index), st.booleans()),
        "I": st.one_of(ints, ints.map(Index)),
        "s": texts,
        "p": st.one_of(st.booleans(), ints, texts, st.booleans().map(Truth)),
        "O": st.sampled_from([print, len, CallableObject(), lambda *a: (None,), 5, "f", None]),
    }[code]
    return st.one_of(typical, typical, typical, anything)


@st.composite
def calls_of(draw, formats):
    if draw(st.integers(0, 9)) == 0:
        args = tuple(draw(st.lists(anything, max_size=5)))
    else:
        args = tuple(draw(near(code)) for code in formats)
    kwargs = draw(st.one_of(st.just({}), st.just({}), st.just({}),
                            st.dictionaries(st.text(min_size=1, max_size=4), anything,
                                            min_size=1, max_size=2)))
    return args, kwargs


def expected_refusal(formats, args, kwargs):
    """The exception class the call must raise before reaching the engine, or None."""
    if kwargs or len(args) != len(formats):
        return TypeError
    converted = []
    for code, value in zip(formats, args):
        number, error = convert(code, value)
        if error is not None:
            return error
        converted.append(number)
    if formats == "O" and not callable(args[0]):
        return TypeError
    return None


def converted_args(formats, args):
    return [convert(code, value)[0] for code, value in zip(formats, args)]


@pytest.mark.parametrize("with_engine", [True, False], ids=["engine", "no-engine"])
@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_fuzzed_arguments_give_the_documented_outcome(name, with_engine):
    formats, with_result, without_result, check = FUNCTIONS[name]
    function = getattr(sdk, name)

    @FUZZ
    @given(call=calls_of(formats))
    def run(call):
        args, kwargs = call
        sdk.terminate()
        if with_engine:
            sdk.initialize("{}")
        sim.reset()
        refusal = expected_refusal(formats, args, kwargs)
        if refusal is not None:
            with pytest.raises(refusal):
                function(*args, **kwargs)
            assert sim.journal() == []
            return
        expected = with_result if with_engine else without_result
        if isinstance(expected, type):
            with pytest.raises(expected):
                function(*args)
            assert sim.journal() == []
            return
        result = function(*args)
        if name == "joinChannel" and args[1] == "":
            expected = -1
        assert result == expected and type(result) is type(expected)
        if with_engine and check is not None:
            assert check(converted_args(formats, args)), sim.journal()
        elif not with_engine and name not in ("getVersion", "initialize"):
            assert sim.journal() == []
        assert refs_given_back()

    try:
        run()
    finally:
        sdk.terminate()


def test_fuzzed_arguments_to_log_off_and_add_view_in_a_fresh_interpreter():
    # Drawn and checked in the child, which then reads the view pool back through joinChannel.
    proc = run_python("""
        import sys
        sys.path.insert(0, %r)
        import test_fuzz
        test_fuzz.stateful_child()
    """ % os.path.dirname(os.path.abspath(__file__)), timeout=300)
    assert proc.stdout.strip().endswith("stateful fuzz ok"), proc.stdout + proc.stderr


def stateful_child():
    added = []

    @FUZZ
    @given(name=st.sampled_from(sorted(STATEFUL)), call=st.data())
    def run(name, call):
        formats = STATEFUL[name]
        args, kwargs = call.draw(calls_of(formats))
        refusal = expected_refusal(formats, args, kwargs)
        if refusal is not None:
            with pytest.raises(refusal):
                getattr(sdk, name)(*args, **kwargs)
            return
        result = getattr(sdk, name)(*args)
        if name == "logOff":
            assert result is True
        else:
            assert result is None
            added.append(converted_args(formats, args)[0])

    run()
    sdk.logOff()  # at least once, whatever was drawn
    # The first view ever added is the local view.
    sdk.initialize("{}")
    sim.reset()
    sdk.joinChannel("", "room", 1)
    assert sim.calls("setupLocalView")[0]["view"] == (added[0] if added else 0)
    print("stateful fuzz ok")


# --- frames ------------------------------------------------------------------------------------

class Registrar:
    """A thread that registers callables and catches what the module raises in it later."""

    def __init__(self):
        self.caught = []
        self._jobs = []
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            try:
                while True:
                    if self._jobs:
                        job, done = self._jobs.pop()
                        job()
                        done.set()
                    time.sleep(0.0002)
            except BaseException as error:  # the forwarded exception
                self.caught.append(error)

    def register(self, function, callable_):
        done = threading.Event()
        self._jobs.append((lambda: function(callable_), done))
        assert done.wait(10)

    def wait_for_error(self, timeout=10):
        deadline = time.monotonic() + timeout
        while not self.caught and time.monotonic() < deadline:
            time.sleep(0.0005)
        assert self.caught, "the error never reached the registering thread"
        return self.caught.pop()


class Callback:
    """Registered once; each example sets what it answers and records what it was given, or
    sets a function to run instead."""

    def __init__(self):
        self.answer = None
        self.seen = []
        self.instead = None

    def __call__(self, *args):
        if self.instead is not None:
            return self.instead(*args)
        self.seen.append(args)
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


class BytesSub(bytes):
    pass


class TupleSub(tuple):
    pass


answer_items = st.one_of(
    st.none(), st.binary(max_size=40), st.binary(max_size=40).map(BytesSub),
    st.binary(max_size=40).map(lambda b: memoryview(b)), texts,
    st.binary(max_size=8).map(bytearray), ints, st.floats(), st.builds(object),
    st.lists(st.integers(0, 255), max_size=4),
)


def answers(count):
    """Well-formed answers most of the time, then anything at all."""
    right = st.lists(answer_items, min_size=count, max_size=count).map(tuple)
    return st.one_of(
        right, right, right, right.map(TupleSub),
        st.lists(answer_items, max_size=4).map(tuple),
        anything, st.builds(lambda: Boom("raised by the callback")),
        st.builds(lambda: ValueError("bad frame")),
    )


def read_item(item):
    """(bytes to copy, None) for one answer item, or (None, exception class)."""
    if item is None:
        return b"", None
    if isinstance(item, str):
        try:
            return item.encode("utf-8"), None
        except UnicodeEncodeError:
            return None, UnicodeEncodeError
    if isinstance(item, bytes):
        return bytes(item), None
    # Buffers that must be released (memoryview) are refused like writable ones.
    return None, TypeError


def read_answer(answer, count):
    """(list of bytes per buffer, None) or (None, exception class the callable's answer gives)."""
    if isinstance(answer, BaseException):
        return None, type(answer)
    if not isinstance(answer, tuple) or len(answer) != count:
        return None, TypeError
    data = []
    for item in answer:
        value, error = read_item(item)
        if error is not None:
            return None, error
        data.append(value)
    return data, None


def plane_size(size):
    return size if 0 < size <= 2**31 - 1 else 0


def copied_back(buffer, size, answer):
    if buffer is None or size == 0 or not answer:
        return buffer
    written = answer[:size] + bytes(max(0, size - len(answer)))
    return written + buffer[size:]


def signed32(uid):
    return uid - 2**32 if uid >= 2**31 else uid


int32_any = st.one_of(st.integers(*INT32), st.sampled_from([INT32[0], INT32[1], -1, 0]))


@st.composite
def audio_frames(draw):
    if draw(st.booleans()):
        samples, width, channels = (draw(st.integers(0, 40)), draw(st.integers(0, 4)),
                                    draw(st.integers(0, 4)))
    else:  # sizes that are negative or past 32 bits: no buffer may be touched
        samples, width, channels = draw(st.tuples(int32_any, int32_any, int32_any).filter(
            lambda f: min(f) < 0 or f[0] * f[1] * f[2] > 2**31 - 1))
    size = samples * width * channels if min(samples, width, channels) >= 0 else -1
    size = plane_size(size)
    length = size + draw(st.integers(0, 8))
    data = draw(st.one_of(st.binary(min_size=length, max_size=length), st.none()))
    return dict(stream_type=draw(st.integers(0, 3)), uid=draw(st.integers(0, 2**32 - 1)),
                samples=samples, bytes_per_sample=width, channels=channels,
                samples_per_sec=draw(int32_any), data=data, size=size if data else 0,
                thread=draw(st.integers(0, 3)))


@st.composite
def video_frames(draw):
    if draw(st.booleans()):
        width, height = draw(st.integers(0, 12)), draw(st.integers(0, 12))
    else:
        width, height = draw(st.tuples(int32_any, int32_any).filter(
            lambda f: min(f) < 0 or f[0] * f[1] > 2**31 - 1))
    luma = plane_size(width * height if min(width, height) >= 0 else -1)
    sizes = (luma, luma // 4, luma // 4)
    planes = []
    for size in sizes:
        length = size + draw(st.integers(0, 4))
        planes.append(draw(st.one_of(st.binary(min_size=length, max_size=length), st.none())))
    return dict(stream_type=draw(st.sampled_from([10, 11])), uid=draw(st.integers(0, 2**32 - 1)),
                width=width, height=height, planes=planes,
                sizes=[s if p is not None else 0 for s, p in zip(sizes, planes)],
                thread=draw(st.integers(0, 3)))


@pytest.fixture
def registered(engine):
    registrar = Registrar()
    callback = Callback()
    registrar.register(sdk.registerAudioObserver, callback)
    registrar.register(sdk.registerVideoObserver, callback)
    yield registrar, callback


# The registering thread gets the class without arguments; one that cannot be made so arrives
# as its nearest base that can.
FORWARDED = {UnicodeEncodeError: UnicodeError}


def check_forwarded(registrar, error):
    if error is None:
        assert registrar.caught == []
    else:
        caught = registrar.wait_for_error()
        assert type(caught) is FORWARDED.get(error, error) and caught.args == ()


class NeedsFrame(ValueError):
    def __init__(self, frame):
        super().__init__("bad frame %d" % frame)


class NeedsTwo(Boom):
    def __init__(self, a, b):
        super().__init__(a, b)


@pytest.mark.parametrize("raised,arrives", [
    (NeedsFrame(7), ValueError), (NeedsTwo(1, 2), Boom), (Boom("x"), Boom),
    (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), UnicodeError),
])
def test_errors_that_need_arguments_arrive_as_their_nearest_base(registered, capsys, raised,
                                                                 arrives):
    registrar, callback = registered
    callback.answer = raised
    assert sim.deliver_audio(0, b"\x01\x02", samples=1)[1] == b"\x01\x02"
    caught = registrar.wait_for_error()
    assert type(caught) is arrives and caught.args == ()
    assert type(raised).__name__ in capsys.readouterr().err  # the traceback shows the real one


@FUZZ
@given(frame=audio_frames(), answer=answers(1))
def test_fuzzed_audio_frames_and_answers(registered, frame, answer):
    registrar, callback = registered
    callback.answer, callback.seen = answer, []
    result, after = sim.deliver_audio(
        frame["stream_type"], frame["data"], uid=frame["uid"], samples=frame["samples"],
        bytes_per_sample=frame["bytes_per_sample"], channels=frame["channels"],
        samples_per_sec=frame["samples_per_sec"], thread=frame["thread"])  # SimError on overrun
    assert result == 1
    data = frame["data"]
    uid = signed32(frame["uid"]) if frame["stream_type"] == 3 else 0
    assert callback.seen == [(frame["stream_type"], uid, frame["samples"], frame["channels"],
                              frame["samples_per_sec"], data[:frame["size"]] if data else b"")]
    parsed, error = read_answer(answer, 1)
    expected = data if error else copied_back(data, frame["size"], parsed[0])
    assert after == expected
    check_forwarded(registrar, error)


@FUZZ
@given(frame=video_frames(), answer=answers(3))
def test_fuzzed_video_frames_and_answers(registered, frame, answer):
    registrar, callback = registered
    callback.answer, callback.seen = answer, []
    result, after = sim.deliver_video(frame["stream_type"], frame["width"], frame["height"],
                                      *frame["planes"], uid=frame["uid"], thread=frame["thread"])
    assert result == 1
    uid = signed32(frame["uid"]) if frame["stream_type"] == 11 else 0
    given_planes = tuple(p[:s] if p else b"" for p, s in zip(frame["planes"], frame["sizes"]))
    assert callback.seen == [(frame["stream_type"], uid, frame["width"], frame["height"])
                             + given_planes]
    parsed, error = read_answer(answer, 3)
    if error:
        expected = tuple(frame["planes"])
    else:
        expected = tuple(copied_back(p, s, a)
                         for p, s, a in zip(frame["planes"], frame["sizes"], parsed))
    assert after == expected
    check_forwarded(registrar, error)



@FUZZ
@given(contents=st.lists(st.binary(min_size=2, max_size=64), min_size=2, max_size=12),
       keep=st.lists(st.booleans(), min_size=12, max_size=12), thread=st.integers(0, 3))
def test_bytes_a_callback_was_given_never_change_afterwards(registered, contents, keep, thread):
    # Frames on one engine thread, the callable keeping some of the bytes it is given: what it
    # kept stays as it was, and every hash it sees matches the content of that moment.
    registrar, callback = registered
    kept, hashes = [], []

    def remember(stream_type, uid, samples, channels, rate, data):
        hashes.append((hash(data), hash(bytes(bytearray(data)))))
        if keep[len(hashes) - 1]:
            kept.append((data, bytes(bytearray(data))))
        return (None,)

    callback.instead = remember
    try:
        for content in contents:
            sim.deliver_audio(0, content, samples=len(content) // 2, thread=thread)
    finally:
        callback.instead = None
    assert all(data == copy for data, copy in kept)
    assert all(seen == fresh for seen, fresh in hashes)
