"""Files read back after a write failed (a full disk): what a player finds in each.

A failed write leaves a file cut at an unknown point: its last fragment, cluster or frame may be
partial, or the file may hold nothing. Each file is opened as a player opens it (PyAV for MP4 and
WebM, the headers for WAV and Y4M) and measured. Only the end can be damaged, so for MP4 and WebM
every packet is read (cheap) but only those from the last key frame on are decoded."""

import os
import struct
from typing import Any, List, NamedTuple, Optional

AUDIO_TAIL = 50  # audio packets decoded at the end: a second of AAC or Opus


class Found(NamedTuple):
    """What a file holds that a player can use. A stream the file lacks is None."""
    video_frames: Optional[int]
    video_seconds: Optional[float]
    audio_seconds: Optional[float]
    cut: bool  # the file ends inside a frame, packet or fragment

    def empty(self) -> bool:
        return not self.video_frames and not self.audio_seconds


def read_back(path: str, fps: int) -> Optional[Found]:
    """What `path` holds, or None when it holds nothing readable (absent, empty, headerless).
    `fps` is the video's frame rate, for the length of its last picture."""
    try:
        if os.path.getsize(path) == 0:
            return None
    except OSError:
        return None
    ext = os.path.splitext(path)[1]
    found = {".y4m": _read_y4m, ".wav": _read_wav}.get(ext, _read_av)(path, fps)
    return None if found is None or found.empty() else found


def _read_y4m(path: str, _fps: int) -> Optional[Found]:
    try:
        with open(path, "rb") as f:
            header = f.readline(1024)
            size = os.fstat(f.fileno()).st_size
    except OSError:
        return None
    fields = header.split()
    if not header.endswith(b"\n") or not fields or fields[0] != b"YUV4MPEG2":
        return None
    named = {field[:1]: field[1:] for field in fields[1:]}
    try:
        width, height = int(named[b"W"]), int(named[b"H"])
        num, den = (int(part) for part in named[b"F"].split(b":"))
        rate = num / den
    except (KeyError, ValueError, ZeroDivisionError):
        return None
    frame = len(b"FRAME\n") + width * height + 2 * ((width + 1) // 2) * ((height + 1) // 2)
    frames, rest = divmod(size - len(header), frame)
    return Found(frames, frames / rate, None, rest != 0)


def _read_wav(path: str, _fps: int) -> Optional[Found]:
    try:
        with open(path, "rb") as f:
            data = f.read(4096)  # the header: the writer puts nothing long before the samples
            size = os.fstat(f.fileno()).st_size
    except OSError:
        return None
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        return None
    at, rate, block = 12, 0, 0
    while at + 8 <= len(data):
        kind, length = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        if kind == b"fmt " and at + 24 <= len(data):
            rate = struct.unpack("<I", data[at + 12:at + 16])[0]
            block = struct.unpack("<H", data[at + 20:at + 22])[0]
        elif kind == b"data":
            if not rate or not block:
                return None
            available = size - at - 8
            samples = min(length, available) // block
            return Found(None, None, samples / rate, length > available or available % block != 0)
        at += 8 + length + (length & 1)
    return None


def _read_av(path: str, fps: int) -> Optional[Found]:
    import av

    try:
        container = av.open(path)
    except (av.FFmpegError, OSError, ValueError):
        return None
    with container:
        streams = [s for s in container.streams if s.type in ("video", "audio")]
        tails: List[List[Any]] = [[] for _ in streams]
        before: List[Any] = [None] * len(streams)  # the last packet ahead of the tail
        counts = [0] * len(streams)
        firsts: List[Optional[int]] = [None] * len(streams)
        cut = False
        try:
            for packet in container.demux(*streams):
                if packet.pts is None or packet.size == 0:
                    continue
                at = streams.index(packet.stream)
                tail = tails[at]
                if packet.stream.type == "video" and packet.is_keyframe and tail:
                    before[at] = tail[-1]
                    del tail[:]
                tail.append(packet)
                if packet.stream.type == "audio" and len(tail) > AUDIO_TAIL:
                    before[at] = tail.pop(0)
                counts[at] += 1
                if firsts[at] is None:
                    firsts[at] = packet.pts
        except (av.FFmpegError, OSError, ValueError):
            cut = True  # the container itself is cut
        video_frames = video_seconds = audio_seconds = None
        for at, stream in enumerate(streams):
            bad, last = _decode(stream, tails[at])
            cut = cut or bad > 0
            good = counts[at] - bad
            last = last if last is not None else before[at]
            if stream.type == "video":
                video_frames = good
                video_seconds = 0.0
                if last is not None and good:
                    video_seconds = float((last.pts - firsts[at]) * stream.time_base) + 1.0 / fps
            else:
                audio_seconds = 0.0
                if last is not None and good:
                    audio_seconds = float((last.pts + (last.duration or 0) - firsts[at])
                                          * stream.time_base)
    return Found(video_frames, video_seconds, audio_seconds, cut)


def _decode(stream: Any, packets: List[Any]) -> Any:
    """(packets from the first that does not decode on, the last packet that does) of the
    packets at the end of a stream, decoded from its last key frame."""
    import av

    stream.codec_context.thread_count = 1  # an error belongs to the packet that caused it
    last = None
    for number, packet in enumerate(packets):
        try:
            packet.decode()
        except (av.FFmpegError, ValueError):
            return len(packets) - number, last
        last = packet
    return 0, last
