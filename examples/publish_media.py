"""Publishing a program's own media on the simulated engine's live call: a tone given at 16 kHz
and pictures of another size, converted to what the engine asks for; the echo user sends the
tone back."""
import numpy as np

import pyveltosdk as velto

# The simulated call's echo user sends back what this program sends.
SETTINGS = {"sim": {"users": [{"uid": 1002, "kind": "echo", "join": 0.0}]}}

with velto.Engine(SETTINGS) as engine, engine.join("studio", uid=9) as channel:
    engine.log_off()
    engine.enable_video()
    echo = channel.audio_frames(uid=1002, kinds=[velto.StreamKind.PLAYBACK_USER], maxsize=200)
    rate = 16000  # half a second of 1 kHz, resampled to the engine's rate
    tone = 0.25 * np.sin(2 * np.pi * 1000 * np.arange(rate // 2) / rate)
    audio = channel.publish_audio(tone, sample_rate=rate)
    # Fourteen 160x120 pictures, dark to light, at 15 fps, scaled to the camera's size.
    pictures = (bytes([level]) * (160 * 120) + bytes([128]) * (160 * 120 // 2)
                for level in range(60, 200, 10))
    video = channel.publish_video(pictures, width=160, height=120, fps=15)
    audio.wait(5)
    echo.close()  # what came back while the tone went out
    video.wait(5)
    print(audio)  # <Publication RECORD of ndarray of 64000 bytes, done: 50 frames sent, ...>
    print(video)
    heard = np.concatenate([frame.to_ndarray()[:, 0] for frame in echo])
    loudest = np.argmax(np.abs(np.fft.rfft(heard))) * 48000 / len(heard)
    print("the echo user sent back %.0f Hz" % loudest)
