#!/usr/bin/env bash
# Usage: check-wheel.sh [--glibc X.Y] WHEEL...
# The checks every Linux wheel passes before it ships, whoever built it:
# `make wheels` (tools/wheels.sh) and cibuildwheel in CI
# (.github/workflows/wheels.yml), both through repair-wheel-command in
# pyproject.toml, after `auditwheel repair`. For each repaired wheel:
#  - with --glibc, its manylinux tag is manylinux_X_Y: the wheel installs
#    wherever that glibc is (auditwheel tags a wheel with the oldest policy
#    it meets, so a build that let a newer glibc symbol in fails here);
#  - `auditwheel show` finds it consistent with the manylinux tag in its
#    own file name, so the tag is no promise the wheel breaks;
#  - each extension module (dithering, dithering_tools._native) exports its
#    PyInit_ function and nothing else: the C++ library linked into it must
#    neither bind to another module's symbols nor be bound by them;
#  - no fused multiply-add in any module (tools/check-no-fma.sh): a fused
#    a*b+c rounds once, not twice, and would change the pixels on the
#    machines that take that path.
# Prints one line per wheel saying what was found; fails at the first wheel
# that breaks a check. Needs auditwheel on PATH (the manylinux images have
# it; tools/wheels.sh puts its build venv's first), nm and objdump (the
# cross objdump for an aarch64 wheel on x86-64).
set -euo pipefail
shopt -s inherit_errexit
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

glibc=
if [[ ${1:-} == --glibc ]]; then
  glibc=${2:-}
  [[ $glibc =~ ^[0-9]+\.[0-9]+$ ]] || die "check-wheel.sh: --glibc takes X.Y, not '$glibc'"
  shift 2
fi
(($# > 0)) || die "usage: check-wheel.sh [--glibc X.Y] WHEEL..."
python=$(command -v python3 || command -v python) || die "no python to unpack a wheel with"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT

for wheel in "$@"; do
  [[ -f $wheel ]] || die "no wheel $wheel"
  name=${wheel##*/}
  # The platform tags are the file name's last field (a compressed set:
  # manylinux_2_17_x86_64.manylinux2014_x86_64); the PEP 600 one is checked.
  plat=${name%.whl}
  plat=${plat##*-}
  plat=$(tr . '\n' <<<"$plat" | grep -m1 -E '^manylinux_[0-9]+_[0-9]+_') ||
    die "$name carries no manylinux_X_Y tag: was it repaired?"
  [[ -z $glibc || $plat == "manylinux_${glibc/./_}_"* ]] ||
    die "$name is tagged $plat, not manylinux_${glibc/./_} (glibc $glibc): was it built with tools/zig-wheel-toolchain.sh?"
  shown=$(auditwheel show "$wheel" 2>&1 | tr -s '\n ' '  ')
  [[ $shown == *"is consistent with the following platform tag: \"$plat\""* ]] ||
    die "auditwheel show $name: $shown"
  verdict="auditwheel show: consistent with \"$plat\"; exports:"
  # The modules as shipped (stripped: a finding names the nearest exported
  # symbol only; the build tree's copy names the function).
  rm -rf "${unpacked:?}"/*
  "$python" -m zipfile -e "$wheel" "$unpacked"
  modules=()
  while read -r module; do
    modules+=("$module")
    exports=$(nm -D --defined-only "$module" | awk '{ print $NF }')
    short=${module#"$unpacked/"}
    [[ $exports == "PyInit_$(basename "${short%%.*}")" ]] ||
      die "$short in $name exports other than its PyInit_ function:" $exports
    verdict+=" $short: $exports;"
  done < <(find "$unpacked" -name '*.so' | sort)
  [[ $verdict == *dithering.*PyInit_dithering* && $verdict == *_native.*PyInit__native* ]] ||
    die "$name lacks the dithering or the _native module"
  "$REPO_ROOT/tools/check-no-fma.sh" "${modules[@]}" >&2
  printf '%s: %s\n' "$name" "$verdict"
done
