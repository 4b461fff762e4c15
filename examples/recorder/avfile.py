"""Compressed files through PyAV: MP4 (H.264 + AAC) or WebM (VP9 + Opus).

Written so that a recording cut short is still readable up to about a second before the cut:
MP4 is fragmented (a fragment at every key frame, one a second) and WebM closes a cluster every
second, and both flush each write to the file. One worker thread uses a writer at a time."""

from fractions import Fraction
from typing import Any, Dict, List, Optional

import av
import numpy as np

from .formats import AudioClock, AudioFormat, Planes, VideoFormat, WriteFailed

AUDIO_RATE = 48000  # Opus takes no other rate of the engine's, and AAC does well at it.

CONTAINERS: Dict[str, Dict[str, Any]] = {
    "mp4": {"video": "libx264", "audio": "aac",
            "options": {"movflags": "frag_keyframe+empty_moov+default_base_moof",
                        "frag_duration": "1000000", "flush_packets": "1"},
            # One x264 thread per encoder, on the worker's own thread: the encode call lets
            # the interpreter go, so the encoders of the users and the composite share the
            # cores through their workers, without the wake-ups of x264's slice threads at
            # every picture (a sixth less CPU on a busy 2-core machine, bench/recorder.py).
            # The fastest preset: half the CPU of "veryfast" for files about a third larger,
            # so two 720p users and the composite fit a 2-core machine. No B-frames: a
            # fragmented file has no edit list to undo their delay, which would put the
            # pictures late.
            "video_options": {"preset": "ultrafast", "bf": "0", "threads": "1"}},
    # VP9 in real-time mode at libvpx's fastest speed (cpu-used 8; 9 is refused), on one
    # thread per encoder, one tile column: the most frames per second of CPU of the variants
    # bench/recorder.py measures. Row multithreading and tile columns make one encoder faster
    # on two cores but cost as much or more CPU per frame, and the recorder runs an encoder
    # per user and the composite's at once, whose threads share the cores anyway. A lower bit
    # rate gains little (at most a twentieth at 512 kbit/s). The encode call lets the
    # interpreter go; what limits WebM is libvpx's speed.
    "webm": {"video": "libvpx-vp9", "audio": "libopus",
             "options": {"cluster_time_limit": "1000", "flush_packets": "1"},
             "video_options": {"deadline": "realtime", "cpu-used": "8", "lag-in-frames": "0",
                               "threads": "1", "row-mt": "0", "tile-columns": "0"}},
}


def reason(error: Exception) -> str:
    """The cause without the file name, which the message gives once already."""
    return str(getattr(error, "strerror", None) or error)


