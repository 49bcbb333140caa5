#!/usr/bin/env bash
# Usage: install-ext.sh TAG PYTHON [ARGS...]
# Build a wheel of this checkout with a lane's interpreter (PYTHON ARGS... is
# the command that runs it) and install that wheel into the lane's
# environment, so the tests see what a user's `pip install` would give.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tag=${1:?usage: install-ext.sh TAG PYTHON [ARGS...]}; shift
(($#)) || die "usage: install-ext.sh TAG PYTHON [ARGS...]"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
wheels="$REPO_ROOT/build/wheels/$tag"
log "building a wheel and installing it ($tag)"
# Emptied first, so the wheel installed below is the one just built.
rm -rf "$wheels"
# Build dir per lane inside the checkout (a CMake cache is tied to its source
# path, so it can't be shared across clones), reused so rebuilds are
# incremental. No isolation and no deps: the lane already has all of them.
# Warnings in our own code are errors here (a plain `pip install .` keeps
# them warnings, so a newer compiler cannot break a user's install).
"$@" -m pip wheel -q --no-build-isolation --no-deps -w "$wheels" \
  -C build-dir="$REPO_ROOT/build/$tag" -C cmake.define.DITHERING_WERROR=ON "$REPO_ROOT"
# The modules as linked, before the wheel's stripped copies, are checked for
# fused multiply-adds.
wheel=$(checked_wheel "$wheels" "$REPO_ROOT/build/$tag")
drop_old_distribution "$@"
"$@" -m pip install -q --force-reinstall --no-deps "$wheel"
