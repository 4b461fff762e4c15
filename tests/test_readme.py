"""Every ```python block of the README runs on its own, as a reader would paste it: in a fresh
interpreter, against the installed package, with the simulated engine's defaults.

A block that imports a package which is not installed (PyAV, numpy, ...) is skipped; the import
line at the top level of the block is what says so. A block passes when it exits with status 0
and printed no traceback: a callback error is printed, not raised, and would otherwise go unseen.
"""
import ast
import importlib.util
import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
TIMEOUT = 60


def python_blocks(path):
    """(first line number, code) of each ```python block."""
    blocks = []
    with open(path, encoding="utf-8") as readme:
        lines = readme.read().split("\n")
    start = None
    for number, line in enumerate(lines, 1):
        if start is None and re.match(r"^```python\s*$", line):
            start = number
        elif start is not None and line.startswith("```"):
            blocks.append((start + 1, "\n".join(lines[start:number - 1]) + "\n"))
            start = None
    assert start is None, "README.md: the ```python block at line %d is never closed" % start
    return blocks


BLOCKS = python_blocks(README)


def missing_imports(code):
    tree = ast.parse(code)
    names = set()
    for node in tree.body:
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names.add(node.module.split(".")[0])
    return sorted(name for name in names if importlib.util.find_spec(name) is None)


def test_readme_has_python_blocks():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("line,code", BLOCKS, ids=["line %d" % line for line, _ in BLOCKS])
def test_readme_block_runs_on_its_own(line, code, tmp_path):
    missing = missing_imports(code)
    if missing:
        pytest.skip("README.md line %d needs %s" % (line, ", ".join(missing)))
    env = dict(os.environ)
    env.pop("VELTO_SIM_LIVE", None)  # the tests' own setting; a reader's run has the default
    proc = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path), env=env,
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 0, "README.md line %d exited %d\nstdout:\n%s\nstderr:\n%s" % (
        line, proc.returncode, proc.stdout, proc.stderr)
    assert "Traceback" not in proc.stderr, "README.md line %d printed\n%s" % (line, proc.stderr)
