import atexit
import os
os.environ.setdefault("VELTO_SIM_LIVE", "0")
import shutil
import subprocess
import sys
import tempfile
import textwrap

# The session's own rendezvous folder, for whatever starts before a test's own is set (module
# fixtures, collection): nothing of the suite ever joins the default folder, where a peer someone
# runs in a terminal would meet it.
SESSION_NETWORK_DIR = tempfile.mkdtemp(prefix="vss-")
os.environ["VELTO_SIM_NETWORK_DIR"] = SESSION_NETWORK_DIR
atexit.register(shutil.rmtree, SESSION_NETWORK_DIR, True)

import pytest

import _pyveltosdk as sdk
import velto_sim as sim


# What cannot run on Windows, by test file or test, with the reason; everything else runs there
# (tools/windows.sh test runs the suite under Wine).
WINDOWS_SKIPS = {
    "test_fork.py": "fork() does not exist on Windows",
    "test_call_network.py": "the network between processes is Linux-only",
    "test_call_network_input.py": "the network between processes is Linux-only",
    "test_call_network_rings.py": "the network between processes is Linux-only",
    "test_peer.py": "the network between processes is Linux-only",
    "test_call_recorder.py::test_signals_finish_the_files_and_the_summary":
        "Windows has no SIGTERM, and SIGINT cannot be sent to one process",
    "test_call_recorder.py::test_on_a_terminal_progress_refreshes_one_line_and_zero_seconds_"
    "means_until_ctrl_c": "Windows has no pseudo-terminals",
    "test_call_recorder.py::test_a_full_disk_ends_the_call_and_lists_only_what_is_readable":
        "Windows has no file size limit (setrlimit) nor a small filesystem to mount",
    "test_call_recorder.py::test_a_signal_while_the_program_loads_ends_it_with_128_plus_the_"
    "signal": "Windows has no SIGTERM, and SIGINT cannot be sent to one process",
    "test_call_recorder.py::test_a_uid_another_process_holds_is_refused_at_join_without_a_folder":
        "the network between processes is Linux-only",
    "test_call_network_edges.py": "the network between processes is Linux-only",
    "test_pyveltosdk_publish.py::test_media_published_in_one_process_arrives_unchanged_in_"
    "another": "the network between processes is Linux-only",
    "test_docs.py": "the guides' shell blocks and calls between processes are Linux's",
    "test_layer_edges.py": "descriptor limits, fork and the event queue's Linux descriptor",
    "test_pyveltosdk_arguments.py::test_versions":
        "pyveltosdk is not installed as a distribution in the Windows test run",
}


def pytest_collection_modifyitems(config, items):
    if sys.platform != "win32":
        return
    for item in items:
        file = os.path.basename(str(item.fspath))
        reason = (WINDOWS_SKIPS.get(file + "::" + item.originalname)
                  or WINDOWS_SKIPS.get(file))
        if reason:
            item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture(autouse=True)
def network_folder(monkeypatch):
    """Each test's own rendezvous folder for calls between processes (inherited by its
    subprocesses), so that tests and parallel runs never meet in a channel by accident. Short,
    under the temporary folder, since socket paths are limited to about 100 characters."""
    folder = tempfile.mkdtemp(prefix="vsn-")
    monkeypatch.setenv("VELTO_SIM_NETWORK_DIR", folder)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


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
def channel():
    """A pyveltosdk channel "room" joined as uid 1 on a fresh engine; left and terminated after."""
    import pyveltosdk as velto

    sdk.terminate()
    sim.reset()
    with velto.Engine() as engine, engine.join("room", uid=1) as joined:
        yield joined
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
