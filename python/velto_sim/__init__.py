"""Control the simulated Velto engine from tests.

``_pyveltosdk`` runs against a simulated engine library, ``libvelto_rtc_sdk.so``
(``velto_rtc_sdk.dll`` on Windows), installed beside it. The simulated engine accepts every
operation, journals it with its decoded arguments and runs native engine threads
like the real one; once a program joins a channel it runs a live call with media,
remote users and statistics (see "Live calls"). This module steers it and reads
what it saw::

    import velto_sim

    velto_sim.reset()                          # empty journal, default behaviour
    velto_sim.set_result("joinChannel", -17)   # the next joinChannel calls fail
    ...                                        # drive _pyveltosdk
    assert velto_sim.calls("joinChannel") == [
        {"key": "k", "channel": "room", "info": "", "uid": 7}]

    velto_sim.fire("onRemoteUserJoined", uid=42, arg=120)     # on engine thread 0
    velto_sim.fire("onRemoteVideoStats", uid=42, width=640, thread=2)
    answer, after = velto_sim.deliver_audio(velto_sim.AUDIO_RECORD, b"\\0" * 960)

Journal
    ``journal()`` lists every call in order as ``{"engine": id, "call": name,
    "args": {...}, "result": int or None}``. ``engine`` is 1, 2, ... for the
    engines in creation order (ids are never reused, not even after ``reset()``)
    and 0 for library-level calls. Pointers appear as their integer address (0 for
    null), null texts and records as None. Texts are decoded as UTF-8; invalid bytes
    become U+FFFD. Notifications fired and frames delivered appear as ``"fire"`` and
    ``"deliver"`` entries, recorded on the engine thread just before the module is
    called.

Journal entries (engine 0 = library level)
    createEngine {} result = new engine id, 0 when none was given
    getEngineVersion {build} (None for a null out pointer)
    release {sync} on the engine ended (engine 0 when none was alive)
    initialize {eventHandler, initText, extraPointer, extraWord} or {context: None}
    joinChannel {key, channel, info, uid}
    setupLocalView / setupRemoteView {view, mode, label, uid, reserved, reserved2}
        or {canvas: None}
    setVideoConfiguration {width, height, frameRate, minFrameRate, bitrate, minBitrate,
        orientationMode, degradationPreference, mirrorMode} or {config: None}
    getSubInterface {id} (+ out: None for a null out pointer)
    setChannelProfile {profile}, setClientRole {role}, setLocalAudioEnabled {enabled},
    setAudioProfile {profile, scenario}, muteAllRemoteAudioStreams {mute},
    enableDualStreamMode {enabled}; leaveChannel, enableVideo, disableVideo,
    activateLocalView, enableAudio, disableAudio {}
    EngineParameters.setBoolParameter {key, value}, .setStringParameter {key, value},
    .setParameters {json}, .resolvePath {path} (+ out: None), .release {}
    ObserverRegistry.attachAudioObserver {observer}, .attachVideoObserver {observer},
    .release {}
    SubInterface1.release {}, SubInterface2.release {}
    SdkString.c_str {value}, SdkString.release {}
    Every .release gets {repeated: True} when the reference had been given back already.
    fire {event, uid, arg, thread, fallback}
    deliver {stream, uid, thread, fallback} result = the observer's answer 1/0
    observerOptions {audioObserver, videoObserver, fallback}
    liveStart {channel, uid} when a live call starts (uid as assigned for 0), liveStop
        {channelLeft} when it ends
    joinRefused {uid} result = -17 when another process holds the uid in the channel
    live {event, uid, arg} for every notification a live call raises, just before the
        module is called (frames of live calls are not journaled)

Behaviour
    Every operation returns 0, or -2 for a null text, record or out pointer or a
    malformed setting (see "Settings"), or the result set with ``set_result``. An
    operation whose result is not 0 changes nothing (a failed ``initialize`` keeps no
    event handler, a failed attach keeps the previous observer). ``resolvePath``
    returns absolute paths unchanged and places other paths under
    ``/var/velto/logs/``.

Engine threads
    Each engine runs four media threads (0..3). ``fire`` and the ``deliver_*``
    functions run the module's callback on the chosen thread and wait for it to
    return; while no engine is alive a process-wide fallback thread serves them with
    the event handler and observers of the last engine released. The waits release
    the GIL, so the module's callbacks can run.

Live calls
    An engine that joins a channel runs a live call, on its own threads and at real
    rates, as a real engine would (unless live mode is off, below):

    - The camera captures the test pattern at the configured size and frame rate, and
      the microphone a tone every 10 ms. Each frame goes to the observers as a capture
      (10) or record (0) frame *before* it is sent: what a callback writes into it is
      what is sent.
    - Simulated remote users join and leave on a schedule (onRemoteUserJoined,
      onRemoteUserOffline with reason 0). While present, each one's video arrives as
      render frames (11) and its audio as playback-before-mix frames (3) in its own
      format. Every 10 ms, playback (1) is the mix of those frames as the callback left
      them, and mix (2) is record plus playback, both in the local audio format.
    - An "echo" user sends back what the local user sends: each capture frame as the
      callback left it (once, as soon as thread 3 is free) and each record frame as
      the callback left it, in the local formats.
    - Every statistics interval: onLocalVideoStats, onRemoteVideoStats for each present
      user, onLocalAudioStats, onRemoteAudioStats for each present user, computed from
      what flowed since the last report: frame rates from frames, bitrates in kbit/s
      from the raw bytes (I420 or 16-bit PCM; nothing is encoded, codecType 0), sizes
      from the last frame; targetBitrate is the configured bitrate, else the raw rate.
    - leaveChannel ends the call and raises onChannelLeft (duration in seconds, bytes
      sent and received, users in the channel counting the local one). release ends it
      without waiting for any thread. Frames already on their way are the last ones.
    - Joining again while in a call keeps the call running.

    Threads by role: 0 notifications and statistics, 1 audio, 2 camera, 3 remote video.
    Producers keep to absolute due times: when a callback is slow, the frames it makes
    late are skipped, never queued up. fire() and the deliver_* functions work beside a
    live call, on the same threads.

    Live mode is on unless turned off: ``set_live(False)``, or the environment
    variable ``VELTO_SIM_LIVE=0`` ("0", "false", "no", "off"); ``set_live(None)`` goes
    back to the variable. It is read at each successful joinChannel, so it never
    stops a call that runs; ``reset()`` leaves it alone.

What the switches stop
    enableVideo(False) / disableVideo: no capture (10) and no render (11) frames. Video
        is off until enableVideo, as in common engines.
    enableAudio(False) / disableAudio: no audio frames of any type. Audio is on by
        default.
    muteLocalAudio(True) (setLocalAudioEnabled(False)): no record frames and nothing
        sent, so the echo user falls silent (no frames 3 from it); playback and mix go on.
    muteLocalVideo(True) ("rtc.video.capture" or "che.video.local.capture" false): no
        capture frames and nothing sent, so the echo user shows nothing new.
        "che.video.local.send" false alone: capture frames go on, nothing is sent.
        "che.video.local.render" is checked for true/false and changes nothing.
    muteAllRemoteAudioStreams(True): no playback-before-mix frames; playback is
        silence; mix carries the record alone.
    muteAllRemoteVideoStreams(True) ("rtc.video.mute_peers"): no render frames.
    enableDualStreamMode: accepted; changes nothing.
    Statistics keep coming while media is switched off; their rates then read 0.

Settings
    A program configures live calls through the texts the engine already receives:
    the initialisation text, when it is a JSON object, may hold a "sim" object (any
    other initialisation text is an app id and sets nothing); setParameters takes
    "sim.*" keys beside the engine's own; setStringParameter (value read as JSON when
    it is JSON) and setBoolParameter take one key. Objects inside the sim namespace
    are further dotted keys: ``{"sim":{"video":{"fps":10}}}``,
    ``{"sim.video":{"fps":10}}`` and ``{"sim.video.fps":10}`` say the same.

    key                   default  meaning
    sim.video.width       320      camera width, even, 2..3840
    sim.video.height      240      camera height, even, 2..2160
    sim.video.fps         15       camera frames per second, 1..60
    sim.video.bitrate     0        target bitrate in statistics, kbit/s (0: raw rate)
    sim.audio.sampleRate  48000    microphone and playback rate, a multiple of 100
                                   from 8000 to 96000
    sim.audio.channels    1        1 or 2
    sim.audio.pitch       440      microphone tone in Hz, 20..20000
    sim.audio.file        null     a WAV file the microphone plays (see "Real media")
    sim.audio.loop        false    play it in a loop
    sim.video.file        null     a Y4M file the camera plays
    sim.video.loop        false    play it in a loop
    sim.stats.intervalMs  2000     statistics interval; 0 turns them off, else 50..600000
    sim.users             below    the remote users, a list of at most 16 objects
    sim.network.enabled   null     true/false: join the channel shared with this user's
                                   other processes; null: as VELTO_SIM_NETWORK says (on)
    sim.network.dir       null     the rendezvous folder, an absolute path; null: as
                                   VELTO_SIM_NETWORK_DIR says, else the default below

    A user object: uid (default 1001 + its index; unique, not 0), kind ("pattern"
    or "echo", default "pattern"), join and leave (seconds after the local user
    joined; join default 0.5, leave default null = stays), video and audio (publishes
    them, default true), and for pattern users width, height, fps (320, 240, 15),
    sampleRate, channels (48000, 1) and pitch (330 + 110 * index Hz), audioFile and
    videoFile (a WAV and a Y4M file played instead of the tone and pattern, default
    null) and loop (both files, default false). An echo user sends in the local formats
    and ignores the first five; it plays no files (giving one is malformed).

    Default users: uid 1001, pattern, joins at 0.5 s, leaves at 6 s; uid 1002, echo,
    joins at 1 s and stays.

    setVideoProfile(width, height, fps, bitrate) sets the camera too; out of range
    values are brought into range and odd sizes rounded down to even, as a camera
    delivers the nearest format it can. Formats and the interval take effect from the
    next frame or report; sim.users and the files at the next joinChannel.

    Unknown keys are ignored, as a real engine ignores them. A malformed setting (a
    wrong type or a value out of range, malformed JSON) changes nothing at all: the
    operation returns -2 and one line on stderr names it, for instance
    ``velto-sim: EngineParameters.setParameters: sim.video.fps: expected an integer
    from 1 to 60, got 0``. In the initialisation text a malformed "sim" object is
    refused the same way, with one line on stderr, but initialize itself succeeds and
    keeps its event handler. A failed initialize keeps no event handler, as always.

Calls between processes
    Unless the network is off, a live call also joins the channel shared by the processes
    of the same OS user on this machine (see the README, "Calls between processes"). Each
    other process in the channel is a remote user: onRemoteUserJoined when it is greeted,
    its capture and record frames (as its callbacks left them) as render (11) and
    playback-before-mix (3) frames with its uid, in playback (1) and mix (2), statistics
    from what arrived (RemoteVideoStats.delay: the last frame's milliseconds from the
    sender's capture callback), and onRemoteUserOffline with reason 0 when it leaves, 1
    when its process ended. Scripted users stay private to their process.

    - joinChannel with uid 0 gets a uid unique in the channel, below 2**31 and none of
      this process's scripted users. A uid another process holds in the channel: the join
      returns -17, one stderr line says so, and no call starts.
    - Switches: what a process does not send (muteLocalVideo, muteLocalAudio, video off)
      the others do not get; what it mutes (muteAllRemoteAudioStreams, remote video) it
      does not get.
    - A receiver that cannot keep up gets the newest video frame when its callback is
      free (older ones are replaced) and at most 60 ms of audio; senders never wait.
    - The folder: sim.network.dir, else VELTO_SIM_NETWORK_DIR, else
      $XDG_RUNTIME_DIR/velto-sim, else $TMPDIR (or /tmp)/velto-sim-<uid>. Created with
      mode 0700 when missing; one owned by another user, open to others or not a folder
      is refused with one stderr line and the call stays in this process. Socket paths
      are limited (the folder's path to 73 characters). VELTO_SIM_NETWORK=0 ("0",
      "false", "no", "off") or sim.network.enabled false turns the network off; the
      setting wins over the variable. Both are read at each joinChannel.
    - network() describes the current engine's membership; transport_bench() measures
      the transport (bench/call_network.py).

Real media
    Files: the microphone and pattern users play a WAV file (16-bit PCM, any rate, mono
    or stereo, converted 10 ms at a time to the format the sender plays in), the camera
    and pattern users a Y4M file (I420 in any of its sitings, any size up to 3840x2160,
    shown in its own size, odd sizes cropped to even, at its own frame rate rounded to
    1..60). Played once, a file ends in silence or its last picture held; looped, it
    starts again. Files open when the call starts (a user's video file when it joins);
    one that cannot play is refused with one line on stderr, e.g. ``velto-sim:
    joinChannel: sim.video.file: cannot play 'x.y4m': colour space 444; only I420 (C420)
    plays; showing the test pattern instead``, and the sender keeps its pattern or tone.
    Files and pushed media advance by what is actually made: a frame or 10 ms skipped
    because a callback was slow skips nothing of the media, which plays on from there.

    Pushed media: ``push_audio`` and ``push_video`` queue media for the local user (uid 0)
    or a pattern user of sim.users; the engine plays it at real time (audio converted to
    the sender's format, 10 ms a round; one frame per tick of the sender's frame rate)
    instead of the sender's file, tone or pattern, with silence or the last frame while
    the queue is empty, until ``end_push``. The queues hold one second of audio and eight
    frames; a push waits for room. ``reset()`` ends every push.

    Other formats: ``velto_sim.media.play_file`` decodes with PyAV (the extra "media") and
    pushes. ``python -m velto_sim peer --channel NAME`` joins a call as one participant
    from the command line and prints what it sees.

Synthetic media
    Test pattern (I420): diagonal stripes and a bar that move with the frame number,
    the sender's uid (0 for the local camera) and the frame number in digits at the top
    left, a tint per uid, and in the bottom rows (height // 48, at least 1) a code of 64
    cells, each width // 64 pixels wide: cell i is 235 for bit 63 - i of
    (uid << 32 | frame number) and 16 for a zero bit (frames narrower than 64 pixels
    carry none; ``decode_pattern`` reads it). The frame number counts the producer's
    due times, so a skipped frame shows as a gap. Tones are sines of peak
    TONE_AMPLITUDE, every channel the same, continuous from frame to frame, and twice as loud
    for the first 20 ms of every second of the call: a tick that dates the audio as the
    pattern's frame number dates the video.

Library lookup
    The library already loaded in this process (the one ``_pyveltosdk`` uses) is
    preferred, then ``libvelto_rtc_sdk.so`` (``velto_rtc_sdk.dll``) beside this file, then the
    path in the environment variable ``VELTO_SIM_LIB`` (meant for development builds only).
"""

