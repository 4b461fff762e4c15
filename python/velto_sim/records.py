"""The records the engine's notifications carry, laid out as the engine declares them (checked
against the library's own sizes at import), and the notifications ``fire`` knows."""

from __future__ import annotations

import ctypes
from typing import Dict, Type

from ._library import declare

_record_size = declare("vsim_record_size", ctypes.c_size_t, ctypes.c_char_p)


class RtcStats(ctypes.Structure):
    """Carried by onChannelLeft."""
    _fields_ = [
        ("duration", ctypes.c_uint32),
        ("txBytes", ctypes.c_uint32),
        ("rxBytes", ctypes.c_uint32),
        ("userCount", ctypes.c_uint32),
    ]


class LocalVideoStats(ctypes.Structure):
    """Carried by onLocalVideoStats."""
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
    """Carried by onRemoteVideoStats."""
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
    """Carried by onLocalAudioStats."""
    _fields_ = [
        ("numChannels", ctypes.c_int32),
        ("sentSampleRate", ctypes.c_int32),
        ("sentBitrate", ctypes.c_int32),
        ("txPacketLossRate", ctypes.c_uint16),
        ("unused1", ctypes.c_uint16),
        ("unused2", ctypes.c_int32),
    ]


class RemoteAudioStats(ctypes.Structure):
    """Carried by onRemoteAudioStats."""
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


#: Notifications that carry a record, and the record's type.
EVENT_RECORDS: Dict[str, Type[ctypes.Structure]] = {
    "onChannelLeft": RtcStats,
    "onLocalVideoStats": LocalVideoStats,
    "onRemoteVideoStats": RemoteVideoStats,
    "onLocalAudioStats": LocalAudioStats,
    "onRemoteAudioStats": RemoteAudioStats,
    "onFirstRemoteVideoFrame": FirstFrameSize,
}

#: Every notification fire() knows, with what uid and arg mean for it.
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
