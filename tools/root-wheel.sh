#!/usr/bin/env bash
# Usage: root-wheel.sh arm64|sid PYTHON BUILD_DIR WHEEL_DIR [SETTING...]
# Build a wheel of this checkout on this machine for the interpreter of a
# cached Debian root: arm64 (CPython for 64-bit ARM, tools/arm64-root.sh)
# or sid (CPython for x86-64, tools/sid-root.sh). PYTHON is this machine's
# interpreter whose environment holds the build tools (scikit-build-core,
# CMake, Ninja); CMake builds with tools/debian-root.cmake, against the root's
# Python and NumPy headers. The wheel is tagged for the root's interpreter
# (e.g. cp314-cp314-linux_aarch64), not this machine's, and lands alone in
# WHEEL_DIR (emptied first); the build tree is BUILD_DIR, its log
# BUILD_DIR.log. Each SETTING (-C key=value) goes to pip wheel, after ours:
# warnings in our code are errors, as in every lane.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

usage="usage: root-wheel.sh arm64|sid PYTHON BUILD_DIR WHEEL_DIR [SETTING...]"
(($# >= 4)) || die "$usage"
name=$1 py=$2 build=$3 wheels=$4; shift 4
[[ $name == arm64 || $name == sid ]] || die "$usage"
tools="$REPO_ROOT/tools"
root=$("$tools/$name-root.sh")

# The wheel's tags name the root's interpreter and platform, not this
# machine's (e.g. cp314-cp314-linux_aarch64); the processor picks the
# compiler.
read -r wheel_tag arch < <("$tools/$name-run.sh" /opt/lane/bin/python -c '
import platform, sys, sysconfig
v = sys.version_info
print(f"cp{v[0]}{v[1]}-cp{v[0]}{v[1]}{sys.abiflags}-" + sysconfig.get_platform().replace("-", "_").replace(".", "_"),
      platform.machine())')
# Read by the toolchain file.
export DITHERING_ROOT=$root DITHERING_ROOT_ARCH=$arch DITHERING_ROOT_PYTHON="$tools/$name-python.sh"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

fresh_build_tree "$build" "$root $wheel_tag $tools/debian-root.cmake"
rm -rf "$wheels"
log "building a wheel for the $name root's interpreter ($wheel_tag)"
# No Python hints from this machine's interpreter: the toolchain file points
# CMake at the root's. FindPython asks a cross build's interpreter for the
# extension suffix, the headers and NumPy's only under policy CMP0190 and
# through the "emulator" that runs the target's programs (CMake 4.1 and
# newer); ours already runs inside the root, so env, which runs it as it
# is, is that emulator.
run_logged "$build.log" \
  "$py" -m pip wheel -v --no-build-isolation --no-deps -w "$wheels" \
    -C build-dir="$build" -C cmake.python-hints=false -C wheel.tags="$wheel_tag" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$tools/debian-root.cmake" \
    -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW -C cmake.define.CMAKE_CROSSCOMPILING_EMULATOR=env \
    -C cmake.define.DITHERING_WERROR=ON "$@" "$REPO_ROOT"
