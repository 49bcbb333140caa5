#!/usr/bin/env bash
# Usage: arm64-install.sh
# Build this checkout for 64-bit ARM with Debian's cross compiler on this
# machine (many times faster than compiling under emulation) and check it in
# the arm64 root (tools/arm64-root.sh), under emulation: the C++ core tests
# run there, no fused multiply-add may be in anything built, and a wheel is
# installed into the root's /opt/lane venv, so the pytest suite run there
# afterwards sees what a user's `pip install` on an ARM machine would give.
# Fails on the first step that fails.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tools="$REPO_ROOT/tools"
apt_install g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
root=$("$tools/arm64-root.sh")
# Read by the toolchain file: where the root, its processor and its
# interpreter are.
export DITHERING_ROOT=$root DITHERING_ROOT_ARCH=aarch64 DITHERING_ROOT_PYTHON="$tools/arm64-python.sh"
toolchain="$tools/debian-root.cmake"
# The build tools (CMake, Ninja, scikit-build-core) are this machine's, from
# the ordinary python3's venv.
build_venv=$("$tools/venv.sh" "${GIL_PYTHON:-python3}")
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# The checker must catch aarch64's fused forms before it may pass our build.
"$tools/check-no-fma.sh" --self-test aarch64

log "cross-building the C++ core tests for aarch64"
core="$REPO_ROOT/build/arm64-core"
fresh_build_tree "$core" "$root $toolchain"
run_logged "$CACHE_DIR/arm64-core-build.log" bash -c '
  "$1/bin/cmake" -S "$2" -B "$3" --toolchain "$4" -DCMAKE_BUILD_TYPE=Release \
    -DDITHERING_CORE_TESTS=ON -DDITHERING_PYTHON_MODULE=OFF -DDITHERING_WERROR=ON &&
  "$1/bin/cmake" --build "$3"' _ "$build_venv" "$REPO_ROOT" "$core" "$toolchain"
"$tools/check-no-fma.sh" "$core/libdithering_core.a" "$core/core_tests" "$core/core_bench"
"$tools/arm64-run.sh" "$core/core_tests" | tail -n 1

log "cross-building a wheel and installing it in the arm64 root"
wheels="$REPO_ROOT/build/wheels/arm64"
"$tools/root-wheel.sh" arm64 "$build_venv/bin/python" "$REPO_ROOT/build/arm64-wheel" "$wheels"
wheel=$(checked_wheel "$wheels" "$REPO_ROOT/build/arm64-wheel")
drop_old_distribution "$tools/arm64-run.sh" /opt/lane/bin/python
"$tools/arm64-run.sh" /opt/lane/bin/python -m pip install -q --force-reinstall --no-deps "$wheel"
