#!/usr/bin/env bash
# Usage: lane.sh free-threaded|cpython-3.14|arm64|clang|gil
# One test lane of tools/test.sh: its interpreter (made or fetched once and
# cached), a wheel of this checkout built and installed there, then pytest
# against that wheel on every core (tools/run-pytest.sh):
#   free-threaded  free-threaded CPython (tools/ft-python.sh), the whole suite
#   cpython-3.14   CPython 3.14 in a Debian unstable root, the whole suite
#   arm64          CPython 3.14 on 64-bit ARM, an arm64 root under emulation,
#                  cross-built (tools/arm64-install.sh: its C++ core tests
#                  first), the tests that compare pixels (arm64_tests)
#   clang          everything built by clang (tools/clang-lane.sh), the same
#                  tests as arm64
#   gil            the machine's ordinary python3, the whole suite
# Each part's time goes to the stage table. Fails on the first part that
# fails.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

name=${1:?usage: lane.sh free-threaded|cpython-3.14|arm64|clang|gil}
tools="$REPO_ROOT/tools"
# py: the command that runs the lane's interpreter; install: what builds the
# wheel and installs it there (by default install-ext.sh with the lane's
# interpreter, into build/TAG); tests: pytest's selection (all).
install=() tests=()
start=$(date +%s)
case $name in
  free-threaded)
    venv=$("$tools/venv.sh" "$("$tools/ft-python.sh")")
    py=("$venv/bin/python") tag=${venv##*/venv-} ;;
  cpython-3.14)
    py=("$tools/sid-run.sh" /opt/lane/bin/python)
    tag=sid-$("${py[@]}" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}")') ;;
  arm64)
    "$tools/arm64-root.sh" >/dev/null
    py=("$tools/arm64-run.sh" /opt/lane/bin/python) install=("$tools/arm64-install.sh")
    tests=("${arm64_tests[@]}") ;;
  clang)
    venv=$("$tools/venv.sh" "${GIL_PYTHON:-python3}")
    py=("$venv/bin/python") install=(true) tests=("${arm64_tests[@]}") ;;
  gil)
    venv=$("$tools/venv.sh" "${GIL_PYTHON:-python3}")
    py=("$venv/bin/python") tag=${venv##*/venv-} ;;
  *) die "no lane '$name'" ;;
esac
stage_record "$name: interpreter" "$start" 0

if [[ $name == clang ]]; then
  timed "$name: builds and tests" "$tools/clang-lane.sh" "${py[@]}" "${tests[@]}"
  exit
fi
((${#install[@]})) || install=("$tools/install-ext.sh" "$tag" "${py[@]}")
timed "$name: build and install" "${install[@]}"
cd "$REPO_ROOT"
# -P keeps the repo root off sys.path, so this imports the installed wheel.
"${py[@]}" -P -c 'import sys, dithering
print("dithering", getattr(dithering, "__version__", "?"), "on Python", sys.version.split()[0] + sys.abiflags,
      sys.executable, "| GIL enabled after import:", getattr(sys, "_is_gil_enabled", lambda: True)())' || true
timed "$name: pytest" "$tools/run-pytest.sh" "${py[@]}" -- ${tests[@]+"${tests[@]}"}
