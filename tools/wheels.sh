#!/usr/bin/env bash
# Usage: tools/wheels.sh
# Build the release files into dist/: the sdist, and a manylinux2014 wheel
# (glibc 2.17 and nothing newer) for every interpreter the test lanes have,
# each with its own folder under build/release:
#   cp311    the machine's python3, x86-64
#   cp313t   free-threaded CPython 3.13 (tools/ft-python.sh), x86-64
#   sid      CPython 3.14 of the sid root (tools/sid-root.sh), x86-64
#   arm64    CPython 3.14 of the arm64 root (tools/arm64-root.sh), aarch64
# Every wheel is built and checked by the recipe CI's cibuildwheel follows,
# [tool.cibuildwheel.linux] in pyproject.toml: compiled by zig's clang
# aimed at glibc 2.17, zig's libc++ linked in and every symbol but its
# PyInit_ function kept inside each extension module (dithering,
# dithering_tools._native; tools/zig-wheel-toolchain.sh); the host wheels
# run its before-build and config-settings as they stand, the two 3.14 ones
# are built on this machine against their root's headers with the same
# toolchain (tools/root-wheel.sh). Each wheel then goes through its
# repair-wheel-command: `auditwheel repair` tags it manylinux2014, and
# tools/check-wheel.sh holds it to that tag (`auditwheel show`), to each
# module's one export and to no fused multiply-add. Each is tested where it
# runs here, installed into a new venv holding the test dependency group:
# the whole suite for the x86-64 ones (3.14 inside the sid root), the tests
# that compare pixels for aarch64 (inside the arm64 root, under emulation).
# A wheel that fails to build or a check stops the run; every test run
# happens, and the status is non-zero if any failed. The last lines printed
# are a summary per wheel.
set -euo pipefail
shopt -s inherit_errexit   # a failure inside $(...) fails the assignment too
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
started=$SECONDS

tools="$REPO_ROOT/tools"
work="$REPO_ROOT/build/release"
dist="$REPO_ROOT/dist"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
# nm, strip and objdump for x86-64 and aarch64; the cross compiler for the
# FMA checker's self-test on aarch64.
apt_install binutils binutils-aarch64-linux-gnu g++-aarch64-linux-gnu
mkdir -p "$work" "$dist"
rm -f "$dist"/"$DIST_STEM"-*.whl "$dist"/"$DIST_STEM"-*.tar.gz

# Usage: new_venv DIR PYTHON PIP-INSTALL-ARGS...
# A new venv at DIR made by PYTHON, holding what the pip install arguments
# name (a requirements file, a dependency group), wheels only.
new_venv() {
  rm -rf "$1"
  "$2" -m venv "$1"
  # pip 25.1 reads dependency groups.
  run_logged "$1.log" "$1/bin/python" -m pip install --only-binary=:all: --upgrade pip
  run_logged "$1.log" "$1/bin/python" -m pip install --only-binary=:all: "${@:3}"
}

# The build tools go into a venv of each host interpreter's own.
declare -A host_python=([cp311]=${GIL_PYTHON:-python3})
host_python[cp313t]=$("$tools/ft-python.sh")
for tag in cp311 cp313t; do
  log "a venv with the build tools for $tag (${host_python[$tag]})"
  new_venv "$work/build-venv-$tag" "${host_python[$tag]}" -r "$tools/requirements-wheels.txt"
