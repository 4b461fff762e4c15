"""Code blocks of the project's Markdown (the README and the guides under docs/), and running
one as a reader would: in a fresh interpreter or shell, against the installed package, with the
simulated engine's defaults.

A ```python block that imports a package which is not installed (PyAV, numpy, ...) is skipped;
the import line at the top level of the block is what says so. A block passes when it exits with
status 0 and printed no traceback: a callback error is printed, not raised, and would otherwise
go unseen.

A ```sh block runs in bash with `python` meaning the interpreter under test, in an empty folder
where `examples/` is the project's; `python -m pip install ".[extra]"` lines are not run (they
would reinstall the package under test) but must name an extra that pyproject.toml declares.
"""
import ast
import importlib.util
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIMEOUT = 60
PIP_INSTALL = re.compile(r'^python -m pip install (?:"\.\[(?P<extra>[a-z]+)\]"|\.)$')


def code_blocks(path, language):
    """(first line number, code) of each ```<language> block of the Markdown file `path`."""
    blocks = []
    with open(path, encoding="utf-8") as markdown:
        lines = markdown.read().split("\n")
    start = None
    for number, line in enumerate(lines, 1):
        if start is None and re.match(r"^```%s\s*$" % re.escape(language), line):
            start = number
        elif start is not None and line.startswith("```"):
            blocks.append((start + 1, "\n".join(lines[start:number - 1]) + "\n"))
            start = None
    assert start is None, "%s: the ```%s block at line %d is never closed" % (
        path, language, start)
    return blocks


def missing_imports(code):
    tree = ast.parse(code)
    names = set()
    for node in tree.body:
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names.add(node.module.split(".")[0])
    return sorted(name for name in names if importlib.util.find_spec(name) is None)


def declared_extras():
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as project:
        text = project.read()
    section = text.split("[project.optional-dependencies]", 1)[1].split("\n[", 1)[0]
    return set(re.findall(r"^([a-z]+)\s*=", section, re.M))


def reader_env():
    env = dict(os.environ)
    env.pop("VELTO_SIM_LIVE", None)  # the tests' own setting; a reader's run has the default
    # `python` in a shell block is the interpreter under test.
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    return env


def check_finished(where, proc):
    assert proc.returncode == 0, "%s exited %d\nstdout:\n%s\nstderr:\n%s" % (
        where, proc.returncode, proc.stdout, proc.stderr)
    assert "Traceback" not in proc.stderr, "%s printed\n%s" % (where, proc.stderr)


def run_python_block(where, code, folder):
    """Runs a ```python block; pytest.skip()s it when an import it needs is missing."""
    import pytest

    missing = missing_imports(code)
    if missing:
        pytest.skip("%s needs %s" % (where, ", ".join(missing)))
    proc = subprocess.run([sys.executable, "-c", code], cwd=str(folder), env=reader_env(),
                          capture_output=True, text=True, timeout=TIMEOUT)
    check_finished(where, proc)
    return proc


def run_shell_block(where, code, folder):
    """Runs a ```sh block in `folder`, with the project's examples/ beside it."""
    extras = declared_extras()
    commands = []
    for line in code.splitlines():
        install = PIP_INSTALL.match(line.strip())
        if install:
            assert install.group("extra") in extras | {None}, (
                "%s installs the extra %r, which pyproject.toml does not declare"
                % (where, install.group("extra")))
        else:
            commands.append(line)
    os.symlink(os.path.join(ROOT, "examples"), os.path.join(str(folder), "examples"))
    proc = subprocess.run(["bash", "-euo", "pipefail", "-c", "\n".join(commands)],
                          cwd=str(folder), env=reader_env(), capture_output=True, text=True,
                          timeout=TIMEOUT)
    check_finished(where, proc)
    return proc
