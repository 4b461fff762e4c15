"""The Windows build's binary interface, checked on Linux: the import and export tables of what
tools/windows.sh built (skipped until it built something), the event handler's vtable as the
closed library reads it (built with MinGW, run under Wine), and the sdk headers' freedom from
overloaded virtuals, which Microsoft's compiler would reorder. On Windows: what is Linux-only
says so and the call goes on."""
import glob
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import run_python

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINDOWS = os.path.join(ROOT, "build", "windows")
OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump")
MINGW = shutil.which("x86_64-w64-mingw32-g++-posix")
WINE = shutil.which("wine")
RELEASE = "?release@IRtcEngine@rtc@velto@@SAX_N@Z"
BUILDS = sorted(glob.glob(os.path.join(WINDOWS, "build-3.*")))
# What a Windows machine has without installing anything.
SYSTEM_DLLS = re.compile(r"^(kernel32|msvcrt|ws2_32|advapi32|user32|ole32|api-ms-win-.*)\.dll$",
                         re.IGNORECASE)

def build_id(build):
    # pytest asks for an id of its placeholder too when no build exists
    return os.path.basename(build) if isinstance(build, str) else "none"


needs_build = pytest.mark.skipif(OBJDUMP is None or not BUILDS,
                                 reason="no Windows build (bash tools/windows.sh build 3.8)")


def imports(path):
    """{dll name: [(ordinal or None, name or None)]} from objdump's import table."""
    text = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True, check=True,
                          timeout=60).stdout
    table = {}
    current = None
    for line in text.splitlines():
        found = re.match(r"\s*DLL Name: (\S+)", line)
        if found:
            current = table.setdefault(found.group(1), [])
            continue
        if current is None:
            continue
        by_ordinal = re.match(r"\s*[0-9a-f]{16}\s+0*(\d+)\s+<none>\s*$", line)
        by_name = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if by_ordinal:
            current.append((int(by_ordinal.group(1)), None))
        elif by_name:
            current.append((None, by_name.group(1)))
        elif not line.strip():
            current = None
    return table


def exports(path):
    """({ordinal: rva}, [names]) from objdump's export tables."""
    text = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True, check=True,
                          timeout=60).stdout
    ordinals = {int(m.group(2)): m.group(3) for m in
                re.finditer(r"\[\s*(\d+)\] \+base\[\s*(\d+)\] ([0-9a-f]+) Export RVA", text)}
    names_part = text.split("[Ordinal/Name Pointer] Table", 1)[-1]
    names = re.findall(r"^\s*\[\s*\d+\] (\S+)$", names_part, re.MULTILINE)
    return ordinals, names


@needs_build
@pytest.mark.parametrize("build", BUILDS, ids=build_id)
def test_module_imports_engine_by_ordinal_and_needs_no_runtime_dlls(build):
    tag = "cp" + os.path.basename(build)[len("build-"):].replace(".", "")
    module = os.path.join(build, "_pyveltosdk.%s-win_amd64.pyd" % tag)
    table = imports(module)
    assert sorted(table["velto_rtc_sdk.dll"], key=str) == sorted(
        [(2, None), (3, None), (None, RELEASE)], key=str)
    interpreter = "python%s.dll" % tag[2:]
    others = [dll for dll in table if dll not in (interpreter, "velto_rtc_sdk.dll")]
    assert interpreter in table
    assert [dll for dll in others if not SYSTEM_DLLS.match(dll)] == []


@needs_build
@pytest.mark.parametrize("build", BUILDS, ids=build_id)
def test_engine_dll_exports_as_the_closed_library(build):
    engine = os.path.join(build, "velto_rtc_sdk.dll")
    ordinals, names = exports(engine)
    assert {2, 3} <= set(ordinals)
    assert RELEASE in names
    assert "createEngine" not in names and "getEngineVersion" not in names
    assert [dll for dll in imports(engine) if not SYSTEM_DLLS.match(dll)] == []


@pytest.mark.skipif(MINGW is None or WINE is None, reason="needs mingw-w64 and wine")
def test_handler_vtable_has_microsoft_slots(tmp_path):
    binary = str(tmp_path / "handler_slots_test.exe")
    subprocess.run([MINGW, "-std=c++17", "-Wall", "-Wextra", "-Werror", "-O1", "-static", "-I",
                    ROOT, os.path.join(ROOT, "tests", "cpp", "handler_slots_test.cpp"), "-o",
                    binary], check=True, timeout=300)
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("LD_PRELOAD", None)  # a sanitizer run's runtime would be forced on Wine too
    prefixes = glob.glob(os.path.join(WINDOWS, "wine-3.*"))  # tools/windows.sh's, if any
    env["WINEPREFIX"] = prefixes[0] if prefixes else str(tmp_path / "wine")
    try:
        run = subprocess.run([WINE, binary], capture_output=True, text=True, timeout=180, env=env)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "all passed" in run.stdout


def test_sdk_interfaces_have_no_overloaded_virtuals():
    found = {}
    for header in glob.glob(os.path.join(ROOT, "sdk", "*.h")):
        with open(header) as f:
            text = f.read()
        for cls, body in re.findall(r"\nclass (\w+)[^{;]*\{(.*?)\n\};", text, re.DOTALL):
            names = re.findall(r"virtual [^(;]*?\b(\w+)\s*\(", body)
            found[cls] = names
            assert len(names) == len(set(names)), (cls, names)
    # The parse saw whole classes, not nothing.
    assert "onFirstRemoteVideoFrame" in found["IRtcEngineEventHandler"]
    assert len(found["IRtcEngine"]) == 18 and len(found["IVideoFrameObserver"]) == 10


@pytest.mark.skipif(sys.platform != "win32", reason="Windows only: Linux has the network")
def test_a_call_asking_for_the_network_hears_it_is_linux_only_and_goes_on_alone():
    proc = run_python("""
        import time, _pyveltosdk as sdk, velto_sim as sim
        sdk.initialize("{}")
        for _ in range(2):
            assert sdk.joinChannel("", "room", 5) == 0
            deadline = time.monotonic() + 20
            joined = lambda: any(c["event"] == "onJoinChannelSuccess" for c in sim.calls("live"))
            while not joined() and time.monotonic() < deadline:
                time.sleep(0.05)
            print(joined())
            sdk.leaveChannel()
            sim.reset()
        sdk.terminate()
    """, env={"VELTO_SIM_LIVE": "1", "VELTO_SIM_NETWORK": "1"}, timeout=90)
    assert proc.stdout.splitlines() == ["True", "True"]
    assert proc.stderr.splitlines() == [
        "velto-sim: network: the network between processes is Linux-only; the call stays in "
        "this process"] * 2
