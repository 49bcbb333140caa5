#!/usr/bin/env bash
# Usage: tools/long-checks.sh
# The C++ core tests with their long checks switched on: the level
# thresholds of error diffusion against the rounding they stand for, for
# every one of the 2^32 floats and several level counts (about a minute per
# level count). Too slow for every `make test`; run it after touching
# Levels or the threshold search.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

venv=$("$REPO_ROOT/tools/venv.sh" "${GIL_PYTHON:-python3}")
build="$REPO_ROOT/build/core"
"$venv/bin/cmake" -S "$REPO_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DDITHERING_CORE_TESTS=ON -DDITHERING_PYTHON_MODULE=OFF -DDITHERING_WERROR=ON >/dev/null
"$venv/bin/cmake" --build "$build" -j "$(nproc)" >/dev/null
DITHERING_LONG_CHECKS=1 "$build/core_tests"
