"""One call through an installed pyveltosdk wheel whose velto_rtc_sdk.dll is the foreign engine
(tests/foreign_engine): every module function that reaches the engine, a join with remote users,
frames of every kind rewritten by the callables, the statistics, a leave and a terminate.

    python -I drive.py SITE        SITE: the folder the wheel was installed into

Prints the module's output as it comes (the statistics lines), then one line
``RESULT <json>`` with the engine's journal, what the callables saw and returned, and the events
the Pythonic layer read. tests/test_foreign_engine.py runs it and judges the result.
"""
import ctypes
import dataclasses
import json
import os
import sys
import threading

SITE = os.path.abspath(sys.argv[1])
sys.path.insert(0, SITE)

import _pyveltosdk as sdk  # noqa: E402 (from SITE)
import pyveltosdk  # noqa: E402

WAIT_MS = 30000
VIEWS = (501, 502, 503, 504)


def fnv1a(data):
    value = 2166136261
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return "%08x" % value


def applied(plane, answer):
    """The buffer as the module leaves it: a non-empty answer replaces its start, cut to its
    size, and zeroes the rest; None or an empty answer leaves it."""
    if not answer:
        return plane
    if isinstance(answer, str):
        answer = answer.encode("utf-8")
    return (answer + bytes(len(plane)))[:len(plane)]


# One answer per frame, chosen by (kind, uid): reversed, changed, shorter, longer, a str, None.
AUDIO_ANSWERS = {
    (sdk.StreamAudioRecord, 0): lambda data: (data[::-1],),
    (sdk.StreamAudioPlay, 0): lambda data: (bytes(b ^ 0x5A for b in data),),
    (sdk.StreamAudioMix, 0): lambda data: (None,),
    (sdk.StreamAudioPlayBeforeMix, 1001): lambda data: (data[:len(data) // 2],),
    (sdk.StreamAudioPlayBeforeMix, 1002): lambda data: ("foreign",),
}
VIDEO_ANSWERS = {
    (sdk.StreamVideoCap, 0): lambda y, u, v: (bytes((b + 1) & 0xFF for b in y), None, v[:5]),
    (sdk.StreamVideoRender, 1001): lambda y, u, v: (y[::-1], u[::-1] + b"tail", b""),
    (sdk.StreamVideoRender, 1002): lambda y, u, v: (None, bytes(len(u)), v.upper()),
}

seen = []


def on_audio(kind, uid, samples, channels, rate, data):
    answer = AUDIO_ANSWERS[(kind, uid)](data)
    seen.append({"kind": kind, "uid": uid, "numbers": [samples, channels, rate],
                 "sent": [fnv1a(data)], "back": [fnv1a(applied(data, answer[0]))],
                 "thread": threading.get_ident()})
    return answer


def on_video(kind, uid, width, height, y, u, v):
    answer = VIDEO_ANSWERS[(kind, uid)](y, u, v)
    planes = (y, u, v)
    seen.append({"kind": kind, "uid": uid, "numbers": [width, height],
                 "sent": [fnv1a(p) for p in planes],
                 "back": [fnv1a(applied(p, a)) for p, a in zip(planes, answer)],
                 "thread": threading.get_ident()})
    return answer


def main():
    engine_dll = ctypes.CDLL(os.path.join(os.path.dirname(sdk.__file__), "velto_rtc_sdk.dll"))
    engine_dll.foreignEngineJournal.restype = ctypes.c_char_p
    engine_dll.foreignEngineWait.argtypes = [ctypes.c_uint]
    engine_dll.foreignEngineLastCall.restype = ctypes.c_char_p

    def wait_for_engine(step):
        # ctypes lets go of the GIL, so the engine's thread reaches the callables meanwhile.
        if not engine_dll.foreignEngineWait(WAIT_MS):
            # Said on the way out without the interpreter's exit, which would wait for the thread
            # that is stuck in the module.
            sys.stderr.write("the foreign engine's call thread did not finish after %s; it is in "
                             "%s\njournal:\n%s" % (step, engine_dll.foreignEngineLastCall().decode(),
                                                   engine_dll.foreignEngineJournal().decode()))
            sys.stderr.flush()
            os._exit(3)

    results = {"version": sdk.getVersion().decode()}
    sdk.initialize('{"appId":"foreign"}')
    results["control"] = [
        sdk.setChannelProfile(1), sdk.setClientRole(1), sdk.setVideoProfile(640, 360, 15, 400),
        sdk.setAudioProfile(4, 3), sdk.setLogPath("call.log"), sdk.muteLocalVideo(False),
        sdk.muteAllRemoteVideoStreams(True), sdk.muteAllRemoteAudioStreams(False),
        sdk.muteLocalAudio(False), sdk.enableDualStreamMode(True),
        sdk.enableWebSdkInteroperability(True),
    ]
    sdk.setParameters('{"che.audio.foreign":true}')
    for view in VIEWS:
        sdk.addView(view)
    sdk.registerAudioObserver(on_audio)
    sdk.registerVideoObserver(on_video)
    results["switches"] = [sdk.enableAudio(True), sdk.enableVideo(True)]
    events = pyveltosdk.EventStream(256)
    results["join"] = sdk.joinChannel("key-1", "foreign-room", 77)
    wait_for_engine("joinChannel")
    results["leave"] = sdk.leaveChannel()
    wait_for_engine("leaveChannel")
    results["flushed"] = sdk._flushOutput(10.0)
    sdk.terminate()
    results["events"] = [dict(dataclasses.asdict(e), type=type(e).__name__, time=None)
                         for e in events.poll()]
    results["frames"] = seen
    results["main_thread"] = threading.get_ident()
    results["module"] = os.path.abspath(sdk.__file__)
    results["journal"] = engine_dll.foreignEngineJournal().decode().splitlines()
    sys.stdout.flush()
    print("RESULT " + json.dumps(results), flush=True)


if __name__ == "__main__":
    main()
