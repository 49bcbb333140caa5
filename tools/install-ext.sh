#!/usr/bin/env bash
# Usage: install-ext.sh VENV
# Build the extension from this checkout and install it into VENV.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

venv=${1:?usage: install-ext.sh VENV}
tag=${venv##*/venv-}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
log "building and installing the extension into $venv"
# Build dir per lane inside the checkout (a CMake cache is tied to its source
# path, so it can't be shared across clones), reused so rebuilds are
# incremental. No isolation and no deps: the venv already has all of them.
# Warnings in our own code are errors here (a plain `pip install .` keeps
# them warnings, so a newer compiler cannot break a user's install).
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  -C build-dir="$REPO_ROOT/build/$tag" -C cmake.define.DITHERING_WERROR=ON "$REPO_ROOT"
