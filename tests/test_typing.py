"""The installed type stub and dithering_tools' annotations, checked by mypy
on a typed example."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import dithering
import dithering_tools

EXAMPLE = Path(__file__).parent / "typing" / "typed_usage.py"
needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

# What typed_usage.py's reveal_type lines must show, in order (see kind()).
EXPECTED = [
    "uint8 array",            # dithering.error_diffusion of an array
    "PIL.Image.Image",        # dithering.dither of a PIL image
    "uint8 array",            # bounded_error_diffusion of an array
    "PIL.Image.Image",        # ... of a PIL image
    "uint8 array",            # make_palette
    "uint8 or uint16 array",  # quantize's indices
    "PIL.Image.Image",        # quantize of a PIL image
    "list[str | tuple[int, ...]]",  # load_palette
    "array",                  # load_matrix
    "typing.Generator[dithering_tools.batch.FileResult, None, None]",  # dither_files
    "list[tuple[int, ...]] | None",  # shared_palette's palette
    "dict[str, str]",         # ... and its failures
    "dithering_tools.batch.FileResult",  # dither_files_on_cluster's results
]


def kind(revealed):
    """A revealed type in words for arrays, whose spelling changes with
    NumPy's version; others as mypy spells them, less 'builtins.'."""
    if revealed.startswith("numpy.ndarray["):
        bits = [b for b in ("_8Bit", "_16Bit") if b in revealed]
        return {("_8Bit",): "uint8 array", ("_8Bit", "_16Bit"): "uint8 or uint16 array"}.get(
            tuple(bits), "array")
    return revealed.replace("builtins.", "")


def mypy(tmp_path, *arguments, config="[mypy]\n"):
    """(exit status, revealed types, output) of mypy --strict on `arguments`,
    with the settings `config` (a user's defaults, not this project's)."""
    (tmp_path / "mypy.ini").write_text(config)
    env = dict(os.environ)
    # An installed wheel has the extension's stub package beside it; a build
    # in the checkout (build/dev on PYTHONPATH) has the checkout's stub.
    if not (Path(dithering.__file__).parent / "dithering-stubs").is_dir():
        stubs = Path(__file__).parents[1] / "stubs"
        if stubs.is_dir():
            env["MYPYPATH"] = os.pathsep.join(filter(None, [str(stubs), env.get("MYPYPATH")]))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-traceback",
         "--config-file", str(tmp_path / "mypy.ini"), "--cache-dir", str(tmp_path / "cache"),
         *map(str, arguments)],
        capture_output=True, text=True, check=False, env=env,
    )
    out = result.stdout
    revealed = [line.split("Revealed type is ", 1)[1].strip('"')
                for line in out.splitlines() if "Revealed type" in line]
    return result.returncode, revealed, out + result.stderr


@needs_mypy
def test_stub_types_the_example(tmp_path):
    status, revealed, out = mypy(tmp_path, EXAMPLE)
    assert status == 0, out
    assert [kind(r) for r in revealed] == EXPECTED, out


@needs_mypy
def test_arrays_are_typed_without_pillow(tmp_path):
    """Where Pillow is not installed, PIL.Image.Image is unresolved (Any):
    an array must still give an array, not Any. Pillow is hidden from mypy
    (its imports skipped, which is what a missing module comes to)."""
    script = tmp_path / "arrays_only.py"
    script.write_text(
        "import numpy as np\n"
        "import dithering\n"
        "from dithering_tools import bounded_error_diffusion, make_palette, quantize\n"
        "rgb = np.zeros((4, 4, 3), np.uint8)\n"
        "reveal_type(dithering.dither(rgb))\n"
        "reveal_type(dithering.ordered_dither([[0, 255]]))\n"
        "reveal_type(dithering.error_diffusion(rgb, palette=['#000', '#fff']))\n"
        "reveal_type(dithering.random_dither(rgb))\n"
        "reveal_type(bounded_error_diffusion(rgb, palette=['#000', '#fff']))\n"
        "reveal_type(make_palette(rgb, 2))\n"
        "reveal_type(quantize(rgb, 2)[1])\n")
    status, revealed, out = mypy(
        tmp_path, script, config="[mypy]\n[mypy-PIL,PIL.*]\nfollow_imports = skip\nfollow_imports_for_stubs = True\n")
    assert status == 0, out
    assert [kind(r) for r in revealed] == ["uint8 array"] * 7, out


def test_lazy_names_are_listed():
    # Loaded on first use, yet in __all__ and dir() like any other name.
    assert sorted(dithering_tools.__all__) == sorted(dithering_tools._EXPORTS)
    assert set(dithering_tools.__all__) <= set(dir(dithering_tools))
    assert {"install_hint", "__version__"} <= set(dir(dithering_tools))
