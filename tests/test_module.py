"""The module surface: attributes, signatures, docstrings and listings."""

import ast
import inspect
import subprocess
import sys
import textwrap
import tomllib
from pathlib import Path

import pytest

import dithering

FUNCTIONS = [
    "dither",
    "ordered_dither",
    "error_diffusion",
    "random_dither",
    "available_matrices",
    "available_methods",
]

METHODS = [
    "floyd_steinberg",
    "false_floyd_steinberg",
    "jarvis_judice_ninke",
    "stucki",
    "atkinson",
    "burkes",
    "sierra",
    "sierra_two_row",
    "sierra_lite",
]


def run_python(code):
    """Runs `code` in a fresh interpreter (this one) and returns its stdout."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=True,
    )
    return result.stdout.strip()


# The version is written once, in pyproject.toml (beside tests/ in a
# checkout and in the sdist); the build compiles it into the module.
PROJECT_VERSION = tomllib.loads(
    (Path(__file__).parents[1] / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]


def test_module_attributes():
    assert dithering.__all__ == ["__version__", *FUNCTIONS]
    assert type(dithering.__version__) is str
    assert dithering.__version__ == PROJECT_VERSION
    assert dithering.__doc__ == ""


def test_companion_shares_the_version():
    import dithering_tools
    assert dithering_tools.__version__ == dithering.__version__


def test_star_import_binds_version():
    namespace = {}
    exec("from dithering import *", namespace)
    assert namespace["__version__"] == PROJECT_VERSION
    assert set(FUNCTIONS) <= namespace.keys()


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_belong_to_the_module(name):
    function = getattr(dithering, name)
    assert function.__module__ == "dithering"
    assert function.__name__ == name


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        (
            "dither",
            "(image, method='floyd_steinberg', *, levels=2, palette=None, "
            "serpentine=False, seed=None, strength=1.0, linear=False, "
            "preserve_alpha=True)",
        ),
        (
            "ordered_dither",
            "(image, matrix=None, *, levels=2, palette=None, strength=1.0, "
            "linear=False, preserve_alpha=True)",
        ),
        (
            "error_diffusion",
            "(image, method='floyd_steinberg', *, levels=2, palette=None, "
            "serpentine=False, strength=1.0, linear=False, preserve_alpha=True)",
        ),
        (
            "random_dither",
            "(image, *, levels=2, palette=None, seed=None, strength=1.0, "
            "linear=False, preserve_alpha=True)",
        ),
        ("available_matrices", "()"),
        ("available_methods", "()"),
    ],
)
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(dithering, name))) == signature


def stub_functions():
    """The stub's function definitions by name (each overload), as installed
    beside the module, or from the source tree where it is not."""
    installed = Path(dithering.__file__).parent / "dithering-stubs" / "__init__.pyi"
    stub = installed if installed.exists() else Path(__file__).parents[1] / "stubs" / "dithering.pyi"
    functions = {}
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.FunctionDef):
            functions.setdefault(node.name, []).append(node.args)
    return functions


def stub_parameters(args):
    """(name, kind, default) of each parameter a stub definition declares."""
    kinds = inspect.Parameter
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    params = [(a.arg, kinds.POSITIONAL_OR_KEYWORD, d) for a, d in zip(positional, defaults)]
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        params.append((a.arg, kinds.KEYWORD_ONLY, inspect.Parameter.empty if d is None else ast.literal_eval(d)))
    return params


def test_stub_declares_the_signatures_the_module_has():
    # The names, kinds and defaults the type checker sees are those the
    # interpreter binds arguments by, overload by overload.
    stub = stub_functions()
    assert set(FUNCTIONS) <= stub.keys()
    for name in FUNCTIONS:
        runtime = [(p.name, p.kind, p.default)
                   for p in inspect.signature(getattr(dithering, name)).parameters.values()]
        for declared in stub[name]:
            assert stub_parameters(declared) == runtime, name


def test_parameter_kinds():
    params = inspect.signature(dithering.error_diffusion).parameters
    kinds = {name: p.kind for name, p in params.items()}
    assert kinds["image"] is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert kinds["method"] is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert {kinds[n] for n in list(params)[2:]} == {inspect.Parameter.KEYWORD_ONLY}
    random_params = list(inspect.signature(dithering.random_dither).parameters.values())
    positional = [p for p in random_params if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    assert [p.name for p in positional] == ["image"]


@pytest.mark.parametrize(
    ("name", "first_line"),
    [
        ("dither", "Dither an image — the one-stop entry point."),
        ("ordered_dither", "Apply ordered (Bayer / threshold-matrix) dithering."),
        ("error_diffusion", "Apply error-diffusion dithering (Floyd–Steinberg and friends)."),
        ("random_dither", "Apply random (white-noise) threshold dithering."),
        ("available_matrices", "List the valid `matrix` values for `ordered_dither`."),
        ("available_methods", "List the valid `method` values for `error_diffusion`."),
    ],
)
def test_docstrings(name, first_line):
    doc = getattr(dithering, name).__doc__
    assert doc.splitlines()[0] == first_line
    assert "--" not in doc.splitlines()[:2]
    assert f"{name}(" not in doc
    assert not doc.endswith("\n")


def test_docstring_body_verbatim():
    doc = dithering.random_dither.__doc__
    assert doc.endswith("Returns:\n    A new uint8 array (or PIL image) of the same shape.")
    assert "    seed: optional seed for reproducible output; random when omitted.\n" in doc


def test_available_methods():
    methods = dithering.available_methods()
    assert methods == METHODS
    assert methods is not dithering.available_methods()
    methods.append("changed")
    assert dithering.available_methods() == METHODS


def test_available_matrices():
    matrices = dithering.available_matrices()
    assert matrices == ["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"]
    assert matrices is not dithering.available_matrices()


@pytest.mark.parametrize("name", ["available_methods", "available_matrices"])
def test_listings_take_no_arguments(name):
    with pytest.raises(TypeError):
        getattr(dithering, name)(1)


def test_import_loads_neither_numpy_nor_pil():
    out = run_python(
        """
        import sys
        import dithering
        print(sorted(m for m in ("numpy", "PIL") if m in sys.modules))
        """
    )
    assert out == "[]"


@pytest.mark.skipif(
    not hasattr(sys, "_is_gil_enabled") or sys._is_gil_enabled(),
    reason="needs a free-threaded interpreter running without the GIL",
)
def test_gil_stays_disabled_on_free_threaded_interpreter():
    out = run_python(
        """
        import sys
        import dithering, numpy, PIL.Image
        dithering.available_methods()
        print(sys._is_gil_enabled())
        """
    )
    assert out == "False"


def test_wheel_ships_the_licence():
    from importlib.metadata import distribution

    dist = distribution("dithering-exact")
    assert dist.metadata["License-Expression"] == "MIT"
    licences = [f for f in dist.files or () if f.name == "LICENSE"]
    assert len(licences) == 1
    assert "Copyright (c) 2026 the dithering authors" in licences[0].read_text()
