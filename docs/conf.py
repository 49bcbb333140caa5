"""Sphinx settings for the documentation site: `make docs` (tools/docs.sh)
builds it into build/docs/html, warnings as errors.

The pages are Markdown (MyST); the API reference is read from the installed
modules' docstrings, so the site describes the package a user gets, the
extension included. Nothing is fetched while it builds (no intersphinx).
"""

import dithering

project = "dithering-exact"
author = "the dithering-exact authors"
copyright = "the dithering-exact authors"
release = dithering.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    # The docstrings are written in Google's style (Args:, Returns:).
    "sphinx.ext.napoleon",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build"]

# Headings up to ### get anchors, so pages link to each other's sections as
# page.md#section.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist"]

# In the docstrings `name` is code, as it is in the Markdown pages.
default_role = "code"

autodoc_member_order = "bysource"
# Signatures as the user writes the call; the annotations (NumPy's and
# Pillow's types, which no page here documents) in the text below it.
autodoc_typehints = "description"
autodoc_typehints_format = "short"
# Types only beside parameters the docstring describes: no bare lists.
autodoc_typehints_description_target = "documented"
napoleon_google_docstring = True
napoleon_numpy_docstring = False

html_theme = "alabaster"
html_title = f"dithering-exact {release}"
html_static_path: list[str] = []
html_theme_options = {
    "description": "Fast, bit-exact dithering of 8-bit images",
    "fixed_sidebar": True,
}
