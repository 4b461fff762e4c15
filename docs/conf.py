"""Sphinx configuration: the guides are MyST Markdown; the API reference is generated from the
installed packages' docstrings and types (``python -m pip install ".[docs]"`` first)."""

import __future__
import importlib.machinery
import importlib.util
import os
import sys
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(ROOT, "python", "_pyveltosdk-stubs", "__init__.pyi")

project = "pyveltosdk"
author = "the pyveltosdk developers"
copyright = "the pyveltosdk developers"
release = "0.1.0"

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3
html_theme = "furo"
html_title = "pyveltosdk"

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# The stub's callback aliases and the layer's event-class selector stay names in signatures
# instead of their long expansion.
autodoc_type_aliases = {"AudioFrameCallback": "AudioFrameCallback",
                        "VideoFrameCallback": "VideoFrameCallback",
                        "EventClasses": "EventClasses"}


def _stub_module() -> types.ModuleType:
    """The extension's stub, executed as a module named ``_pyveltosdk``.

    The extension's functions take positional arguments only and carry no signatures of their
    own; the stub describes them exactly (checked against the built module by stubtest), so the
    reference is generated from it. Annotations stay text, as the stub's own aliases are."""
    loader = importlib.machinery.SourceFileLoader("_pyveltosdk", STUB)
    found = importlib.util.spec_from_loader("_pyveltosdk", loader, origin=STUB)
    module = importlib.util.module_from_spec(found)
    module.__file__ = STUB
    with open(STUB, encoding="utf-8") as source:
        code = compile(source.read(), STUB, "exec",
                       flags=__future__.annotations.compiler_flag, dont_inherit=True)
    exec(code, module.__dict__)
    return module


# The Python layers are imported as installed, with the built extension under them; afterwards
# the name _pyveltosdk means the stub, for its reference page only.
import pyveltosdk  # noqa: E402,F401
import velto_sim  # noqa: E402,F401

sys.modules["_pyveltosdk"] = _stub_module()


def _drop_object_base(app, name, obj, options, bases):
    """"Bases: object" says nothing; the other bases (exceptions, enums) stay."""
    bases[:] = [base for base in bases if base is not object]


def setup(app):
    app.connect("autodoc-process-bases", _drop_object_base)