from __future__ import annotations

import ctypes
import json
import os
import time
from typing import Any, Dict, List, Optional, Tuple, Type

__all__ = [
    "VERSION", "BUILD", "SimError",
    "reset", "journal", "calls",
    "set_result", "clear_results", "refuse_subinterface", "fail_resolve_path",
    "create_gives_null", "counts", "outstanding_refs",
    "fire", "deliver_audio", "deliver_video", "observer_options",
    "RtcStats", "LocalVideoStats", "RemoteVideoStats", "LocalAudioStats",
    "RemoteAudioStats", "FirstFrameSize", "EVENT_RECORDS", "EVENTS",
    "AUDIO_RECORD", "AUDIO_PLAY", "AUDIO_MIX", "AUDIO_PLAY_BEFORE_MIX",
    "VIDEO_CAPTURE", "VIDEO_RENDER", "SDK_STRING",
    "set_live", "live", "settings", "decode_pattern", "TONE_AMPLITUDE",
    "network", "transport_bench",
    "push_audio", "push_video", "end_push", "PUSH_AUDIO_MAX_SECONDS",
]

_LIB_NAME = "velto_rtc_sdk.dll" if os.name == "nt" else "libvelto_rtc_sdk.so"

# Stream types for deliver_audio / deliver_video.
AUDIO_RECORD = 0
AUDIO_PLAY = 1
AUDIO_MIX = 2
AUDIO_PLAY_BEFORE_MIX = 3
VIDEO_CAPTURE = 10
VIDEO_RENDER = 11

