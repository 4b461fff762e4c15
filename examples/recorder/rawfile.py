"""Raw files, standard library only: WAV (16-bit PCM) for the audio, YUV4MPEG2 for the video.

Both stay readable when the program is killed: the WAV header is brought up to date with every
write and the file flushed twice a second, and a Y4M file is whole up to its last frame. Frames
are placed by their arrival time: a late picture repeats the one before, a lost audio frame
becomes silence, so the two files of one user stay in step."""

import array
import sys
import time
import wave
from typing import Any, List, Optional

from .formats import AudioClock, AudioFormat, Planes, VideoFormat, WriteFailed

FLUSH_SECONDS = 0.5
MAX_REPEATS = 600  # pictures repeated to fill one gap; a longer gap is closed up instead


def little_endian(data: bytes) -> bytes:
    if sys.byteorder == "little":
        return data
    samples = array.array("h", data)
    samples.byteswap()
    return samples.tobytes()


class RawWriter:
    def __init__(self, base: str, video: Optional[VideoFormat],
                 audio: Optional[AudioFormat]) -> None:
        self.video_format, self.audio_format = video, audio
        self.files: List[str] = []
        self.video_frames = 0  # pictures in the file, repeats included
        self.audio_samples = 0
        self.last_video_seconds = -1.0
        self.skipped = 0  # frames in another format than the file's
        self._wav: Any = None
        self._y4m: Any = None
        self._wav_path = base + ".wav"
        self._y4m_path = base + ".y4m"
        self._chroma = 0
        self._previous: Optional[Planes] = None
        self._flushed = time.monotonic()
        self._clock = AudioClock(audio.rate if audio else 1)
        try:
            if video is not None:
                self.files.append(self._y4m_path)
                self._y4m = open(self._y4m_path, "wb")
                self._chroma = ((video.width + 1) // 2) * ((video.height + 1) // 2)
                # Limited range (16-235), as the engine's frames are.
                self._y4m.write(b"YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg XCOLORRANGE=LIMITED\n"
                                % (video.width, video.height, video.fps))
            if audio is not None:
                self.files.append(self._wav_path)
                self._wav = wave.open(self._wav_path, "wb")
                self._wav.setnchannels(audio.channels)
                self._wav.setsampwidth(2)
                self._wav.setframerate(audio.rate)
                self._wav.writeframes(b"")  # the header, at once
            self._flush(force=True)
        except (OSError, WriteFailed) as error:
            try:
                self.close()  # what did open is closed, not left to the collector
            except WriteFailed:
                pass
            if isinstance(error, WriteFailed):
                raise
            raise WriteFailed("%s: %s" % (self.files[-1] if self.files else base,
                                          error.strerror or error))

    def add_video(self, seconds: float, width: int, height: int, planes: Planes) -> None:
        video = self.video_format
        if self._y4m is None or video is None:
            return
        if (width, height) != (video.width, video.height):
            self.skipped += 1
            return
        slot = int(round(seconds * video.fps))
        if slot < self.video_frames:
            return  # two pictures in one slot: the later one waits for the next
        repeats = slot - self.video_frames
        if self._previous is not None:
            for _ in range(min(repeats, MAX_REPEATS)):
                self._write_picture(self._previous)
        self._previous = (planes[0], self._whole(planes[1]), self._whole(planes[2]))
        self._write_picture(self._previous)
        self.last_video_seconds = seconds

    def _whole(self, plane: Any) -> Any:
        # Bytes from the engine or the composite's arrays, as flat bytes. An engine may hand odd
        # sizes shorter chroma planes; the file needs whole ones.
        view = memoryview(plane).cast("B")
        if len(view) >= self._chroma:
            return view[:self._chroma]
        return view.tobytes() + b"\x80" * (self._chroma - len(view))

    def _write_picture(self, planes: Planes) -> None:
        try:
            self._y4m.write(b"FRAME\n")
            for plane in planes:
                self._y4m.write(plane)
        except OSError as error:
            raise WriteFailed("%s: %s" % (self._y4m.name, error.strerror or error))
        self.video_frames += 1
        self._flush()

    def add_audio(self, seconds: float, rate: int, channels: int, data: bytes) -> None:
        audio = self.audio_format
        if self._wav is None or audio is None:
            return
        if (rate, channels) != (audio.rate, audio.channels):
            self.skipped += 1
            return
        for gap, frame in self._clock.place(seconds, len(data) // (2 * channels), data):
            self._write_audio(gap, frame)

    def _write_audio(self, gap: int, data: bytes) -> None:
        assert self.audio_format is not None
        channels = self.audio_format.channels
        try:
            if gap:
                self._wav.writeframes(b"\0\0" * channels * gap)
                self.audio_samples += gap
            self._wav.writeframes(little_endian(data))
        except OSError as error:
            raise WriteFailed("%s: %s" % (self._wav_path, error.strerror or error))
        self.audio_samples += len(data) // (2 * channels)
        self._flush()

    def end_audio(self, seconds: float) -> None:
        """Writes the audio still held and makes it last until `seconds` into the file."""
        if self._wav is None or self.audio_format is None:
            return
        for gap, frame in self._clock.drain():
            self._write_audio(gap, frame)
        gap = self._clock.silence_to_end(seconds, self.audio_samples)
        try:
            self._wav.writeframes(b"\0\0" * self.audio_format.channels * gap)
        except OSError as error:
            raise WriteFailed("%s: %s" % (self._wav_path, error.strerror or error))
        self.audio_samples += gap

    def _flush(self, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._flushed < FLUSH_SECONDS:
            return
        self._flushed = now
        try:
            if self._y4m is not None:
                self._y4m.flush()
            if self._wav is not None:
                self._wav._file.flush()
        except OSError as error:
            raise WriteFailed("%s: %s" % (" / ".join(self.files), error.strerror or error))

    def close(self) -> None:
        failure: Optional[WriteFailed] = None
        if self._wav is not None:
            try:
                for gap, frame in self._clock.drain():
                    self._write_audio(gap, frame)
            except WriteFailed as error:
                failure = error
        for name, path in (("_y4m", self._y4m_path), ("_wav", self._wav_path)):
            handle = getattr(self, name)
            if handle is None:
                continue
            setattr(self, name, None)
            try:
                handle.close()
            except OSError as error:
                failure = failure or WriteFailed("%s: %s" % (path, error.strerror or error))
        if failure is not None:
            raise failure

    def video_seconds(self) -> float:
        if self.video_format is None or self.video_frames == 0:
            return 0.0
        return self.video_frames / self.video_format.fps

    def audio_seconds(self) -> float:
        return self.audio_samples / self.audio_format.rate if self.audio_format else 0.0
