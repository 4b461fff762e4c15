import os
os.environ.setdefault("VELTO_SIM_LIVE", "0")
import subprocess
import sys
import textwrap

import pytest

import _pyveltosdk as sdk
import velto_sim as sim


@pytest.fixture
def engine():
    """A fresh simulated engine, initialised; terminated again after the test."""
    sdk.terminate()
    sim.reset()
    sdk.initialize("{}")
    sim.reset()
    yield sdk
    sdk.terminate()
    sim.reset()


@pytest.fixture
def no_engine():
    """No engine at all: the module's functions must not call through a missing one."""
    sdk.terminate()
    sim.reset()
    yield sdk
    sim.reset()


def calls(name):
    return sim.calls(name)


def call_names(prefix=None):
    names = [entry["call"] for entry in sim.journal()]
    if prefix is not None:
        names = [n for n in names if n.startswith(prefix)]
    return names


def run_python(code, timeout=60, env=None, check=True):
    """Runs `code` in a fresh interpreter, for process-wide state (views, log-off) and exits."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            "subprocess failed with %d\nstdout:\n%s\nstderr:\n%s"
            % (proc.returncode, proc.stdout, proc.stderr)
        )
    return proc
