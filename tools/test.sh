#!/usr/bin/env bash
# Check the C++ core and the source distribution, then build a wheel and run
# the whole pytest suite against it in four lanes: free-threaded CPython,
# CPython 3.14 in a Debian unstable root, the same on 64-bit ARM (an arm64
# root under emulation, built with a cross compiler, its own C++ core tests
# first), and the machine's ordinary python3; between the last two, a clang
# lane (tools/clang-lane.sh) builds everything with clang. Then the linters,
# repo-review, the type checks and the documentation (tools/lint.sh,
# tools/typecheck.sh, tools/docs.sh). Every lane always
# runs; the exit status is non-zero if any failed. The last line printed is pytest's
# own summary of the last lane.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tools="$REPO_ROOT/tools"
failed=()
stage_times_begin

# Every C++ build of every lane through the compiler cache.
use_compiler_cache

# The arm64 lane spends most of its time under emulation on one core: the
# root, a quarter of an hour to make on a new machine, then the tests.
# Started first, in the background, it runs beside the x86-64 lanes (whose
# tests take both cores when it leaves them one); its log is shown after
# theirs. The first thing it needs from the others (the ordinary python3's
# venv, for CMake) waits on that venv's lock.
mkdir -p "$REPO_ROOT/build"
arm64_log="$REPO_ROOT/build/arm64-lane.log"
"$tools/lane.sh" arm64 >"$arm64_log" 2>&1 &
arm64_pid=$!

# The C++ core on its own, warnings as errors, before any interpreter: its
# tests compare every fast path with the plain arithmetic; every include in
# it points down its layers (tools/check-core-layers.py). Then no fused
# multiply-add may be in what was built (the checker first proves it can
# catch one): the tests only compare the paths this machine takes, and a
# contraction the plain code shares would pass them.
printf '\n===== core lane: C++ core tests =====\n'
start=$(date +%s) rc=0
# First the cache locks every setup script takes: one that waited on itself
# would hang this run on a machine where nothing is installed yet.
"$tools/check-locks.sh" || { failed+=(locks); printf '===== cache locks FAILED =====\n'; }
gil_venv=$("$tools/venv.sh" "${GIL_PYTHON:-python3}")
core="$REPO_ROOT/build/core"
if ! { "$gil_venv/bin/cmake" -S "$REPO_ROOT" -B "$core" \
         -DCMAKE_BUILD_TYPE=Release -DDITHERING_CORE_TESTS=ON \
         -DDITHERING_PYTHON_MODULE=OFF -DDITHERING_WERROR=ON >/dev/null &&
       "$gil_venv/bin/cmake" --build "$core" -j "$(nproc)" >/dev/null &&
       "$core/core_tests" | tail -n 1 &&
       # Again with the production routes capped, as on processors
       # without the wider instruction sets.
       "$core/core_tests" --isa=vec128 | tail -n 1 | sed 's/^/--isa=vec128: /' &&
       "$core/core_tests" --isa=portable | tail -n 1 | sed 's/^/--isa=portable: /' &&
       "$gil_venv/bin/python" "$tools/check-core-layers.py" &&
       "$tools/check-no-fma.sh" --self-test &&
       "$tools/check-no-fma.sh" "$core/libdithering_core.a" "$core/core_tests" "$core/core_bench" &&
       # Again with the portable form of the vector type, which processors
       # other than x86 and aarch64 build, against the same plain arithmetic.
       "$gil_venv/bin/cmake" -S "$REPO_ROOT" -B "$core-portable" \
         -DCMAKE_BUILD_TYPE=Release -DDITHERING_CORE_TESTS=ON -DDITHERING_PORTABLE_VECTORS=ON \
         -DDITHERING_PYTHON_MODULE=OFF -DDITHERING_WERROR=ON >/dev/null &&
       "$gil_venv/bin/cmake" --build "$core-portable" -j "$(nproc)" --target core_tests >/dev/null &&
       "$core-portable/core_tests" | tail -n 1; }; then
  failed+=(core) rc=1
  printf '===== core lane FAILED =====\n'
fi
stage_record "core lane (venv, two builds, tests)" "$start" "$rc"

printf '\n===== sdist: source distribution =====\n'
if ! timed "sdist" "$tools/check-sdist.sh" "$gil_venv/bin/python"; then
  failed+=(sdist)
  printf '===== sdist FAILED =====\n'
fi

# The lanes, each in tools/lane.sh. The arm64 lane (the tests that compare
# pixels, arm64_tests in tools/common.sh says which and why) runs under
# emulation from the start, beside the others; the clang lane builds with
# Debian's newest clang (macOS has only clang): the core and its aarch64
# cross build, a wheel for the ordinary python3 and the same tests as the
# arm64 lane, and the core compiled for Windows and macOS
# (tools/clang-lane.sh).
lanes=(free-threaded cpython-3.14 clang gil)
for name in "${lanes[@]}"; do
  rc=0
  printf '\n===== %s lane =====\n' "$name"
  "$tools/lane.sh" "$name" || rc=$?
  if ((rc != 0)); then
    failed+=("$name")
    printf '===== %s lane FAILED (exit %d) =====\n' "$name" "$rc"
  fi
done

# The package as its users and packagers see it: the commit hooks' checks
# and repo-review's (tools/lint.sh), then the types a user's checker gets:
# stubtest against the installed modules, mypy --strict on the package and
# on a typed user script (tools/typecheck.sh), and the documentation built
# with warnings as errors (tools/docs.sh); the last two after the gil lane,
# whose build tree and venv they share.
for check in lint typecheck docs; do
  printf '\n===== %s =====\n' "$check"
  if ! timed "$check" "$tools/$check.sh"; then
    failed+=("$check")
    printf '===== %s FAILED =====\n' "$check"
  fi
done

printf '\n===== arm64 lane (run beside the others; its log follows) =====\n'
rc=0
wait "$arm64_pid" || rc=$?
cat "$arm64_log"
if ((rc != 0)); then
  failed+=(arm64)
  printf '===== arm64 lane FAILED (exit %d) =====\n' "$rc"
fi

stage_times_end
if ((${#failed[@]})); then
  printf '===== make test FAILED: %s =====\n' "${failed[*]}"
  exit 1
fi
printf '===== make test: every lane passed =====\n'