# outstanding_refs id for the SdkString objects handed out by resolvePath.
SDK_STRING = 5

# Peak of every synthetic tone.
TONE_AMPLITUDE = 8192


class SimError(RuntimeError):
    """A control request failed; ``code`` is the library's result."""

    MESSAGES = {
        -1: "no event handler or observer known",
        -2: "the engine thread did not finish in time",
        -3: "unknown event or stream type",
        -4: "the module wrote outside the frame buffer",
        -5: "no such engine thread",
    }

    def __init__(self, code: int, what: str, message: Optional[str] = None) -> None:
        self.code = code
        if message is None:
            message = self.MESSAGES.get(code, "failed")
        super().__init__("%s: %s (%d)" % (what, message, code))


def _load() -> ctypes.CDLL:
    # Tests must steer the very library instance the extension uses; a second copy loaded
    # from another path would have its own journal.
    if os.name == "nt":
        # Windows has no RTLD_NOLOAD: the module's handle, when the extension loaded it.
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.GetModuleHandleW.restype = ctypes.c_void_p
        kernel32.GetModuleHandleW.argtypes = [ctypes.c_wchar_p]
        handle = kernel32.GetModuleHandleW(_LIB_NAME)
        if handle:
            return ctypes.CDLL(_LIB_NAME, handle=handle)
    else:
        try:
            return ctypes.CDLL(_LIB_NAME, mode=os.RTLD_NOLOAD)
        except (OSError, AttributeError):
            pass
    # The package is installed beside the extension and the engine library.
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.join(os.path.dirname(here), _LIB_NAME)
    if os.path.exists(beside):
        return ctypes.CDLL(beside)
    dev = os.environ.get("VELTO_SIM_LIB")
    if dev:
        return ctypes.CDLL(dev)
    raise ImportError("%s not found beside %s and VELTO_SIM_LIB is not set"
                      % (_LIB_NAME, __file__))


