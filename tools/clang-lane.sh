#!/usr/bin/env bash
# Usage: clang-lane.sh PYTHON [PYTEST ARGS...]
# The same sources built by clang (Debian's newest, as on macOS, where clang
# is the only compiler), warnings as errors, against the same arithmetic:
#   1. the C++ core tests on this machine, and no fused multiply-add in them;
#   2. the core cross-built for aarch64 by clang, its tests run under qemu;
#   3. a wheel for PYTHON (a venv holding the test requirements) built by
#      clang and the tests that compare pixels run against it (corpus
#      digests included), installed beside the venv's own, never over it;
#   4. the core compiled (not linked) for Windows (x86-64, MinGW) and macOS
#      (arm64) by zig's clang, so that a call only POSIX or glibc has cannot
#      creep back into it;
#   5. the core tests built by zig for 32-bit x86 and big-endian s390x and
#      run here (s390x under qemu).
# Fails on the first step that fails.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

py=${1:?usage: clang-lane.sh PYTHON [PYTEST ARGS...]}; shift
tools="$REPO_ROOT/tools"
build="$REPO_ROOT/build/clang"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
venv_bin=$(dirname "$py")

# The newest clang-N Debian offers here.
version=$(apt-cache search --names-only '^clang-[0-9]+$' | sed -E 's/^clang-([0-9]+) .*/\1/' |
          sort -n | tail -n 1)
[[ -n $version ]] || die "Debian offers no clang-N package here"
apt_install "clang-$version" g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static
cxx=$(command -v "clang++-$version") || die "clang++-$version not found after installing it"
log "clang lane: $("$cxx" --version | head -n 1)"

# Usage: core_build DIR [CMAKE ARGS...] -- configure and build the core tests.
core_build() {
  local dir=$1; shift
  run_logged "$build/$(basename "$dir").log" bash -c '
    "$1/cmake" -S "$2" -B "$3" -DCMAKE_BUILD_TYPE=Release -DDITHERING_CORE_TESTS=ON \
      -DDITHERING_PYTHON_MODULE=OFF -DDITHERING_WERROR=ON "${@:4}" &&
    "$1/cmake" --build "$3"' _ "$venv_bin" "$REPO_ROOT" "$dir" "$@"
}
mkdir -p "$build"

start=$(date +%s)
log "clang: C++ core tests (x86-64)"
core_build "$build/core" -DCMAKE_CXX_COMPILER="$cxx"
"$build/core/core_tests" | tail -n 1
"$tools/check-no-fma.sh" "$build/core/libdithering_core.a" "$build/core/core_tests"

# Linked statically, so that qemu needs no aarch64 loader or libraries.
log "clang: C++ core tests cross-built for aarch64, run under qemu"
core_build "$build/core-aarch64" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER_TARGET=aarch64-linux-gnu -DCMAKE_EXE_LINKER_FLAGS=-static
# The library only: the static test program carries glibc's own libm, whose
# aarch64 power and logarithm use fused forms by design.
"$tools/check-no-fma.sh" "$build/core-aarch64/libdithering_core.a"
qemu-aarch64-static "$build/core-aarch64/core_tests" | tail -n 1
stage_record "clang: core tests, x86-64 and aarch64" "$start" 0
start=$(date +%s)

log "clang: a wheel for $("$py" -c 'import sys; print(sys.version.split()[0] + sys.abiflags)')"
wheels="$build/wheel" site="$build/site"
rm -rf "$wheels" "$site"
run_logged "$build/wheel.log" \
  "$py" -m pip wheel -v --no-build-isolation --no-deps -w "$wheels" \
    -C build-dir="$build/module" -C cmake.define.CMAKE_CXX_COMPILER="$cxx" \
    -C cmake.define.DITHERING_WERROR=ON "$REPO_ROOT"
wheel=$(checked_wheel "$wheels" "$build/module")
"$py" -m pip install -q --no-deps --target "$site" "$wheel"

stage_record "clang: wheel" "$start" 0
start=$(date +%s)
log "zig: the core compiled for x86_64-windows-gnu and aarch64-macos"
"$py" -m pip install -q --only-binary=:all: -r "$tools/requirements-zig.txt"
flags=(-std=c++20 -O2 -ffp-contract=off -fno-fast-math -Wall -Wextra -Wconversion
       -Wsign-conversion -Wshadow -Werror -I"$REPO_ROOT/src")
# zig writes its objects where it is run whatever -o says: into a scratch
# folder of each source's own, since they compile one per core at once.
for target in x86_64-windows-gnu aarch64-macos; do
  # xargs appends the source; exit 255 stops it at the first failure.
  # shellcheck disable=SC2016 # expanded by the inner shell
  printf '%s\0' "$REPO_ROOT"/src/core/*/*.cpp | xargs -0 -n 1 -P "$(nproc)" bash -c '
    scratch=$1/$2/$(basename "${!#}" .cpp)
    mkdir -p "$scratch" && cd "$scratch" &&
      "$0" -m ziglang c++ -target "$2" "${@:3}" -o out.o ||
      { echo "$(basename "${!#}") does not compile for $2" >&2; exit 255; }' \
    "$py" "$build/zig" "$target" "${flags[@]}" -c ||
    die "the core does not compile for $target"
  log "zig: every core source compiles for $target"
done
stage_record "clang: zig, Windows and macOS" "$start" 0

# The processors the wheels do not cover still build and give the same
# arithmetic: 32-bit x86 (the portable forms, with SSE2 float math rather
# than the x87 unit) and big-endian s390x. zig links the core tests
# statically against its own musl, so they run here, s390x under qemu.
start=$(date +%s)
for target in x86-linux-musl s390x-linux-musl; do
  log "zig: C++ core tests for $target"
  bin="$build/zig-$target"
  zig_toolchain "$bin" "$py" "$target"
  core_build "$build/core-$target" -DCMAKE_CXX_COMPILER="$bin/c++" -DCMAKE_AR="$bin/ar" \
    -DCMAKE_RANLIB="$bin/ranlib" -DCMAKE_EXE_LINKER_FLAGS=-static
  case $target in
    s390x-*) qemu-s390x-static "$build/core-$target/core_tests" | tail -n 1 ;;
    *) "$build/core-$target/core_tests" | tail -n 1 ;;
  esac
done
stage_record "clang: zig, 32-bit x86 and s390x core tests" "$start" 0

# Last, so that pytest's summary is the lane's last line. PYTHONPATH puts
# the clang build ahead of the venv's own; the check says which one loaded.
cd "$REPO_ROOT"
PYTHONPATH="$site" "$py" -P -c '
import sys, dithering
assert dithering.__file__.startswith(sys.argv[1]), dithering.__file__
print("dithering (clang) from", dithering.__file__)' "$site"
PYTHONPATH="$site" "$tools/run-pytest.sh" "$py" -- -q "$@"
