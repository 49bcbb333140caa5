"""The installed type stub, checked by mypy on a typed example."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).parent / "typing" / "typed_usage.py"


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stub_types_the_example(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), str(EXAMPLE)],
        capture_output=True, text=True, check=False,
    )
    out = result.stdout
    assert result.returncode == 0, out + result.stderr
    revealed = [line.split("Revealed type is ", 1)[1] for line in out.splitlines() if "Revealed type" in line]
    # An array in gives a uint8 array out; a PIL image in gives a PIL image.
    assert "numpy.ndarray" in revealed[0] and "_8Bit" in revealed[0]
    assert revealed[1] == '"PIL.Image.Image"'