# CDLL (not PyDLL) releases the GIL during every call: the blocking calls wait for engine
# threads whose callbacks need the GIL.
_lib = _load()

_ORDINALS = {"createEngine": 2, "getEngineVersion": 3}
_c_int = ctypes.c_int
_c_size = ctypes.c_size_t
_c_ptr = ctypes.c_void_p
_c_int_p = ctypes.POINTER(ctypes.c_int)


def _declare(name: str, restype: Any, *argtypes: Any) -> Any:
    # The library's own entry points are exported by ordinal only on Windows, as the closed
    # library exports them (sdk/velto_rtc_sdk.def).
    function = _lib[_ORDINALS[name]] if os.name == "nt" and name in _ORDINALS else getattr(_lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)
    return function


_reset = _declare("vsim_reset", None)
_journal_json = _declare("vsim_journal_json", _c_size, ctypes.c_char_p, _c_size)
_set_result = _declare("vsim_set_result", None, ctypes.c_char_p, _c_int)
_clear_results = _declare("vsim_clear_results", None)
_refuse_subinterface = _declare("vsim_refuse_subinterface", None, _c_int, _c_int)
_fail_resolve_path = _declare("vsim_fail_resolve_path", None, _c_int)
_create_gives_null = _declare("vsim_create_gives_null", None, _c_int)
_counts = _declare("vsim_counts", None, _c_int_p, _c_int_p, _c_int_p)
_outstanding_refs = _declare("vsim_outstanding_refs", _c_int, _c_int)
_record_size = _declare("vsim_record_size", _c_size, ctypes.c_char_p)
_fire = _declare("vsim_fire", _c_int, ctypes.c_char_p, ctypes.c_uint32, _c_int, _c_ptr, _c_size,
                 _c_int, _c_int)
_deliver_audio = _declare("vsim_deliver_audio", _c_int, _c_int, ctypes.c_uint32, _c_int, _c_int,
                          _c_int, _c_int, _c_ptr, _c_size, _c_int, _c_int)
