#!/usr/bin/env bash
# Usage: docs.sh
# The documentation site (docs/, Sphinx with MyST Markdown pages and the API
# reference read from the installed modules' docstrings) built into
# build/docs/html with warnings as errors. A wheel of this checkout is built
# and installed into the ordinary python3's venv (as the gil lane does; the
# build tree is the same, so after that lane this is a relink at most), then
# pyproject.toml's "docs" dependency group, wheels only. Nothing is fetched
# while the site builds. Fails on any warning.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

py=$(gil_python_with_wheel)
cd "$REPO_ROOT"
# pip reads the group from ./pyproject.toml.
"$py" -m pip install -q --only-binary=:all: --group docs

out="$REPO_ROOT/build/docs"
rm -rf "$out"
log "docs: sphinx-build -W into build/docs/html"
# -P keeps the checkout off sys.path: autodoc imports the installed wheel,
# whose extension the source tree does not hold.
"$py" -P -m sphinx -W --keep-going -q -b html -d "$out/doctrees" docs "$out/html"
log "docs: build/docs/html/index.html"
