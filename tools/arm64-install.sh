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
# Read by the toolchain file: where the root's interpreter and headers are.
export DITHERING_ARM64_ROOT=$root
toolchain="$tools/aarch64-linux-gnu.cmake"
# The build tools (CMake, Ninja, scikit-build-core) are this machine's, from
# the ordinary python3's venv.
build_venv=$("$tools/venv.sh" "${GIL_PYTHON:-python3}")
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# Usage: for_this_root DIR
# A build tree caches the root's paths (the interpreter, the header flags);
# one made for a root elsewhere (another DITHERING_CACHE) starts afresh.
for_this_root() {
  [[ $(cat "$1/.arm64-root" 2>/dev/null) == "$root" ]] && return
  rm -rf "$1"
  mkdir -p "$1"
  echo "$root" >"$1/.arm64-root"
}

# The checker must catch aarch64's fused forms before it may pass our build.
"$tools/check-no-fma.sh" --self-test aarch64

log "cross-building the C++ core tests for aarch64"
core="$REPO_ROOT/build/arm64-core"
for_this_root "$core"
run_logged "$CACHE_DIR/arm64-core-build.log" bash -c '
  "$1/bin/cmake" -S "$2" -B "$3" --toolchain "$4" -DCMAKE_BUILD_TYPE=Release \
    -DDITHERING_CORE_TESTS=ON -DDITHERING_PYTHON_MODULE=OFF -DDITHERING_WERROR=ON &&
  "$1/bin/cmake" --build "$3"' _ "$build_venv" "$REPO_ROOT" "$core" "$toolchain"
"$tools/check-no-fma.sh" "$core/libdithering_core.a" "$core/core_tests" "$core/core_bench"
"$tools/arm64-run.sh" "$core/core_tests" | tail -n 1

# Asked of the root's interpreter: the wheel's tags, which name it and its
# platform, not this machine's (e.g. cp314-cp314-linux_aarch64), and the
# extension suffix and header directory. CMake's FindPython asks the
# interpreter for these two only when it builds for the machine it runs on,
# so a cross build passes them in.
read -r wheel_tag soabi include_dir < <("$tools/arm64-run.sh" /opt/lane/bin/python -c '
import sys, sysconfig
v = sys.version_info
print(f"cp{v[0]}{v[1]}-cp{v[0]}{v[1]}{sys.abiflags}-" + sysconfig.get_platform().replace("-", "_").replace(".", "_"),
      sysconfig.get_config_var("SOABI"), sysconfig.get_paths()["include"])')
tag=arm64-${wheel_tag%%-*}
wheels="$REPO_ROOT/build/wheels/$tag"
log "cross-building a wheel ($wheel_tag) and installing it in the arm64 root"
rm -rf "$wheels"
for_this_root "$REPO_ROOT/build/$tag"
# No Python hints from this machine's interpreter: the toolchain file points
# CMake at the root's. Warnings in our code are errors, as in every lane.
run_logged "$CACHE_DIR/arm64-wheel-build.log" \
  "$build_venv/bin/python" -m pip wheel -v --no-build-isolation --no-deps -w "$wheels" \
    -C build-dir="$REPO_ROOT/build/$tag" -C cmake.python-hints=false \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain" -C wheel.tags="$wheel_tag" \
    -C cmake.define.Python_SOABI="$soabi" -C cmake.define.Python_INCLUDE_DIR="$root$include_dir" \
    -C cmake.define.DITHERING_WERROR=ON "$REPO_ROOT"
shopt -s nullglob
built=("$wheels"/dithering-*.whl)
((${#built[@]} == 1)) || die "expected one wheel in $wheels, found ${#built[@]}"
modules=("$REPO_ROOT/build/$tag"/dithering*.so)
((${#modules[@]} == 1)) || die "expected one dithering*.so in build/$tag, found ${#modules[@]}"
# And the companion package's native module, built from the same core.
companions=("$REPO_ROOT/build/$tag"/_bounded*.so)
((${#companions[@]} == 1)) || die "expected one _bounded*.so in build/$tag, found ${#companions[@]}"
"$tools/check-no-fma.sh" "${modules[0]}" "${companions[0]}"
"$tools/arm64-run.sh" /opt/lane/bin/python -m pip install -q --force-reinstall --no-deps "${built[0]}"
