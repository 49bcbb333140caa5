#!/usr/bin/env bash
# Usage: zig-wheel-toolchain.sh DIR ARCH [PYTHON]
# How every Linux release wheel is compiled, wherever it is built: by
# `make wheels` here (tools/wheels.sh) and by cibuildwheel in CI
# (before-build and config-settings in pyproject.toml). Writes into DIR:
#  - c++, ar, ranlib: zig (from the ziglang package of PYTHON, default the
#    `python` on PATH; tools/requirements-zig.txt pins it) aimed at
#    ARCH-linux-gnu.2.17 (ARCH x86_64 or aarch64). zig carries the headers
#    and symbol versions of every glibc, so what it links needs nothing newer
#    than 2.17, whatever the machine or container building it has;
#  - exports.map: a linker version script leaving each extension module one
#    export, its PyInit_ function. zig's libc++ is linked in, and none of its
#    symbols (operator new and delete among them) may bind to another
#    module's or be bound by one;
#  - zig.cmake: CMake's initial cache naming all of the above and binutils'
#    strip for ARCH (scikit-build-core strips a release build), given to the
#    build as the scikit-build-core setting cmake.args=-CDIR/zig.cmake.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

(($# == 2 || $# == 3)) || die "usage: zig-wheel-toolchain.sh DIR ARCH [PYTHON]"
dir=$1 arch=$2
python=$(command -v "${3:-python}") || die "no interpreter ${3:-python}"
[[ $arch == x86_64 || $arch == aarch64 ]] || die "zig-wheel-toolchain.sh: no wheels for $arch"
strip=strip
[[ $arch == "$(uname -m)" ]] || strip=$arch-linux-gnu-strip
strip=$(command -v "$strip") || die "no $strip (binutils for $arch)"

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
zig_toolchain "$dir" "$python" "$arch-linux-gnu.2.17"
printf '{\n  global: PyInit_*;\n  local: *;\n};\n' >"$dir/exports.map"
cat >"$dir/zig.cmake" <<EOF
set(CMAKE_CXX_COMPILER "$dir/c++" CACHE FILEPATH "zig for $arch, glibc 2.17")
set(CMAKE_AR "$dir/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/ranlib" CACHE FILEPATH "")
set(CMAKE_STRIP "$strip" CACHE FILEPATH "")
set(CMAKE_MODULE_LINKER_FLAGS "-Wl,--version-script=$dir/exports.map" CACHE STRING "")
EOF
