#!/usr/bin/env bash
# Usage: venv.sh PYTHON
# Ensure the cached venv for interpreter PYTHON holds pyproject.toml's "dev"
# dependency group (and, where they install, requirements-dask.txt); print
# its directory.
# Keyed by version+abiflags (venv-cp313t, venv-cp311).
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

py=${1:?usage: venv.sh PYTHON}
read -r tag exe version < <("$py" -c '
import os, sys
v = sys.version_info
print(f"cp{v[0]}{v[1]}{sys.abiflags}", os.path.realpath(sys.executable), sys.version.split()[0])')
venv="$CACHE_DIR/venv-$tag"
dask_reqs="$REPO_ROOT/tools/requirements-dask.txt"
# Which interpreter the venv was made from, and what was installed into it.
want_base="$exe $version"
want_reqs=$({ dependency_group dev; cat "$dask_reqs" "${BASH_SOURCE[0]}"; } | sha256sum | cut -d' ' -f1)

if [[ $(cat "$venv/.base" 2>/dev/null) == "$want_base" &&
      $(cat "$venv/.reqs" 2>/dev/null) == "$want_reqs" ]]; then
  echo "$venv"; exit 0
fi

lock "venv-$tag"
if [[ $(cat "$venv/.base" 2>/dev/null) != "$want_base" ]]; then
  log "creating $venv from $exe"
  rm -rf "$venv"
  "$exe" -m venv "$venv"
  echo "$want_base" >"$venv/.base"
fi
if [[ $(cat "$venv/.reqs" 2>/dev/null) != "$want_reqs" ]]; then
  log "installing the dev dependency group into $venv"
  rm -f "$venv/.reqs"
  pip=("$venv/bin/python" -m pip install -q --only-binary=:all:)
  "${pip[@]}" --upgrade pip
  # pip 25.1 reads dependency groups; the upgrade above brings one that does.
  "${pip[@]}" --group "$REPO_ROOT/pyproject.toml:dev"
  # Optional: scikit-build-core uses ninja when present, else make.
  "${pip[@]}" ninja 2>/dev/null || log "no ninja wheel for $tag; CMake will use make"
  # Optional too: wheels preferred, but a dependency without a wheel for
  # this interpreter may build from source (never numpy or Pillow). Without
  # them tests/test_dask.py is skipped, and says so.
  "$venv/bin/python" -m pip install -q --prefer-binary --only-binary=numpy,pillow \
    -r "$dask_reqs" || log "Dask did not install for $tag; its tests will be skipped"
  echo "$want_reqs" >"$venv/.reqs"
fi
echo "$venv"
