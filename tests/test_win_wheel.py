"""tools/win_wheel.py, which packs the cross-built Windows install tree into a wheel: what goes
in, what stays out, a RECORD that pip can verify, and refusals of an incomplete tree."""
import base64
import hashlib
import os
import subprocess
import sys
import zipfile


import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACK = os.path.join(ROOT, "tools", "win_wheel.py")
SHIPPED = ["_pyveltosdk.cp38-win_amd64.pyd", "velto_rtc_sdk.dll", "velto_sim/__init__.py",
           "pyveltosdk/__init__.py", "pyveltosdk/py.typed", "_pyveltosdk-stubs/__init__.pyi",
           "_pyveltosdk-stubs/py.typed"]
LEFTOVERS = ["libvelto_rtc_sdk.dll.a", "velto_rtc_sdk.lib", "pyveltosdk/__pycache__/x.pyc"]

def stage(tmp_path, names):
    for name in names:
        path = tmp_path / "stage" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(name.encode() * 3)
    return tmp_path / "stage"


def pack(stage_dir, out):
    return subprocess.run([sys.executable, PACK, str(stage_dir), "cp38", str(out)],
                          capture_output=True, text=True, timeout=60)


def test_wheel_holds_the_shipped_files_and_a_verifiable_record(tmp_path):
    run = pack(stage(tmp_path, SHIPPED + LEFTOVERS), tmp_path / "out")
    assert run.returncode == 0, run.stderr
    path = run.stdout.strip().splitlines()[-1]
    assert os.path.basename(path) == "pyveltosdk-0.1.0-cp38-cp38-win_amd64.whl"
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        info = "pyveltosdk-0.1.0.dist-info/"
        assert sorted(n for n in names if not n.startswith(info)) == sorted(SHIPPED)
        assert "Tag: cp38-cp38-win_amd64" in wheel.read(info + "WHEEL").decode()
        assert "Root-Is-Purelib: false" in wheel.read(info + "WHEEL").decode()
        assert "Name: pyveltosdk" in wheel.read(info + "METADATA").decode()
        record = [line.split(",") for line in wheel.read(info + "RECORD").decode().splitlines()]
        assert sorted(r[0] for r in record) == sorted(names)
        for name, digest, size in record:
            if name == info + "RECORD":
                assert (digest, size) == ("", "")
                continue
            data = wheel.read(name)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert (digest, int(size)) == ("sha256=" + expected.decode(), len(data)), name


@pytest.mark.parametrize("change,message", [
    (lambda names: [n for n in names if n != "velto_rtc_sdk.dll"], "lacks velto_rtc_sdk.dll"),
    (lambda names: [n for n in names if not n.startswith("_pyveltosdk-stubs")], "lacks"),
    (lambda names: names + ["_pyveltosdk.cp39-win_amd64.pyd"], "expected only the cp38 module"),
])
def test_an_incomplete_or_mixed_tree_is_refused(tmp_path, change, message):
    run = pack(stage(tmp_path, change(list(SHIPPED))), tmp_path / "out")
    assert run.returncode != 0 and message in run.stderr
    assert not (tmp_path / "out").exists()
