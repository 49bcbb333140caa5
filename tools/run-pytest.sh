#!/usr/bin/env bash
# Usage: run-pytest.sh PYTHON [ARGS...] -- [PYTEST ARGS...]
# Run pytest in a lane's interpreter (PYTHON ARGS... is the command that runs
# it) on every core: the tests that may share the machine first, spread over
# PYTEST_WORKERS processes by pytest-xdist (default: one per core), then the
# ones marked `serial` (those that time how fast a batch in flight stops on
# a signal) one at a time, on a machine that runs nothing else of this lane.
# PYTEST_WORKERS=0 runs everything in one process, as plain pytest would.
# The exit status is non-zero if either run failed; a selection that leaves
# one of the two runs nothing to collect is not a failure.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

py=()
while (($#)) && [[ $1 != -- ]]; do py+=("$1"); shift; done
(($#)) || die "usage: run-pytest.sh PYTHON [ARGS...] -- [PYTEST ARGS...]"
shift
((${#py[@]})) || die "usage: run-pytest.sh PYTHON [ARGS...] -- [PYTEST ARGS...]"
workers=${PYTEST_WORKERS:-$(nproc)}
[[ $workers =~ ^[0-9]+$ ]] || die "PYTEST_WORKERS must be a whole number"

cd "$REPO_ROOT"
# -P keeps the repo root off sys.path, so tests import the installed wheel.
if ((workers < 2)); then
  exec "${py[@]}" -P -m pytest "$@"
fi
# A selection of test files none of which marks a test `serial` needs no
# second run (which would import them all again: a minute under emulation).
files=() serial=1
for arg in "$@"; do
  [[ $arg == tests/*.py || $arg == tests/*.py::* ]] && files+=("${arg%%::*}")
done
if ((${#files[@]})) && ! grep -qs 'mark\.serial' "${files[@]}"; then serial=0; fi
# Exit 5: nothing was collected, i.e. the selection holds no test of that kind.
rc=0
"${py[@]}" -P -m pytest -n "$workers" -m "not serial" "$@" || rc=$?
((rc == 5)) && rc=0
serial_rc=0
if ((serial)); then
  "${py[@]}" -P -m pytest -m serial "$@" || serial_rc=$?
  ((serial_rc == 5)) && serial_rc=0
fi
((rc != 0)) && exit "$rc"
exit "$serial_rc"
