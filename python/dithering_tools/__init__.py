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
from dithering import __version__

# The distribution on the package index, which install hints name (its
# "dithering" is another project's).
DISTRIBUTION = "dithering-exact"


def install_hint(extra):
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
__all__ = sorted(_EXPORTS)


def __getattr__(name):
    if name in _EXPORTS:
        import importlib
        return getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
