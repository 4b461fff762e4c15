"""The foreign engine (tests/foreign_engine) builds on Linux with clang's Microsoft target and
exports and imports what a Microsoft-built engine library does: createEngine and
getEngineVersion by ordinal only, IRtcEngine::release under its Microsoft name, and nothing from
a C runtime. Running it needs Windows (tests/test_foreign_engine.py, under Wine)."""
import glob
import os
import re
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "tests", "foreign_engine", "build.sh")
OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump")
TOOLS = ("clang++-14", "lld-link-14", "llvm-dlltool-14")

pytestmark = pytest.mark.skipif(
    OBJDUMP is None or not all(shutil.which(tool) for tool in TOOLS),
    reason="needs clang-14, lld-14, llvm-14 and MinGW-w64's objdump")


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    out = tmp_path_factory.mktemp("foreign")
    run = subprocess.run(["bash", BUILD, str(out)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    dll = os.path.join(str(out), "velto_rtc_sdk.dll")
    table = subprocess.run([OBJDUMP, "-p", dll], capture_output=True, text=True, check=True,
                           timeout=60).stdout
    return out, table


def test_entry_points_are_exported_as_the_module_imports_them(built):
    table = built[1]
    ordinals = {int(n) for n in re.findall(r"\[\s*\d+\] \+base\[\s*(\d+)\] [0-9a-f]+ Export RVA",
                                           table)}
    names = re.findall(r"^\s*\[\s*\d+\] (\S+)$",
                       table.split("[Ordinal/Name Pointer] Table", 1)[1], re.MULTILINE)
    assert {2, 3} <= ordinals
    assert "?release@IRtcEngine@rtc@velto@@SAX_N@Z" in names
    assert not {"createEngine", "getEngineVersion"} & set(names)


def test_no_c_runtime_and_no_dynamic_initialisers(built):
    out, table = built
    imported = re.findall(r"DLL Name: (\S+)", table)
    assert imported == ["kernel32.dll"]
    functions = re.findall(r"^\s*[0-9a-f]+\s+\d+\s+(\w+)$",
                           table.split("DLL Name: kernel32.dll", 1)[1].split("\n\n")[0],
                           re.MULTILINE)
    assert sorted(functions) == ["CloseHandle", "CreateThread", "WaitForSingleObject"]
    # Nothing runs constructors in a library without a C runtime: no object may ask for it.
    for obj in glob.glob(os.path.join(str(out), "*.obj")):
        sections = subprocess.run([OBJDUMP, "-h", obj], capture_output=True, text=True,
                                  check=True, timeout=60).stdout
        assert ".CRT$XC" not in sections, obj
