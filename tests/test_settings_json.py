"""Settings texts are read by the JSON library: whatever Python's json module reads as an object is
accepted, everything else is refused with one line, and numbers in every spelling set what they
say. Python's reader is the reference (without its NaN and Infinity extensions)."""
import json
import math

from hypothesis import HealthCheck, given, settings, strategies as st

import _pyveltosdk as sdk
import velto_sim as sim

PROPERTY = settings(max_examples=60, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])

number_texts = st.one_of(
    st.integers(-100, 100).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.builds("{}{}e{}".format, st.integers(-99, 99), st.sampled_from(["", ".0", ".50"]),
              st.integers(-3, 3)),
    st.sampled_from(["10.0", "1E1", "0.1e2", "-0", "012", "1.", ".5", "+1", "1e", "0x10",
                     "1e400", "-1e-400", "60.000000000000001", "3e+1", "\u0661\u0662"]),
)


def python_reads(text):
    try:
        return True, json.loads(text, parse_constant=lambda word: 1 / 0)
    except (ValueError, ZeroDivisionError):
        return False, None


@PROPERTY
@given(text=number_texts)
def test_a_number_sets_what_python_reads_it_as(engine, capfd, text):
    sdk.setParameters('{"sim.video.fps": 15}')
    capfd.readouterr()
    sdk.setParameters('{"sim.video.fps": %s}' % text)
    ok, value = python_reads(text)
    valid = (ok and isinstance(value, (int, float)) and math.isfinite(value)
             and value == int(value) and 1 <= value <= 60)
    err = capfd.readouterr().err
    assert sim.settings()["settings"]["video"]["fps"] == (int(value) if valid else 15)
    assert (err == "") == valid and err.count("\n") <= 1, (text, err)


json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False,
                                                                 allow_infinity=False),
              st.text()),
    lambda inner: st.one_of(st.lists(inner, max_size=4),
                            st.dictionaries(st.text(max_size=6), inner, max_size=4)),
    max_leaves=12)


@PROPERTY
@given(value=json_values, ascii_only=st.booleans())
def test_any_json_value_under_an_unknown_key_is_read_and_passed_over(
        engine, capfd, value, ascii_only):
    text = json.dumps({"sim.unknown": value, "other": [value], "sim.video.fps": 12},
                      ensure_ascii=ascii_only)
    sdk.setParameters('{"sim.video.fps": 15}')
    sdk.setParameters(text)
    assert capfd.readouterr().err == ""
    assert sim.settings()["settings"]["video"]["fps"] == 12


@PROPERTY
@given(text=st.text(alphabet='{}[]":,0123456789.eE+- \ntrufalsn\\', max_size=24))
def test_a_text_is_accepted_exactly_when_it_is_a_json_object(engine, capfd, text):
    capfd.readouterr()
    sdk.setParameters(text)
    ok, value = python_reads(text)
    accepted = [e["result"] for e in sim.journal()
                if e["call"] == "EngineParameters.setParameters"][-1] == 0
    assert accepted == (ok and isinstance(value, dict)), text
    err = capfd.readouterr().err
    assert err.count("\n") == (0 if accepted else 1), err
