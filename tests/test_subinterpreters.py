"""The module serves the main interpreter only: a sub-interpreter's import is refused with a clear
ImportError, before or after the main interpreter imported it, and leaves the main interpreter's
use intact."""
import sys

import pytest

from conftest import run_python

# Runs in a fresh process, told the runner, the order and the outcome file through its environment. Each sub-interpreter appends
# the outcome of its import to the file; the main interpreter prints how many frames reached its
# callback.
PROGRAM = r'''
import os
runner, order, out = os.environ["SUB_RUNNER"], os.environ["SUB_ORDER"], os.environ["SUB_OUT"]
SUB = (
    "try:\n"
    "    import _pyveltosdk\n"
    "    outcome = 'imported'\n"
    "except ImportError as error:\n"
    "    outcome = 'ImportError: %s' % error\n"
    "with open(" + repr(out) + ", 'a') as f:\n"
    "    f.write(outcome + '\\n')\n"
)

def in_subinterpreter():
    if runner == "run_in_subinterp":
        from test.support import run_in_subinterp
        assert run_in_subinterp(SUB) == 0
        return
    try:
        import _interpreters as interpreters             # 3.13
        ident = interpreters.create(runner)
        assert interpreters.exec(ident, SUB) is None
    except ImportError:
        import _xxsubinterpreters as interpreters        # 3.8 to 3.12
        if runner == "isolated":
            ident = interpreters.create()
        else:
            try:
                ident = interpreters.create(isolated=False)
            except TypeError:                            # 3.8: no choice, always legacy
                ident = interpreters.create()
        interpreters.run_string(ident, SUB)
    interpreters.destroy(ident)

if order == "sub-first":
    in_subinterpreter()
import _pyveltosdk as sdk
import velto_sim as sim
sdk.initialize("{}")
seen = []
sdk.registerAudioObserver(lambda *frame: seen.append(frame) or (None,))
sim.deliver_audio(0, b"ab", samples=1)
if order == "main-first":
    in_subinterpreter()
    in_subinterpreter()
sim.deliver_audio(0, b"cd", samples=1)
sdk.terminate()
print("frames", len(seen))
'''


def runners():
    have_run_in_subinterp = False
    try:
        from test.support import run_in_subinterp  # noqa: F401
        import _testcapi  # noqa: F401
        have_run_in_subinterp = True
    except ImportError:
        pass
    have_interpreters = False
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            __import__(name)
            have_interpreters = True
        except ImportError:
            pass
    no_isolation = sys.version_info < (3, 12)
    return [
        pytest.param("run_in_subinterp", marks=pytest.mark.skipif(
            not have_run_in_subinterp, reason="no test.support.run_in_subinterp")),
        pytest.param("legacy", marks=pytest.mark.skipif(
            not have_interpreters, reason="no sub-interpreter module")),
        pytest.param("isolated", marks=pytest.mark.skipif(
            not have_interpreters or no_isolation, reason="no isolated sub-interpreters")),
    ]


@pytest.mark.parametrize("order", ["sub-first", "main-first"])
@pytest.mark.parametrize("runner", runners())
def test_a_sub_interpreter_import_is_refused_and_the_main_interpreter_keeps_working(
        tmp_path, runner, order):
    out = tmp_path / "outcomes.txt"
    proc = run_python(PROGRAM, timeout=60, check=False,
                      env={"SUB_RUNNER": runner, "SUB_ORDER": order, "SUB_OUT": str(out)})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["frames", "2"], proc.stderr
    outcomes = out.read_text().splitlines()
    assert len(outcomes) == (1 if order == "sub-first" else 2)
    for outcome in outcomes:
        assert outcome.startswith("ImportError:")
        # The interpreter may refuse an isolated one itself, before the module is asked.
        assert "main interpreter" in outcome or runner == "isolated", outcome