done
tools_py="$work/build-venv-cp311/bin/python"   # runs zig, auditwheel, build
# What CI would build from [tool.cibuildwheel] (.github/workflows/wheels.yml,
# each runner its own processor's); cibuildwheel reads the settings and
# fails on a wrong one, but builds nothing here: on Linux that needs Docker.
cibuildwheel_ids=()
for platform in linux:x86_64,aarch64 macos:x86_64,arm64 windows:AMD64; do
  cibuildwheel_ids+=("${platform%%:*}: $(cd "$REPO_ROOT" && "$work/build-venv-cp311/bin/cibuildwheel" \
    --print-build-identifiers --platform "${platform%%:*}" --archs "${platform#*:}" | tr '\n' ' ')")
done
# The checker must catch each architecture's fused forms before it may pass
# a module.
"$tools/check-no-fma.sh" --self-test x86_64 aarch64

# Every Linux wheel is compiled as CI's cibuildwheel compiles it: zig aimed
# at glibc 2.17, its libc++ linked in, one export per module
# (tools/zig-wheel-toolchain.sh, the before-build of [tool.cibuildwheel.linux]
# in pyproject.toml), one toolchain per architecture.
for arch in x86_64 aarch64; do
  "$tools/zig-wheel-toolchain.sh" "$work/zig-$arch" "$arch" "$tools_py"
done

# Usage: zig_for ARCH
# Sets zig_settings to pip wheel's settings for building with zig for ARCH
# (x86_64 or aarch64): the one CI's config-settings names.
zig_for() {
  zig_settings=(-C "cmake.args=-C$work/zig-$1/zig.cmake")
}

# What each wheel came to, for the summary at the end: its file, the
# verdicts, pytest's last line.
declare -A made=() verdict=() tested=()
failed=()

# Usage: cibuildwheel_linux KEY
# Prints the setting KEY of [tool.cibuildwheel.linux] in pyproject.toml (a
# table as one KEY=VALUE line per entry): what CI runs, run here as it is.
cibuildwheel_linux() {
  "$tools_py" - "$REPO_ROOT/pyproject.toml" "$1" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    value = tomllib.load(f)["tool"]["cibuildwheel"]["linux"][sys.argv[2]]
print("\n".join(f"{k}={v}" for k, v in value.items()) if isinstance(value, dict) else value)
PY
}

# Usage: check_wheel NAME ARCH
# Repair and check the one wheel in $work/NAME/linux (for ARCH) by CI's
# repair-wheel-command, which tags it manylinux_2_17 and runs
# tools/check-wheel.sh; the repaired wheel goes into dist/ and made[NAME]
# is then its path.
check_wheel() {
  local name=$1 arch=$2 raw repaired command
  raw=$(compgen -G "$work/$name/linux/$DIST_STEM-*.whl") && [[ $(wc -l <<<"$raw") == 1 ]] ||
    die "expected one wheel in $work/$name/linux"
  rm -rf "$work/$name/repaired"
  mkdir -p "$work/$name/repaired"
  command=$(cibuildwheel_linux repair-wheel-command)
  command=${command//\{dest_dir\}/$(printf %q "$work/$name/repaired")}
  command=${command//\{wheel\}/$(printf %q "$raw")}
  command=${command//\{project\}/$(printf %q "$REPO_ROOT")}
  # auditwheel from the build venv; the last line is check-wheel.sh's verdict.
  verdict[$name]=$(cd "$REPO_ROOT" && PATH="$(dirname "$tools_py"):$PATH" bash -c "$command" 2>"$work/$name/repair.log") ||
    { tail -n 40 "$work/$name/repair.log" >&2; die "repair-wheel-command failed for $raw"; }
  verdict[$name]=$(tail -n 1 <<<"${verdict[$name]}")
  verdict[$name]=${verdict[$name]#*: }
  repaired=$(compgen -G "$work/$name/repaired/$DIST_STEM-*manylinux_2_17_$arch*.whl") ||
    die "auditwheel made no manylinux_2_17_$arch wheel of $raw"
  cp "$repaired" "$dist/"
  made[$name]="$dist/$(basename "$repaired")"
}

# Usage: run_tests NAME COMMAND...
# Run pytest with COMMAND (an interpreter, then pytest's arguments) from
# this checkout, with -P so that the tests import the installed wheel, never
# the sources; the output goes to $work/NAME/pytest.log. A failure is
# counted, not fatal.
run_tests() {
  local name=$1 rc=0; shift
  log "testing ${made[$name]##*/}"
  (cd "$REPO_ROOT" && "$@") >"$work/$name/pytest.log" 2>&1 || rc=$?
  tested[$name]=$(tail -n 1 "$work/$name/pytest.log" | sed -E 's/^=+ //; s/ =+$//')
  log "${tested[$name]}"
  ((rc == 0)) || failed+=("$name")
}

# Usage: test_in_root NAME ROOT [PYTEST ARGS...]
# Install the wheel into a new venv over the root's (sid or arm64) system
# packages, as its /opt/lane was made, offline (the root's own NumPy meets
# the wheel's requirement), and test it there.
test_in_root() {
  local name=$1 run="$tools/$2-run.sh" venv="$work/$1/test-venv"; shift 2
  rm -rf "$venv"
  "$run" python3 -m venv --system-site-packages --without-pip "$venv"
  run_logged "$venv.log" "$run" "$venv/bin/python" -m pip install --no-index "${made[$name]}"
  run_tests "$name" "$run" "$venv/bin/python" -P -m pytest "$@"
}

for tag in cp311 cp313t; do
  log "building the $tag wheel with zig"
  venv="$work/build-venv-$tag"
  mkdir -p "$work/$tag"
  fresh_build_tree "$work/$tag/build" "$("$venv/bin/python" -c 'import sys; print(sys.executable, sys.version)')"
  rm -rf "$work/$tag/linux"
  # CI's before-build and config-settings, with this venv's python first on
  # PATH as cibuildwheel puts the build's.
  (cd "$REPO_ROOT" && PATH="$venv/bin:$PATH" run_logged "$work/$tag/before-build.log" \
    bash -c "$(cibuildwheel_linux before-build)")
  settings=()
  while read -r setting; do settings+=(-C "$setting"); done < <(cibuildwheel_linux config-settings)
  run_logged "$work/$tag/build.log" \
    "$venv/bin/python" -m pip wheel -v --no-build-isolation --no-deps -w "$work/$tag/linux" \
      -C build-dir="$work/$tag/build" -C cmake.define.DITHERING_WERROR=ON "${settings[@]}" "$REPO_ROOT"
  check_wheel "$tag" x86_64
done
for root in sid arm64; do
  arch=x86_64
  [[ $root == arm64 ]] && arch=aarch64
  log "building the $root root's wheel with zig"
  mkdir -p "$work/$root"
  zig_for "$arch"
  "$tools/root-wheel.sh" "$root" "$tools_py" "$work/$root/build" "$work/$root/linux" "${zig_settings[@]}"
  check_wheel "$root" "$arch"
done

log "building the sdist"
"$tools/check-sdist.sh" "$tools_py"
cp "$REPO_ROOT"/build/sdist/"$DIST_STEM"-*.tar.gz "$dist/"

# The host wheels in new venvs holding the test requirements and nothing
# else; the console script comes with the wheel (tests/test_cli.py runs it).
for tag in cp311 cp313t; do
  venv="$work/$tag/test-venv"
  # The test dependency group, as cibuildwheel's test-groups installs it.
  new_venv "$venv" "${host_python[$tag]}" --group "$REPO_ROOT/pyproject.toml:test"
  run_logged "$venv.log" "$venv/bin/python" -m pip install --only-binary=:all: "${made[$tag]}"
  run_tests "$tag" "$venv/bin/python" -P -m pytest
done
test_in_root sid sid
test_in_root arm64 arm64 "${arm64_tests[@]}"

printf '\n===== release files in %s (%d s) =====\n' "$dist" "$((SECONDS - started))"
for name in cp311 cp313t sid arm64; do
  printf '%s\n  %s\n  pytest: %s\n' "${made[$name]##*/}" "${verdict[$name]}" "${tested[$name]}"
done
for f in "$dist"/"$DIST_STEM"-*.tar.gz; do printf '%s\n' "${f##*/}"; done
printf 'cibuildwheel in CI would build (not run here):\n'
printf '  %s\n' "${cibuildwheel_ids[@]}"
((${#failed[@]} == 0)) || die "tests failed for: ${failed[*]}"
