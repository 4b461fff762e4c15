"""The Pythonic layer's README examples: each is an example program, and each runs on its own
against the simulated engine's live call."""
import re
from pathlib import Path

import pytest

from conftest import run_python

pytest.importorskip("numpy")

ROOT = Path(__file__).resolve().parents[1]


def section_blocks():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("## The Pythonic layer", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_readme_blocks_are_the_example_programs():
    names = ("pythonic_bot.py", "level_meter.py", "publish_media.py")
    assert section_blocks() == [(ROOT / "examples" / name).read_text(encoding="utf-8")
                                for name in names]


def run_example(name):
    code = (ROOT / "examples" / name).read_text(encoding="utf-8")
    return run_python(code, timeout=60, env={"VELTO_SIM_LIVE": "1"})


def test_asyncio_bot_greets_and_its_processor_reaches_the_echo():
    out = run_example("pythonic_bot.py").stdout.splitlines()
    assert out[:2] == ["hello 1001", "hello 1002"]
    assert "bye 1001 QUIT" in out
    assert any(re.fullmatch(r"1002 sends \d+ kbit/s", line) for line in out)
    assert "users now: [1002]" in out
    # The tone's RMS is -15.1 dBFS; the processor halves it on its way to the echo user.
    level = float(re.search(r"the echo hears us at (-[\d.]+) dBFS", out[-1]).group(1))
    assert abs(level - (-15.05 - 6.02)) < 0.3


def test_level_meter_measures_each_users_tone():
    out = run_example("level_meter.py").stdout.splitlines()
    levels = {int(uid): float(db) for uid, db in
              (re.match(r"(\d+): (-[\d.]+) dBFS over \d+ frames", line).groups()
               for line in out[:-1])}
    assert set(levels) == {1001, 1002}
    assert all(abs(db - (-15.05)) < 0.3 for db in levels.values())
    assert out[-1].startswith("frames dropped: ")


def test_published_tone_and_pictures_come_back_from_the_echo():
    out = run_example("publish_media.py").stdout.splitlines()
    assert re.fullmatch(r"<Publication RECORD of ndarray of 64000 bytes, done: 50 frames sent, "
                        r"\d+ underruns>", out[0])
    # Pictures are shown when due: a camera tick that comes late on a loaded machine skips one.
    shown = re.fullmatch(
        r"<Publication CAPTURE of generator, done: (\d+) frames sent, \d+ underruns>", out[1])
    assert shown and 7 <= int(shown.group(1)) <= 14
    assert out[2] == "the echo user sent back 1000 Hz"
