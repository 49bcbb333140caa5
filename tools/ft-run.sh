#!/usr/bin/env bash
# Usage: ft-run.sh COMMAND [ARGS...]
# Run COMMAND from the repo root inside the free-threaded venv, with the
# extension freshly installed ("python" is the venv's).
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tools="$REPO_ROOT/tools"
venv=$("$tools/venv.sh" "$("$tools/ft-python.sh")")
"$tools/install-ext.sh" "${venv##*/venv-}" "$venv/bin/python"
cd "$REPO_ROOT"
export VIRTUAL_ENV="$venv" PATH="$venv/bin:$PATH"
exec "$@"
