"""The type stub python/_pyveltosdk-stubs/__init__.pyi against the module it describes.

mypy's stubtest sees names, constants and kinds, but cannot read the parameters of functions
written in C; these tests check those against the running module: how many arguments each
function takes, that they are positional-only, which argument types it refuses, what type it
returns, and the shape of the frame callbacks.
"""
import ast
import importlib.metadata as metadata
import json
from pathlib import Path

import pytest

import _pyveltosdk as sdk
import velto_sim as sim
from conftest import run_python

# Python 3.8 wraps a subscript's contents in ast.Index; later versions drop the wrapper.
INDEX = getattr(ast, "Index", ())

STUB = Path(__file__).resolve().parents[1] / "python" / "_pyveltosdk-stubs" / "__init__.pyi"


def annotation_text(node):
    """The annotation as written, for the simple forms a stub uses (3.8's ast has no unparse)."""
    if node is None:
        return None
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        return "%s.%s" % (annotation_text(node.value), node.attr)
    if isinstance(node, ast.Constant):
        return repr(node.value)
    if isinstance(node, INDEX):
        return annotation_text(node.value)
    if isinstance(node, (ast.Tuple, ast.List)):
        inner = ", ".join(annotation_text(e) for e in node.elts)
        return "[%s]" % inner if isinstance(node, ast.List) else inner
    if isinstance(node, ast.Subscript):
        return "%s[%s]" % (annotation_text(node.value), annotation_text(node.slice))
    raise AssertionError("unexpected annotation node %s" % ast.dump(node))


def subscript_items(node):
    """The items of X[a, b, ...] as nodes."""
    assert isinstance(node, ast.Subscript), ast.dump(node)
    inner = node.slice
    if isinstance(inner, INDEX):
        inner = inner.value
    return list(inner.elts) if isinstance(inner, ast.Tuple) else [inner]