_deliver_video = _declare("vsim_deliver_video", _c_int, _c_int, ctypes.c_uint32, _c_int, _c_int,
                          _c_ptr, _c_size, _c_ptr, _c_size, _c_ptr, _c_size, _c_int, _c_int)
_observer_options = _declare("vsim_observer_options", _c_int, _c_int_p)
_set_live = _declare("vsim_set_live", None, _c_int)
_live = _declare("vsim_live", _c_int)
_settings_json = _declare("vsim_settings_json", _c_size, ctypes.c_char_p, _c_size)
_get_engine_version = _declare("getEngineVersion", ctypes.c_char_p, _c_int_p)
_push_audio = _declare("vsim_push_audio", _c_int, ctypes.c_uint32, ctypes.c_char_p, _c_size,
                       _c_int, _c_int)
_push_video = _declare("vsim_push_video", _c_int, ctypes.c_uint32, _c_int, _c_int,
                       ctypes.c_char_p, _c_size)
_push_end = _declare("vsim_push_end", None, ctypes.c_uint32)


# --- records carried by notifications, mirroring the engine's declarations -----------------

class RtcStats(ctypes.Structure):
    """Carried by onChannelLeft."""
    _fields_ = [
        ("duration", ctypes.c_uint32),
        ("txBytes", ctypes.c_uint32),
        ("rxBytes", ctypes.c_uint32),
        ("userCount", ctypes.c_uint32),
    ]


class LocalVideoStats(ctypes.Structure):
    _fields_ = [
        ("sentBitrate", ctypes.c_int32),
        ("sentFrameRate", ctypes.c_int32),
        ("encoderOutputFrameRate", ctypes.c_int32),
        ("rendererOutputFrameRate", ctypes.c_int32),
        ("targetBitrate", ctypes.c_int32),
        ("targetFrameRate", ctypes.c_int32),
        ("unused1", ctypes.c_int32),
        ("encodedBitrate", ctypes.c_int32),
        ("encodedFrameWidth", ctypes.c_int32),
        ("encodedFrameHeight", ctypes.c_int32),
        ("encodedFrameCount", ctypes.c_int32),
        ("codecType", ctypes.c_int32),
        ("txPacketLossRate", ctypes.c_uint16),
        ("unused2", ctypes.c_uint16),
        ("captureFrameRate", ctypes.c_int32),
        ("unused3", ctypes.c_int32),
    ]


