"""Parts of the call recorder whose faults a whole run would hide: the snapshot colours against
FFmpeg's own conversion, and where audio goes when frames come late or not at all."""
import os
import random
import sys
import threading
import wave

import pytest

np = pytest.importorskip("numpy")
av = pytest.importorskip("av")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))
from recorder import check, composite, formats, snapshot  # noqa: E402
from recorder.formats import AudioClock, AudioFormat, VideoFormat  # noqa: E402
from recorder.recording import QUEUE_FRAMES, QUEUE_PICTURES, Recording, Worker  # noqa: E402


def rgb_of(rows, width, height):
    return np.frombuffer(rows, np.uint8).reshape(height, 1 + 3 * width)[:, 1:].reshape(
        height, width, 3)


@pytest.mark.parametrize("convert", [snapshot.rgb_numpy, snapshot.rgb_plain])
def test_snapshot_colours_match_ffmpegs_limited_range_conversion(convert):
    width, height = 64, 48
    rng = np.random.default_rng(5)
    # Chroma in 2x2 blocks that stay in range, so both sides upsample the same way.
    y = rng.integers(16, 236, (height, width), dtype=np.uint8)
    u = rng.integers(16, 241, (height // 2, width // 2), dtype=np.uint8)
    v = rng.integers(16, 241, (height // 2, width // 2), dtype=np.uint8)
    frame = av.VideoFrame.from_ndarray(np.concatenate((y.ravel(), u.ravel(), v.ravel())).reshape(
        height * 3 // 2, width), format="yuv420p")
    reference = frame.to_ndarray(format="rgb24", interpolation="POINT").astype(int)
    ours = rgb_of(convert(width, height, y.tobytes(), u.tobytes(), v.tobytes()), width, height)
    assert np.abs(ours.astype(int) - reference).mean() < 1.5
    # Black, white and pure red as a player shows them, exactly.
    for (luma, cb, cr), rgb in [((16, 128, 128), (0, 0, 0)), ((235, 128, 128), (255, 255, 255)),
                                ((81, 90, 240), (255, 0, 0)), ((126, 128, 128), (128, 128, 128))]:
        rows = convert(2, 2, bytes([luma] * 4), bytes([cb]), bytes([cr]))
        got = rgb_of(rows, 2, 2)[0, 0]
        assert np.abs(got.astype(int) - rgb).max() <= 1, (luma, cb, cr, got)


def test_audio_clock_ignores_late_frames_and_fills_lost_ones():
    rate, frame = 48000, 480
    clock = AudioClock(rate)
    rng = random.Random(3)
    lost = {150, 151, 152, 400}  # rounds the engine skipped: 40 ms missing in all
    placed = []
    for n in range(600):
        if n in lost:
            continue
        arrival = n * 0.01 + rng.uniform(0, 0.025)  # up to 25 ms late, never early
        if n % 97 == 50:
            arrival += 0.08  # now and then much later, with the next ones bunched behind
        placed += clock.place(arrival, frame, n)
    placed += clock.drain()
    assert [n for _, n in placed] == [n for n in range(600) if n not in lost]
    written = filled = 0
    for gap, n in placed:
        filled += gap
        written += gap
        # Every frame sits within a frame and a half of its time on the engine's clock.
        assert abs(written - n * 0.01 * rate) <= 1.5 * frame, n
        written += frame
    # About the 40 ms that went missing, not the delays.
    assert 0.03 * rate <= filled <= 0.05 * rate


@pytest.mark.parametrize("count,grid", [(1, (1, 1)), (2, (2, 1)), (3, (2, 2)), (4, (2, 2)),
                                        (5, (3, 2)), (7, (3, 3)), (10, (4, 3))])
def test_composite_tiles_cover_the_picture_without_overlap(count, grid):
    assert composite.grid(count) == grid
    tiles = composite.tiles(count, 1280, 720)
    cover = np.zeros((720, 1280), int)
    for x, y, w, h in tiles:
        assert x % 2 == y % 2 == w % 2 == h % 2 == 0
        cover[y:y + h, x:x + w] += 1
        # A 4:3 picture fitted into the tile keeps its shape, centred.
        fx, fy, fw, fh = composite.fit(640, 480, (x, y, w, h))
        assert fx >= x and fy >= y and fx + fw <= x + w and fy + fh <= y + h
        assert abs(fw / fh - 4 / 3) < 0.05 and min(w - fw, h - fh) <= 2
    assert cover.max() == 1 and cover.sum() >= 0.95 * 1280 * 720 * (count / (grid[0] * grid[1]))


def test_a_worker_that_falls_behind_drops_and_counts_instead_of_queueing_without_bound():
    # Not started: nothing is taken from the queue, as with an encoder that has stalled.
    worker = Worker(Recording("user-1", "raw", "/nonexistent/user-1"), threading.Event())
    offered = {"video": 0, "audio": 0}
    for n in range(2000):
        kind = "video" if n % 3 == 0 else "audio"
        worker.offer((kind, n * 0.01, 2, 2, (b"", b"", b"")))
        offered[kind] += 1
    queued = {"video": 0, "audio": 0}
    for item in worker._items:
        queued[item[0]] += 1
    assert sum(queued.values()) <= QUEUE_FRAMES and queued["video"] == QUEUE_PICTURES
    assert {kind: queued[kind] + worker.drops()[kind] for kind in offered} == offered


def write_recording(fmt, base, seconds=2.0, fps=15):
    """A user's recording as the worker writes it: noisy pictures (large, so that cuts fall
    inside them) and a tone, both in arrival order."""
    rng = np.random.default_rng(7)
    writer = formats.open_writer(fmt, base, VideoFormat(64, 48, fps), AudioFormat(16000, 1))
    tone = (np.sin(np.arange(160) * 0.3) * 8000).astype(np.int16).tobytes()
    for tick in range(int(seconds * 100)):
        if tick % (100 // fps) == 0:
            y = rng.integers(16, 236, 64 * 48, dtype=np.uint8).tobytes()
            writer.add_video(tick / 100.0, 64, 48, (y, bytes([128]) * 768, bytes([128]) * 768))
        writer.add_audio(tick / 100.0, 16000, 1, tone)
    writer.end_audio(seconds)
    writer.close()
    return writer


def decoded(path):
    """(video frames, audio seconds) PyAV decodes from the start up to the first error (the
    wave module reads a WAV file: PyAV leaves out a last part-block)."""
    if path.endswith(".wav"):
        try:
            with wave.open(path) as w:
                return 0, len(w.readframes(w.getnframes())) / w.getsampwidth() / w.getframerate()
        except (EOFError, wave.Error):
            return 0, 0.0
    frames, seconds = 0, 0.0
    try:
        av.open(path).close()
    except av.FFmpegError:
        return 0, 0.0
    for kind in ("video", "audio"):
        with av.open(path) as container:
            streams = getattr(container.streams, kind)
            if not streams:
                continue
            try:
                for packet in container.demux(streams[0]):
                    for frame in packet.decode():
                        if kind == "video":
                            frames += 1
                        else:
                            seconds += frame.samples / frame.sample_rate
            except av.FFmpegError:
                pass
    return frames, seconds


@pytest.mark.parametrize("fmt", ["mp4", "webm", "raw"])
def test_a_cut_file_is_read_back_as_a_player_decodes_it(tmp_path, fmt):
    writer = write_recording(fmt, str(tmp_path / "user-1"))
    for path in writer.files:
        with open(path, "rb") as f:
            whole = f.read()
        for fraction in (1.0, 0.8, 0.55, 0.3, 0.01):
            cut = str(tmp_path / ("cut-%g-" % fraction)) + os.path.basename(path)
            with open(cut, "wb") as f:
                f.write(whole[:int(len(whole) * fraction)])
            found = check.read_back(cut, 15)
            frames, seconds = decoded(cut)
            if not frames and seconds < 0.01:
                assert found is None, (path, fraction, found)
                continue
            assert found is not None
            if fraction == 1.0:  # whole: as written
                assert not found.cut and found.video_frames in (None, writer.video_frames)
            if found.video_frames is not None:
                assert found.video_frames == frames, (path, fraction)
            if found.audio_seconds is not None:
                # The coders' priming and padding: a frame or two.
                assert abs(found.audio_seconds - seconds) <= 0.05, (path, fraction, seconds)


@pytest.mark.parametrize("fmt", ["mp4", "webm"])
@pytest.mark.parametrize("width,height", [(64, 48), (200, 120)])  # rows as wide, and padded
def test_each_picture_is_encoded_as_it_was_given(tmp_path, fmt, width, height):
    # The writer reuses one frame for every picture of its size: each one must come out as
    # given, also after a picture of another size and with rows wider than the picture.
    writer = formats.open_writer(fmt, str(tmp_path / "user-1"), VideoFormat(width, height, 15),
                                 None)
    shades = []
    for n in range(16):
        luma, chroma = 20 + 13 * n, 60 + 9 * n
        size = (width // 2, height // 2) if n == 7 else (width, height)
        writer.add_video(n / 15.0, size[0], size[1],
                         (bytes([luma]) * (size[0] * size[1]),
                          bytes([chroma]) * (size[0] * size[1] // 4),
                          bytes([255 - chroma]) * (size[0] * size[1] // 4)))
        shades.append((luma, chroma, 255 - chroma))
    writer.close()
    with av.open(writer.path) as container:
        pictures = [frame.to_ndarray() for frame in container.decode(video=0)]
    assert len(pictures) == len(shades)
    for picture, shade in zip(pictures, shades):
        chroma = picture[height:].ravel()  # U then V
        got = (picture[:height].mean(), chroma[:len(chroma) // 2].mean(),
               chroma[len(chroma) // 2:].mean())
        assert np.allclose(got, shade, atol=3), (got, shade)


@pytest.mark.parametrize("count", [1, 2, 3, 5])  # whole factors up to 4 users, then not
def test_composite_tiles_show_every_users_pixels_scaled_to_their_tile(count):
    canvas = composite.Canvas(1280, 720)
    rng = np.random.default_rng(count)
    sources = [(1280, 720, (rng.integers(16, 236, 1280 * 720, dtype=np.uint8).tobytes(),
                            rng.integers(16, 241, 640 * 360, dtype=np.uint8).tobytes(),
                            rng.integers(16, 241, 640 * 360, dtype=np.uint8).tobytes()))
               for _ in range(count)]
    planes = canvas.compose(sources)
    for tile, (src_w, src_h, source) in zip(composite.tiles(count, 1280, 720), sources):
        x, y, w, h = composite.fit(src_w, src_h, tile)
        for index, scale in ((0, 1), (1, 2), (2, 2)):
            src = np.frombuffer(source[index], np.uint8).reshape(src_h // scale, src_w // scale)
            rows = np.arange(h // scale) * (src_h // scale) // (h // scale)
            cols = np.arange(w // scale) * (src_w // scale) // (w // scale)
            got = planes[index][y // scale:(y + h) // scale, x // scale:(x + w) // scale]
            assert np.array_equal(got, src[rows][:, cols])
