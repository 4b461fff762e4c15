"""Writes the win_amd64 wheel of pyveltosdk from a cross-built install tree (tools/windows.sh
wheel): a zip with the package files at the top of site-packages and a .dist-info holding
METADATA, WHEEL and RECORD, as pip expects of any wheel.

    python tools/win_wheel.py STAGE TAG OUTDIR      TAG like cp38; prints the wheel's path

STAGE is what `cmake --install` wrote for that interpreter: the module
_pyveltosdk.<TAG>-win_amd64.pyd, the simulated engine velto_rtc_sdk.dll beside it, and the
velto_sim, pyveltosdk and _pyveltosdk-stubs packages. Name, version and dependencies come from
pyproject.toml, as in the wheels scikit-build-core makes on Linux and on Windows with MSVC.
"""
import base64
import hashlib
import os
import sys
import zipfile

try:
    import tomllib
except ImportError:  # before 3.11
    import tomli as tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What every Windows wheel must hold, relative to site-packages.
REQUIRED = [
    "_pyveltosdk.{tag}-win_amd64.pyd",
    "velto_rtc_sdk.dll",
    "velto_sim/__init__.py",
    "pyveltosdk/__init__.py",
    "pyveltosdk/py.typed",
    "_pyveltosdk-stubs/__init__.pyi",
    "_pyveltosdk-stubs/py.typed",
]
# Build leftovers an install tree may hold that a user's site-packages must not get.
EXCLUDED_SUFFIXES = (".a", ".lib", ".exp", ".pdb", ".pyc")


def metadata(project, readme):
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + project["name"],
        "Version: " + project["version"],
        "Summary: " + project["description"],
        "License: " + project["license"]["text"],
        "Requires-Python: " + project["requires-python"],
    ]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append("Provides-Extra: " + extra)
        lines.extend('Requires-Dist: %s; extra == "%s"' % (r, extra) for r in requirements)
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + readme


def record_entry(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def staged_files(stage):
    for folder, dirs, files in os.walk(stage):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            if not name.endswith(EXCLUDED_SUFFIXES):
                path = os.path.join(folder, name)
                yield os.path.relpath(path, stage).replace(os.sep, "/"), path


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    stage, tag, outdir = sys.argv[1:]
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as f:
        readme = f.read()
    files = dict(staged_files(stage))
    missing = [n.format(tag=tag) for n in REQUIRED if n.format(tag=tag) not in files]
    if missing:
        sys.exit("win_wheel.py: %s lacks %s" % (stage, ", ".join(missing)))
    modules = [n for n in files if n.endswith(".pyd")]
    if modules != ["_pyveltosdk.%s-win_amd64.pyd" % tag]:
        sys.exit("win_wheel.py: expected only the %s module, found %s" % (tag, modules))

    wheel_tag = "%s-%s-win_amd64" % (tag, tag)
    dist_info = "%s-%s.dist-info" % (project["name"], project["version"])
    generated = {
        dist_info + "/METADATA": metadata(project, readme),
        dist_info + "/WHEEL": "Wheel-Version: 1.0\nGenerator: pyveltosdk tools/win_wheel.py\n"
                              "Root-Is-Purelib: false\nTag: %s\n" % wheel_tag,
        dist_info + "/top_level.txt": "".join(
            sorted({n.split("/")[0].split(".")[0] + "\n" for n in files if not n.endswith(".dll")})),
    }
    os.makedirs(outdir, exist_ok=True)
    path = os.path.join(outdir, "%s-%s-%s.whl" % (project["name"], project["version"], wheel_tag))
    record = []
    with zipfile.ZipFile(path + ".part", "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, source in sorted(files.items()):
            with open(source, "rb") as f:
                data = f.read()
            wheel.writestr(name, data)
            record.append(record_entry(name, data))
        for name, text in generated.items():
            data = text.encode("utf-8")
            wheel.writestr(name, data)
            record.append(record_entry(name, data))
        record.append(dist_info + "/RECORD,,")
        wheel.writestr(dist_info + "/RECORD", "\n".join(record) + "\n")
    os.replace(path + ".part", path)
    print(path)


if __name__ == "__main__":
    main()
