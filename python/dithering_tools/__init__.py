"""Files in, dithered images out: the `dither` command and its batch engine.

    from dithering_tools import DitherOptions, Job, dither_files
    jobs = [Job(Path("in.png"), Path("out.png"))]
    for result in dither_files(jobs, DitherOptions(palette=["#000", "#fff"]), workers=4):
        print(result.input, result.ok, result.error)

Error diffusion to a palette with the error bounded, which the command
uses (see dithering_tools.bounded):

    from dithering_tools import bounded_error_diffusion
    out = bounded_error_diffusion(photo, "fs", palette=["#0f380f", "#306230", "#8bac0f", "#9bbc0f"])

Palettes made from pictures (see dithering_tools.palette_making), and a
picture reduced to its own colours in one call:

    from dithering_tools import make_palette, quantize
    palette = make_palette(photo, 64)              # (64, 3) uint8 colours
    indices, palette = quantize(photo, 64)         # or a "P" image for a PIL one

The file tools need Pillow (`pip install 'dithering-exact[cli]'`); the names are
loaded on first use, so that the command can say so plainly when it is
missing.
"""

# One version for the distribution: the extension's, which the build takes
# from pyproject.toml.
from dithering import __version__ as __version__

# The distribution on the package index, which install hints name (its
# "dithering" is another project's).
DISTRIBUTION = "dithering-exact"


def install_hint(extra: str) -> str:
    """The command that installs this package with `extra`'s dependencies."""
    return f"pip install '{DISTRIBUTION}[{extra}]'"


_EXPORTS = {
    "DitherOptions": "options", "Job": "batch", "FileResult": "batch",
    "dither_files": "batch", "dither_file": "batch", "shared_palette": "batch",
    "load_palette": "palettes", "load_matrix": "matrices",
    "bounded_error_diffusion": "bounded",
    "make_palette": "palette_making", "quantize": "palette_making",
    "dither_files_on_cluster": "cluster",
}
# _EXPORTS' names, written out: type checkers and linters read only a
# literal list (tests/test_typing.py holds the two together).
__all__ = [
    "DitherOptions", "FileResult", "Job", "bounded_error_diffusion", "dither_file", "dither_files",
    "dither_files_on_cluster", "load_matrix", "load_palette", "make_palette", "quantize", "shared_palette",
]

# The same names for type checkers, which do not run __getattr__. Not
# imported at run time (nor is `typing`): that would slow the command's
# start and make it need Pillow.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from .batch import FileResult as FileResult, Job as Job
    from .batch import dither_file as dither_file, dither_files as dither_files
    from .batch import shared_palette as shared_palette
    from .bounded import bounded_error_diffusion as bounded_error_diffusion
    from .cluster import dither_files_on_cluster as dither_files_on_cluster
    from .matrices import load_matrix as load_matrix
    from .options import DitherOptions as DitherOptions
    from .palette_making import make_palette as make_palette, quantize as quantize
    from .palettes import load_palette as load_palette


def __getattr__(name: str) -> object:
    if name in _EXPORTS:
        import importlib
        return getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    # The names __getattr__ loads on first use, beside those already here.
    return sorted(set(globals()) | set(_EXPORTS))