class RemoteVideoStats(ctypes.Structure):
    _fields_ = [
        ("uid", ctypes.c_uint32),
        ("delay", ctypes.c_int32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("receivedBitrate", ctypes.c_int32),
        ("decoderOutputFrameRate", ctypes.c_int32),
        ("rendererOutputFrameRate", ctypes.c_int32),
        ("packetLossRate", ctypes.c_int32),
        ("rxStreamType", ctypes.c_int32),
        ("totalFrozenTime", ctypes.c_int32),
        ("frozenRate", ctypes.c_int32),
        ("unused1", ctypes.c_int32),
    ]


class LocalAudioStats(ctypes.Structure):
    _fields_ = [
        ("numChannels", ctypes.c_int32),
        ("sentSampleRate", ctypes.c_int32),
        ("sentBitrate", ctypes.c_int32),
        ("txPacketLossRate", ctypes.c_uint16),
        ("unused1", ctypes.c_uint16),
        ("unused2", ctypes.c_int32),
    ]


class RemoteAudioStats(ctypes.Structure):
    _fields_ = [
        ("uid", ctypes.c_uint32),
        ("quality", ctypes.c_int32),
        ("networkTransportDelay", ctypes.c_int32),
        ("jitterBufferDelay", ctypes.c_int32),
        ("audioLossRate", ctypes.c_int32),
        ("numChannels", ctypes.c_int32),
        ("receivedSampleRate", ctypes.c_int32),
        ("receivedBitrate", ctypes.c_int32),
        ("totalFrozenTime", ctypes.c_int32),
        ("unused1", ctypes.c_int32),
        ("totalActiveTime", ctypes.c_int32),
        ("publishDuration", ctypes.c_int32),
        ("unused2", ctypes.c_int32),
    ]


class FirstFrameSize(ctypes.Structure):
    """Width and height passed to onFirstRemoteVideoFrame (uid and arg=elapsed carry the rest)."""
    _fields_ = [
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
    ]


# Notifications that carry a record, and the record's type.
EVENT_RECORDS = {
    "onChannelLeft": RtcStats,
    "onLocalVideoStats": LocalVideoStats,
    "onRemoteVideoStats": RemoteVideoStats,
    "onLocalAudioStats": LocalAudioStats,
    "onRemoteAudioStats": RemoteAudioStats,
    "onFirstRemoteVideoFrame": FirstFrameSize,
}  # type: Dict[str, Type[ctypes.Structure]]

# Every notification fire() knows, with what uid and arg mean for it.
EVENTS = {
    "onWarning": "arg = warning code; message 'sim'",
    "onError": "arg = error code; message 'sim'",
    "onJoinChannelSuccess": "channel of the last joinChannel, uid, arg = elapsed",
    "onRejoinChannelSuccess": "channel of the last joinChannel, uid, arg = elapsed",
    "onChannelLeft": "RtcStats fields",
    "onRemoteUserJoined": "uid, arg = elapsed",
    "onRemoteUserOffline": "uid, arg = reason",
    "onConnectionLost": "nothing",
    "onLocalVideoStats": "LocalVideoStats fields",
    "onRemoteVideoStats": "RemoteVideoStats fields (uid fills the uid field)",
    "onLocalAudioStats": "LocalAudioStats fields",
    "onRemoteAudioStats": "RemoteAudioStats fields (uid fills the uid field)",
    "onFirstRemoteVideoFrame": "uid, arg = elapsed, width and height fields",
}


def _check_record_sizes() -> None:
    for record in (RtcStats, LocalVideoStats, RemoteVideoStats, LocalAudioStats,
                   RemoteAudioStats, FirstFrameSize):
        native = _record_size(record.__name__.encode())
        if native != ctypes.sizeof(record):
            raise ImportError("velto_sim.%s is %d bytes but the engine's is %d"
                              % (record.__name__, ctypes.sizeof(record), native))


_check_record_sizes()


def _version() -> Tuple[bytes, int]:
    build = ctypes.c_int(0)
    text = _get_engine_version(ctypes.byref(build))
    return text, build.value


#: The engine's version text, as getEngineVersion returns it (e.g. b"4.2.0-sim").
#: Reading it at import journals one getEngineVersion call; reset() clears it.
VERSION, BUILD = _version()


# --- journal and controls --------------------------------------------------------------------

def reset() -> None:
    """Clear the journal, forced results, refusals and switches; restart the engine counters
    (created == alive, released == 0). Outstanding references are kept: they count live
    objects."""
    _reset()


def _read_json(function: Any) -> Any:
    size = function(None, 0)
    while True:
        buffer = ctypes.create_string_buffer(size + 1)
        needed = function(buffer, size + 1)
        if needed <= size:
            return json.loads(buffer.value.decode("utf-8"))
        size = needed  # engine threads appended meanwhile


def journal() -> List[Dict[str, Any]]:
    """Every call so far, in order: {"engine", "call", "args", "result"}."""
    return _read_json(_journal_json)


def calls(name: str) -> List[Dict[str, Any]]:
    """The args of every journal entry named `name`, in order."""
    return [entry["args"] for entry in journal() if entry["call"] == name]


def set_result(call: str, result: int) -> None:
    """Make the operation `call` ("joinChannel", "EngineParameters.setParameters", ...) return
    `result` until reset() or clear_results()."""
    _set_result(call.encode("utf-8"), result)


def clear_results() -> None:
    _clear_results()


def refuse_subinterface(id: int, refuse: bool = True) -> None:
    """Make getSubInterface(id) fail (-1) without handing anything out."""
    _refuse_subinterface(id, 1 if refuse else 0)


def fail_resolve_path(fail: bool = True) -> None:
    """Make EngineParameters.resolvePath fail (-1) without handing out a string."""
    _fail_resolve_path(1 if fail else 0)


def create_gives_null(on: bool = True) -> None:
    """Make createEngine return no engine."""
    _create_gives_null(1 if on else 0)


def counts() -> Dict[str, int]:
    """Engines created, alive and released (since the last reset())."""
    created, alive, released = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    _counts(ctypes.byref(created), ctypes.byref(alive), ctypes.byref(released))
    return {"created": created.value, "alive": alive.value, "released": released.value}


def outstanding_refs(id: int) -> int:
    """References handed out and not given back: sub-interface id 1..4, or SDK_STRING (5).
    Negative when the module released more often than it received."""
    return _outstanding_refs(id)


# --- live calls ------------------------------------------------------------------------------

def set_live(on: Optional[bool]) -> None:
    """Live calls for engines that join from now on: True on, False off, None as the
    environment variable VELTO_SIM_LIVE says (unset: on)."""
    _set_live(-1 if on is None else (1 if on else 0))


def live() -> bool:
    """Whether an engine joining now would start a live call."""
    return bool(_live())


def settings() -> Dict[str, Any]:
    """The current engine's live settings and switches, and whether it is in a live call:
    {"settings": {"video": {...}, "audio": {...}, "stats": {...}, "users": [...]},
    "switches": {"audio": bool, "video": bool, ...}, "inCall": bool}. The last engine
    released stands in while none is alive; the defaults while none ever was."""
    return _read_json(_settings_json)


def decode_pattern(y: bytes, width: int, height: int) -> Optional[Tuple[int, int]]:
    """(uid, frame number) from the code in the bottom row of a test pattern's Y plane,
    or None when the frame carries no readable code (too narrow, or overwritten)."""
    cell = width // 64
    if cell == 0 or height < 1 or len(y) < width * height:
        return None
    row = y[(height - 1) * width:height * width]
    code = 0
    for i in range(64):
        value = row[i * cell + cell // 2]
        if value >= 200:
            code = code << 1 | 1
        elif value <= 50:
            code <<= 1
        else:
            return None
    return code >> 32, code & 0xFFFFFFFF


# --- engine threads --------------------------------------------------------------------------

def _timeout_ms(timeout: Optional[float]) -> int:
    return -1 if timeout is None else min(max(0, int(timeout * 1000)), 2 ** 31 - 1)


def _wrap(value: int, ctype: Any) -> int:
    """`value` reduced to the width of `ctype`, two's complement, as the C field would hold it."""
    bits = ctypes.sizeof(ctype) * 8
    value = int(value) & ((1 << bits) - 1)
    if ctype(-1).value < 0 and value >= 1 << (bits - 1):
        value -= 1 << bits
    return value


def _build_record(record_type: Type[ctypes.Structure], uid: int,
                  fields: Dict[str, int]) -> ctypes.Structure:
    record = record_type()
    types = dict(record_type._fields_)
    for name, value in fields.items():
        if name not in types:
            raise TypeError("%s has no field %r" % (record_type.__name__, name))
        setattr(record, name, _wrap(value, types[name]))
    if "uid" in types:
        record.uid = _wrap(uid, ctypes.c_uint32)
    return record


def fire(event: str, uid: int = 0, arg: int = 0, *, thread: int = 0,
         timeout: Optional[float] = 5.0, **stats_fields: int) -> None:
    """Fire the event handler's notification `event` on engine thread `thread` (0..3) and wait
    until the module returned (timeout in seconds, None = no limit).

    For the notifications in EVENT_RECORDS the keyword arguments fill the record's fields by
    their engine names (unused* slots included); fields not given are 0 and values wrap to the
    field's width. Raises SimError (-1 no event handler, -2 timeout, -3 unknown event, -5 no
    such thread)."""
    record_type = EVENT_RECORDS.get(event)
    record = None
    if record_type is not None:
        record = _build_record(record_type, uid, stats_fields)
    elif stats_fields:
        raise TypeError("%s carries no record; unexpected %s"
                        % (event, ", ".join(sorted(stats_fields))))
    result = _fire(event.encode("utf-8"), _wrap(uid, ctypes.c_uint32), _wrap(arg, ctypes.c_int32),
                   None if record is None else ctypes.addressof(record),
                   0 if record is None else ctypes.sizeof(record),
                   thread, _timeout_ms(timeout))
    if result != 0:
        raise SimError(result, "fire(%r)" % event)


def _buffer(data: Optional[bytes], length: Optional[int]) -> Tuple[Any, int]:
    """A writable copy of `data` of `length` bytes (zero-padded or cut), or (None, 0)."""
    if data is None:
        return None, 0
    size = len(data) if length is None else length
    # At least one byte so an empty buffer still has an address.
    buffer = (ctypes.c_char * max(size, 1))()
    ctypes.memmove(buffer, bytes(data), min(size, len(data)))
    return buffer, size


def deliver_audio(stream_type: int, data: Optional[bytes], *, uid: int = 0,
                  samples: Optional[int] = None, bytes_per_sample: int = 2, channels: int = 1,
                  samples_per_sec: int = 48000, buffer_len: Optional[int] = None,
                  thread: int = 0, timeout: Optional[float] = 5.0
                  ) -> Tuple[int, Optional[bytes]]:
    """Deliver an audio frame (AUDIO_RECORD, AUDIO_PLAY, AUDIO_MIX, AUDIO_PLAY_BEFORE_MIX with
    `uid`) through the attached audio observer on engine thread `thread`.

    `data` None gives the observer a null buffer. `samples` defaults to
    len(data) // (bytes_per_sample * channels); `buffer_len` makes the engine's buffer that many
    bytes regardless of the frame fields. Returns (answer, bytes after the call): answer is the
    observer's 1/0, or -1 when no audio observer is attached. Raises SimError on timeout (-2),
    bad stream type (-3), a write outside the buffer (-4) or a bad thread index (-5)."""
    if samples is None:
        frame_bytes = bytes_per_sample * channels
        samples = 0 if data is None or frame_bytes <= 0 else len(data) // frame_bytes
    buffer, size = _buffer(data, buffer_len)
    result = _deliver_audio(stream_type, _wrap(uid, ctypes.c_uint32), samples, bytes_per_sample,
                            channels, samples_per_sec, buffer, size, thread, _timeout_ms(timeout))
    if result < -1:
        raise SimError(result, "deliver_audio")
    return result, None if buffer is None else buffer.raw[:size]


def deliver_video(stream_type: int, width: int, height: int, y: Optional[bytes],
                  u: Optional[bytes], v: Optional[bytes], *, uid: int = 0, thread: int = 0,
                  timeout: Optional[float] = 5.0
                  ) -> Tuple[int, Tuple[Optional[bytes], Optional[bytes], Optional[bytes]]]:
    """Deliver an I420 video frame (VIDEO_CAPTURE, or VIDEO_RENDER with `uid`) through the
    attached video observer on engine thread `thread`. Each plane is copied into engine memory
    of exactly its length (None gives a null plane); strides are width and (width + 1) // 2.

    Returns (answer, (y, u, v) after the call); answer -1 when no video observer is attached.
    Raises SimError like deliver_audio."""
    planes = [_buffer(plane, None) for plane in (y, u, v)]
    result = _deliver_video(stream_type, _wrap(uid, ctypes.c_uint32), width, height,
                            planes[0][0], planes[0][1], planes[1][0], planes[1][1],
                            planes[2][0], planes[2][1], thread, _timeout_ms(timeout))
    if result < -1:
        raise SimError(result, "deliver_video")
    after = tuple(None if buffer is None else buffer.raw[:size] for buffer, size in planes)
    return result, after  # type: ignore[return-value]


_OPTION_NAMES = ("audioOption1", "audioOption2", "videoOption1", "videoOption2", "videoOption3",
                 "videoOption4", "videoOption5", "videoOption6", "videoOption7", "videoOption8")


def observer_options() -> Dict[str, int]:
    """Ask the attached observers their options on engine thread 0: {"audioOption1": 0/1, ...,
    "videoOption2": int, ...}. Raises SimError(-1) when an observer is missing."""
    out = (ctypes.c_int * len(_OPTION_NAMES))()
    result = _observer_options(out)
    if result != 0:
        raise SimError(result, "observer_options")
    return dict(zip(_OPTION_NAMES, out))


# --- pushed media ----------------------------------------------------------------------------

#: The most audio one push_audio call hands the engine at once; longer pushes go in pieces.
PUSH_AUDIO_MAX_SECONDS = 0.1


def _push(attempt: Any, uid: int, timeout: Optional[float], what: str) -> None:
    """Calls attempt() until the engine takes the media; waits while its queue is full."""
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        result = attempt()
        if result == 0:
            return
        if result == -1:
            raise SimError(result, what, "no engine: initialize first")
        if result == -4:
            raise SimError(result, what, "uid %d is neither the local user (0) nor a pattern "
                           "user of the engine's sim.users" % uid)
        if result != -2:
            raise SimError(result, what, "the engine refused the size or format")
        if deadline is not None and time.monotonic() >= deadline:
            raise TimeoutError("%s: the engine took nothing for %.1f s; it plays pushed media "
                               "only during a call" % (what, timeout or 0.0))
        time.sleep(0.005)


def push_audio(pcm: bytes, sample_rate: int, channels: int, *, uid: int = 0,
               timeout: Optional[float] = 5.0) -> None:
    """Push 16-bit interleaved PCM (native byte order) for the local user (uid 0) or a pattern
    user of sim.users; the engine converts it to that sender's format and plays it at real
    time in place of its tone or file, silence when the queue runs dry, until end_push(uid).

    Blocks while the engine's queue (one second) is full, so a loop of pushes is paced by the
    call; raises TimeoutError when nothing could be queued for `timeout` seconds (None: no
    limit), ValueError for a wrong size or format, SimError when there is no engine or `uid`
    plays no pushed media."""
    data = bytes(pcm)
    if channels not in (1, 2):
        raise ValueError("channels must be 1 or 2, not %r" % (channels,))
    if not 1000 <= sample_rate <= 384000:
        raise ValueError("sample_rate must be from 1000 to 384000, not %r" % (sample_rate,))
    frame = 2 * channels
    if not data or len(data) % frame:
        raise ValueError("pcm must be whole frames of %d bytes (16-bit samples, %d channel%s), "
                         "got %d bytes" % (frame, channels, "s"[:channels - 1], len(data)))
    step = max(1, int(sample_rate * PUSH_AUDIO_MAX_SECONDS)) * frame
    for start in range(0, len(data), step):
        piece = data[start:start + step]
        _push(lambda: _push_audio(_wrap(uid, ctypes.c_uint32), piece, len(piece), sample_rate,
                                  channels), uid, timeout, "push_audio")


def push_video(i420: bytes, width: int, height: int, *, uid: int = 0,
               timeout: Optional[float] = 5.0) -> None:
    """Push one I420 frame (the Y, U and V planes one after another) for the local user
    (uid 0) or a pattern user of sim.users; the sender shows it in place of its pattern or
    file at its own frame rate, repeating the last frame while no new one is queued, until
    end_push(uid). Sizes are even, 2..3840 by 2..2160, and may change from frame to frame.

    Blocks while the engine's queue (8 frames) is full; errors as for push_audio."""
    data = bytes(i420)
    if not (2 <= width <= 3840 and 2 <= height <= 2160 and width % 2 == 0
            and height % 2 == 0):
        raise ValueError("width and height must be even, 2..3840 by 2..2160, not %rx%r"
                         % (width, height))
    expected = width * height * 3 // 2
    if len(data) != expected:
        raise ValueError("an I420 frame of %dx%d is %d bytes, got %d"
                         % (width, height, expected, len(data)))
    _push(lambda: _push_video(_wrap(uid, ctypes.c_uint32), width, height, data, len(data)),
          uid, timeout, "push_video")


def end_push(uid: int = 0) -> None:
    """End the push for `uid`: media still queued is dropped and the sender plays its own
    tone, pattern or file again."""
    _push_end(_wrap(uid, ctypes.c_uint32))


# Calls between processes live in their own module; imported last, as it uses the loader above.
from .network import network, transport_bench  # noqa: E402
