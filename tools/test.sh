#!/usr/bin/env bash
# Check the C++ core and the source distribution, then build a wheel and run
# the whole pytest suite against it in four lanes: free-threaded CPython,
# CPython 3.14 in a Debian unstable root, the same on 64-bit ARM (an arm64
# root under emulation, built with a cross compiler, its own C++ core tests
# first), and the machine's ordinary python3; between the last two, a clang
# lane (tools/clang-lane.sh) builds everything with clang. Every lane always
# runs; the exit status is non-zero if any failed. The last line printed is pytest's
# own summary of the last lane.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tools="$REPO_ROOT/tools"
failed=()
stage_times_begin

# The arm64 root takes a quarter of an hour to make under emulation on a new
# machine, almost all of it on one core: made in the background from the
# start, beside lanes that mostly use one core too, it is usually ready by
# the arm64 lane, which waits for it (tools/arm64-root.sh holds a lock while
# it builds) or, if this attempt failed, makes it again and shows why.
timed "arm64 root (background)" "$tools/arm64-root.sh" >"$CACHE_DIR/arm64-root-background.log" 2>&1 &

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

# The arm64 lane runs the tests that compare pixels only (arm64_tests in
# tools/common.sh says which and why).
# The clang lane builds with Debian's newest clang (macOS has only clang):
# the core and its aarch64 cross build, a wheel for the ordinary python3 and
# the same pixel-comparing tests as the arm64 lane, and the core compiled
# for Windows and macOS (tools/clang-lane.sh).
lanes=(free-threaded cpython-3.14 arm64 clang gil)
for name in "${lanes[@]}"; do
  rc=0
  printf '\n===== %s lane =====\n' "$name"
  # py: the command that runs the lane's interpreter; install: what builds
  # the wheel and installs it there (by default install-ext.sh with the
  # lane's interpreter, into build/TAG); tests: pytest's selection (all).
  install=() tests=()
  start=$(date +%s)
  case $name in
    free-threaded)
      venv=$("$tools/venv.sh" "$("$tools/ft-python.sh")") &&
        py=("$venv/bin/python") && tag=${venv##*/venv-} || rc=$? ;;
    cpython-3.14)
      py=("$tools/sid-run.sh" /opt/lane/bin/python) &&
        tag=sid-$("${py[@]}" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}")') ||
        rc=$? ;;
    arm64)
      py=("$tools/arm64-run.sh" /opt/lane/bin/python) && install=("$tools/arm64-install.sh") &&
        tests=("${arm64_tests[@]}") ;;
    clang)
      py=("$gil_venv/bin/python") && install=(true) && tests=("${arm64_tests[@]}") ;;
    gil)
      py=("$gil_venv/bin/python") && tag=${gil_venv##*/venv-} ;;
  esac
  stage_record "$name: interpreter" "$start" "$rc"
  if ((rc == 0)); then
    ((${#install[@]})) || install=("$tools/install-ext.sh" "$tag" "${py[@]}")
    timed "$name: build and install" "${install[@]}" || rc=$?
  fi
  if ((rc == 0)) && [[ $name == clang ]]; then
    timed "$name: builds and tests" "$tools/clang-lane.sh" "${py[@]}" "${tests[@]}" || rc=$?
  elif ((rc == 0)); then
    cd "$REPO_ROOT"
    # -P keeps the repo root off sys.path, so tests import the installed wheel.
    "${py[@]}" -P -c 'import sys, dithering
print("dithering", getattr(dithering, "__version__", "?"), "on Python", sys.version.split()[0] + sys.abiflags,
      sys.executable, "| GIL enabled after import:", getattr(sys, "_is_gil_enabled", lambda: True)())' || true
    timed "$name: pytest" "${py[@]}" -P -m pytest ${tests[@]+"${tests[@]}"} || rc=$?
  fi
  if ((rc != 0)); then
    failed+=("$name")
    # Said now, not at the end, so pytest's summary stays the last line.
    [[ $name != "${lanes[-1]}" ]] && printf '===== %s lane FAILED (exit %d) =====\n' "$name" "$rc"
  fi
done

wait  # the background root, long done unless the arm64 lane never ran
stage_times_end
((${#failed[@]} == 0))