def i420_array(width: int, height: int, planes: Planes) -> Any:
    """One (height * 3 / 2, width) array of the three planes, as PyAV reads yuv420p; odd sizes
    lose their last column or row."""
    even_w, even_h = width & ~1, height & ~1
    y, u, v = (np.frombuffer(plane, np.uint8) for plane in planes)
    if (even_w, even_h) == (width, height) and len(y) == width * height:
        return np.concatenate((y, u[:width * height // 4], v[:width * height // 4])).reshape(
            height * 3 // 2, width)
    luma = y[:width * height].reshape(height, width)[:even_h, :even_w].ravel()
    chroma = (even_w // 2) * (even_h // 2)
    return np.concatenate((luma, u[:chroma], v[:chroma])).reshape(even_h * 3 // 2, even_w)


def picture(width: int, height: int, planes: Planes) -> Any:
    """A new yuv420p frame of the planes."""
    return av.VideoFrame.from_ndarray(i420_array(width, height, planes), format="yuv420p")


def fill(frame: Any, width: int, height: int, planes: Planes) -> bool:
    """Copies the planes into `frame` (of the same even size), row by row when its rows are
    wider than the picture; False when the planes are not those of such a picture."""
    if (width, height) != (frame.width, frame.height) or width % 2 or height % 2:
        return False
    views = [memoryview(plane).cast("B") for plane in planes]
    targets = frame.planes
    if any(len(view) != target.width * target.height for view, target in zip(views, targets)):
        return False
    for view, target in zip(views, targets):
        if target.line_size == target.width:
            target.update(view)
        else:
            rows = np.frombuffer(target, np.uint8).reshape(target.height, target.line_size)
            rows[:, :target.width] = np.frombuffer(view, np.uint8).reshape(target.height,
                                                                           target.width)
    return True


class AvWriter:
    def __init__(self, name: str, path: str, video: Optional[VideoFormat],
                 audio: Optional[AudioFormat]) -> None:
        kind = CONTAINERS[name]
        self.path = path
        self.files = [path]
        self.video_format, self.audio_format = video, audio
        self.video_frames = 0
        self.audio_samples = 0  # at AUDIO_RATE, silence included
        self.last_video_seconds = -1.0
        self._last_pts = -1
        self._first_pts = 0
        self._resampler: Any = None
        self._resampler_input: Optional[AudioFormat] = None
        self._closed = False
        self._clock = AudioClock(AUDIO_RATE)
        self._video: Any = None
        self._audio: Any = None
        # One frame for every picture of the file's size, rather than a fresh 1.4 MB
        # allocation per 720p picture (which may come as new pages for the kernel to zero).
        # The encoders copy a picture in before the encode call returns; make_writable copies
        # only if one still holds it.
        self._frame: Any = None
        try:
            self._container = av.open(path, "w", format=name,
                                      container_options=dict(kind["options"]))
            if video is not None:
                stream: Any = self._container.add_stream(kind["video"], rate=video.fps)
                stream.width, stream.height = video.width & ~1, video.height & ~1
                stream.pix_fmt = "yuv420p"
                stream.codec_context.time_base = Fraction(1, 1000)
                stream.codec_context.gop_size = max(1, video.fps)  # a fragment each second
                stream.options = dict(kind["video_options"])
                self._video = stream
            if audio is not None:
                layout = "stereo" if audio.channels >= 2 else "mono"
                add_stream: Any = self._container.add_stream  # PyAV 12's stubs lack `layout`
                self._audio = add_stream(kind["audio"], rate=AUDIO_RATE, layout=layout)
            # The header goes out now: a file cut from here on is never headerless.
            self._container.start_encoding()
        except (av.FFmpegError, OSError, ValueError) as error:
            self._closed = True
            try:
                self._container.close()  # the file, not left to the collector
            except (AttributeError, av.FFmpegError, OSError, ValueError):
                pass
            raise WriteFailed("%s: %s" % (path, reason(error)))

    # --- video ---------------------------------------------------------------------------------

    def add_video(self, seconds: float, width: int, height: int, planes: Planes) -> None:
        if self._video is None or self._closed:
            return
        pts = max(int(round(seconds * 1000)), self._last_pts + 1)
        frame = self._frame
        if frame is None:
            frame = self._frame = av.VideoFrame(self._video.width, self._video.height,
                                                "yuv420p")
        else:
            frame.make_writable()
        if not fill(frame, width, height, planes):  # another size, or odd: converted
            frame = picture(width, height, planes)
            if (frame.width, frame.height) != (self._video.width, self._video.height):
                frame = frame.reformat(width=self._video.width, height=self._video.height)
        frame.pts = pts
        frame.time_base = Fraction(1, 1000)
        self._encode(self._video, frame)
        if self.video_frames == 0:
            self._first_pts = pts
        self._last_pts = pts
        self.video_frames += 1
        self.last_video_seconds = pts / 1000.0

    # --- audio ---------------------------------------------------------------------------------

    def add_audio(self, seconds: float, rate: int, channels: int, data: bytes) -> None:
        if self._audio is None or self._closed or channels < 1 or not data or rate <= 0:
            return
        samples = len(data) // (2 * channels) * AUDIO_RATE / rate
        for gap, frame in self._clock.place(seconds, samples, (rate, channels, data)):
            self._write_audio(gap, *frame)

    def _write_audio(self, gap: int, rate: int, channels: int, data: bytes) -> None:
        if gap:
            self._silence(gap)
        pcm = np.frombuffer(data, np.int16)
        pcm = pcm[:len(pcm) // channels * channels]
        if channels > 2:
            pcm = pcm.reshape(-1, channels)[:, :2].ravel()
            channels = 2
        frame = av.AudioFrame.from_ndarray(pcm.reshape(1, -1), format="s16",
                                           layout="stereo" if channels == 2 else "mono")
        frame.sample_rate = rate
        self._feed(frame, AudioFormat(rate, channels))

    def end_audio(self, seconds: float) -> None:
        """Writes the audio still held and makes it last until `seconds` into the file."""
        if self._audio is not None and not self._closed:
            for gap, frame in self._clock.drain():
                self._write_audio(gap, *frame)
            gap = self._clock.silence_to_end(seconds, self.audio_samples)
            if gap:
                self._silence(gap)

    def _silence(self, samples: int) -> None:
        layout = self._audio.layout.name
        channels = 2 if layout == "stereo" else 1
        while samples > 0:
            count = min(samples, AUDIO_RATE)
            frame = av.AudioFrame.from_ndarray(np.zeros((1, count * channels), np.int16),
                                               format="s16", layout=layout)
            frame.sample_rate = AUDIO_RATE
            self._feed(frame, AudioFormat(AUDIO_RATE, channels))
            samples -= count

    def _feed(self, frame: Any, source: AudioFormat) -> None:
        if source != self._resampler_input:
            self._resample(None)  # what the old format still holds
            self._resampler = av.AudioResampler(format=self._audio.format.name,
                                                layout=self._audio.layout.name,
                                                rate=AUDIO_RATE)
            self._resampler_input = source
        self._resample(frame)

    def _resample(self, frame: Any) -> None:
        if self._resampler is None:
            return
        try:
            converted: List[Any] = self._resampler.resample(frame)
        except (av.FFmpegError, ValueError) as error:
            raise WriteFailed("%s: %s" % (self.path, reason(error)))
        for out in converted:
            out.pts = self.audio_samples
            out.time_base = Fraction(1, AUDIO_RATE)
            self.audio_samples += out.samples
            self._encode(self._audio, out)

    # --- both ----------------------------------------------------------------------------------

    def _encode(self, stream: Any, frame: Any) -> None:
        try:
            self._container.mux(stream.encode(frame))
        except (av.FFmpegError, OSError, ValueError) as error:
            raise WriteFailed("%s: %s" % (self.path, reason(error)))

    def close(self) -> None:
        """Flushes the encoders and closes the file; a second call does nothing."""
        if self._closed:
            return
        self._closed = True
        failure: Optional[BaseException] = None
        try:
            if self._audio is not None:
                for gap, frame in self._clock.drain():
                    self._write_audio(gap, *frame)
                self._resample(None)
            for stream in (self._video, self._audio):
                if stream is not None:
                    self._encode(stream, None)
        except WriteFailed as error:
            failure = error
        try:
            self._container.close()
        except (av.FFmpegError, OSError, ValueError) as error:
            failure = failure or WriteFailed("%s: %s" % (self.path, reason(error)))
        if failure is not None:
            raise failure

    def video_seconds(self) -> float:
        if self.video_frames == 0 or self.video_format is None:
            return 0.0
        # From the first picture to the end of the last, as the track plays.
        return (self.last_video_seconds - self._first_pts / 1000.0
                + 1.0 / max(1, self.video_format.fps))

    def audio_seconds(self) -> float:
        return self.audio_samples / AUDIO_RATE
