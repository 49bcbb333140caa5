#!/usr/bin/env bash
# Build the extension and run the whole pytest suite under a free-threaded
# CPython, then under the machine's ordinary python3. Both lanes always run;
# the exit status is non-zero if either failed. The last line printed is
# pytest's own summary of the last lane.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tools="$REPO_ROOT/tools"
failed=()

# The C++ core on its own, warnings as errors, before any interpreter: its
# tests compare every fast path with the plain arithmetic.
printf '\n===== core lane: C++ core tests =====\n'
gil_venv=$("$tools/venv.sh" "${GIL_PYTHON:-python3}")
if ! { "$gil_venv/bin/cmake" -S "$REPO_ROOT" -B "$REPO_ROOT/build/core" \
         -DCMAKE_BUILD_TYPE=Release -DDITHERING_CORE_TESTS=ON \
         -DDITHERING_PYTHON_MODULE=OFF -DDITHERING_WERROR=ON >/dev/null &&
       "$gil_venv/bin/cmake" --build "$REPO_ROOT/build/core" -j "$(nproc)" >/dev/null &&
       "$REPO_ROOT/build/core/core_tests" | tail -n 1; }; then
  failed+=(core)
  printf '===== core lane FAILED =====\n'
fi

for name in free-threaded gil; do
  rc=0
  case $name in
    free-threaded) py=$("$tools/ft-python.sh") || rc=$? ;;
    gil) py=${GIL_PYTHON:-python3} ;;
  esac
  printf '\n===== %s lane: %s =====\n' "$name" "$py"
  ((rc == 0)) && { venv=$("$tools/venv.sh" "$py") && "$tools/install-ext.sh" "$venv" || rc=$?; }
  if ((rc == 0)); then
    cd "$REPO_ROOT"
    # -P keeps the repo root off sys.path, so tests import the installed module.
    "$venv/bin/python" -P -c 'import sys, dithering
print("dithering", getattr(dithering, "__version__", "?"), "on Python", sys.version.split()[0] + sys.abiflags,
      "| GIL enabled after import:", getattr(sys, "_is_gil_enabled", lambda: True)())' || true
    "$venv/bin/python" -P -m pytest || rc=$?
  fi
  if ((rc != 0)); then
    failed+=("$name")
    # Said now, not at the end, so pytest's summary stays the last line.
    [[ $name != gil ]] && printf '===== %s lane FAILED (exit %d) =====\n' "$name" "$rc"
  fi
done

((${#failed[@]} == 0))