def load_stub():
    tree = ast.parse(STUB.read_text(encoding="utf-8"), str(STUB))
    functions, constants, aliases = {}, {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            functions[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            kind = annotation_text(node.annotation)
            if kind == "Final":
                constants[node.target.id] = node.value.value  # type: ignore[union-attr]
            elif kind == "TypeAlias":
                aliases[node.target.id] = node.value
    return functions, constants, aliases


FUNCTIONS, CONSTANTS, ALIASES = load_stub()

# A value the module accepts and one it refuses, per parameter annotation used in the stub.
GOOD = {"str": "{}", "int": 3, "object": [], "AudioFrameCallback": lambda *a: (None,),
        "VideoFrameCallback": lambda *a: (None, None, None)}
BAD = {"str": 5, "int": "3", "AudioFrameCallback": 5, "VideoFrameCallback": "f"}
RESULT_TYPES = {"None": type(None), "bool": bool, "int": int, "bytes": bytes}


def parameters(name):
    args = FUNCTIONS[name].args
    return [annotation_text(a.annotation) for a in args.posonlyargs + args.args]


def good_args(name):
    return [GOOD[kind] for kind in parameters(name)]


def test_stub_names_are_the_module_names():
    public = {n for n in dir(sdk) if not n.startswith("_")}
    assert set(FUNCTIONS) | set(CONSTANTS) == public
    assert len(FUNCTIONS) == 23 and len(CONSTANTS) == 6
    for name, value in CONSTANTS.items():
        assert getattr(sdk, name) == value, name
    for name in FUNCTIONS:
        assert callable(getattr(sdk, name)), name
    # Stub-only names must not shadow anything real.
    assert not set(ALIASES) & set(dir(sdk))


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_every_parameter_is_positional_only_and_annotated(name):
    node = FUNCTIONS[name]
    args = node.args
    assert not args.args and not args.kwonlyargs and args.vararg is None and args.kwarg is None
    assert all(kind in GOOD for kind in parameters(name)), parameters(name)
    assert annotation_text(node.returns) in RESULT_TYPES
    body = node.body
    assert isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant)
    assert "\n" not in body[0].value.value.strip(), "docstring of one line"


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_argument_count_matches_the_module(engine, name):
    count = len(parameters(name))
    function = getattr(sdk, name)
    sim.reset()
    with pytest.raises(TypeError):
        function(*good_args(name), object())
    if count:
        with pytest.raises(TypeError):
            function(*good_args(name)[:-1])
        with pytest.raises(TypeError):  # positional-only: keywords are refused
            function(*good_args(name)[:-1], **{FUNCTIONS[name].args.posonlyargs[-1].arg:
                                               good_args(name)[-1]})
    assert sim.journal() == []


REFUSALS = [(name, i) for name in sorted(FUNCTIONS)
            for i, kind in enumerate(parameters(name)) if kind in BAD]


@pytest.mark.parametrize("name,index", REFUSALS)
def test_arguments_of_another_type_are_refused(engine, name, index):
    args = good_args(name)
    args[index] = BAD[parameters(name)[index]]
    sim.reset()
    with pytest.raises(TypeError):
        getattr(sdk, name)(*args)
    assert sim.journal() == []


def test_truth_parameters_take_any_object(engine):
    taking_objects = [n for n in FUNCTIONS if "object" in parameters(n)]
    assert len(taking_objects) == 8
    for name in taking_objects:
        for value in ([], "text", None, 2.5, object()):
            getattr(sdk, name)(value)


def test_results_have_the_stub_types():
    # In a fresh interpreter: logOff and addView change process-wide state for good.
    calls = {name: [repr(a) if not callable(a) else None for a in good_args(name)]
             for name in FUNCTIONS}
    code = """
        import json, _pyveltosdk as sdk
        calls = json.loads(%r)
        results = {}
        for name, args in sorted(calls.items()):
            sdk.terminate()
            sdk.initialize("{}")
            values = [eval(a) if a is not None else
                      (lambda *f: (None,) if len(f) == 6 else (None, None, None)) for a in args]
            results[name] = type(getattr(sdk, name)(*values)).__name__
        sdk.terminate()
        print(json.dumps(results))
    """ % json.dumps(calls)
    results = json.loads(run_python(code).stdout.strip().splitlines()[-1])
    expected = {name: RESULT_TYPES[annotation_text(node.returns)].__name__
                for name, node in FUNCTIONS.items()}
    assert results == expected


def callback_shape(alias):
    """(parameter type names, number of answer items, answer item type) of a Callable alias."""
    callable_node = ALIASES[alias]
    assert annotation_text(callable_node.value) == "Callable"
    params, answer = subscript_items(callable_node)
    assert annotation_text(answer.value) == "Tuple"
    items = [annotation_text(i) for i in subscript_items(answer)]
    assert len(set(items)) == 1
    return [annotation_text(p) for p in params.elts], len(items), items[0]


def test_callback_aliases_describe_what_the_module_calls_and_accepts(engine):
    audio_params, audio_items, audio_item = callback_shape("AudioFrameCallback")
    video_params, video_items, video_item = callback_shape("VideoFrameCallback")
    assert audio_item == video_item == "Optional[Union[bytes, str]]"
    seen = {}

    def audio(*args):
        seen["audio"] = args
        return (b"\x07",) + (None,) * (audio_items - 1)

    def video(*args):
        seen["video"] = args
        return ("Y",) + (None,) * (video_items - 1)

    sdk.registerAudioObserver(audio)
    sdk.registerVideoObserver(video)
    answer, after = sim.deliver_audio(sdk.StreamAudioRecord, b"\x01\x02", samples=1)
    assert (answer, after) == (1, b"\x07\x00")
    answer, planes = sim.deliver_video(sdk.StreamVideoCap, 2, 2, b"abcd", b"u", b"v")
    assert (answer, planes) == (1, (b"Y\x00\x00\x00", b"u", b"v"))
    for kind, params in (("audio", audio_params), ("video", video_params)):
        assert [type(a).__name__ for a in seen[kind]] == params, kind


def test_installed_package_carries_this_stub():
    try:
        dist = metadata.distribution("pyveltosdk")
    except metadata.PackageNotFoundError:
        pytest.skip("pyveltosdk is not installed as a distribution")
    files = {str(f).replace("\\", "/"): f for f in dist.files or []}
    assert "_pyveltosdk-stubs/py.typed" in files
    installed = files["_pyveltosdk-stubs/__init__.pyi"].locate()
    assert Path(str(installed)).read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")
