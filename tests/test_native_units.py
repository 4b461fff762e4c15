"""Native unit tests for what Python cannot reach, compiled with the machine's C++ compiler."""
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")


@pytest.mark.skipif(CXX is None, reason="no C++ compiler")
@pytest.mark.parametrize("test,sources", [
    ("apply_parameter_json_test", ["engine/ApplyParameterJson.cpp"]),
])
def test_native_unit(tmp_path, test, sources):
    binary = str(tmp_path / test)
    build = [CXX, "-std=c++17", "-Wall", "-Wextra", "-Werror", "-O1", "-I", ROOT,
             os.path.join(ROOT, "tests", "cpp", test + ".cpp")]
    build += [os.path.join(ROOT, s) for s in sources]
    subprocess.run(build + ["-o", binary], check=True)
    run = subprocess.run([binary], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "all passed" in run.stdout
