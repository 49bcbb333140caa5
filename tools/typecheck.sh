#!/usr/bin/env bash
# Usage: typecheck.sh
# The types a user's type checker sees, checked against what the user gets.
# A wheel of this checkout is built and installed into the ordinary
# python3's venv (as the gil lane does; the build tree is the same, so after
# that lane this is a relink at most), then:
#   - the wheel holds the package's py.typed and its native module's stub;
#   - stubtest: the extension's stub (the wheel's dithering-stubs) and
#     dithering_tools' annotations against the installed modules, so that
#     no name is typed that the module lacks (tests/typing/
#     stubtest-allowlist.txt says why for each exception);
#   - mypy on the package itself, with pyproject.toml's [tool.mypy];
#   - tests/test_typing.py: mypy --strict on a user's script
#     (tests/typing/typed_usage.py) against the installed wheel, its
#     revealed types, and arrays typed as arrays where Pillow is missing.
# Fails on the first check that fails.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

py=$(gil_python_with_wheel)

# Outside the checkout, so that nothing in it shadows what was installed.
work=$(mktemp -d "${TMPDIR:-/tmp}/dithering-typecheck.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

log "typecheck: the wheel's typing files"
"$py" -P - <<'PY'
import importlib.util, pathlib, sys
package = pathlib.Path(importlib.util.find_spec("dithering_tools").origin).parent
stub = pathlib.Path(importlib.util.find_spec("dithering").origin).parent / "dithering-stubs" / "__init__.pyi"
missing = [str(p) for p in (package / "py.typed", package / "_native.pyi", stub) if not p.is_file()]
if missing:
    sys.exit("not installed: " + ", ".join(missing))
PY

log "typecheck: stubtest"
# Dask's own annotations are partial, as pyproject.toml's [tool.mypy] says;
# the rest is mypy's defaults, as a user's checker has them.
cat >"$work/stubtest.ini" <<'INI'
[mypy]
[mypy-dask.*,distributed.*,fsspec.*]
follow_imports = skip
ignore_missing_imports = True
INI
"$py" -P -m mypy.stubtest --mypy-config-file "$work/stubtest.ini" \
  --allowlist "$REPO_ROOT/tests/typing/stubtest-allowlist.txt" dithering dithering_tools

log "typecheck: mypy on dithering_tools ([tool.mypy])"
(cd "$REPO_ROOT" && "$py" -m mypy --cache-dir "$work/mypy-cache")

log "typecheck: a user's script under mypy --strict (tests/test_typing.py)"
(cd "$REPO_ROOT" && "$py" -P -m pytest -q -p no:cacheprovider tests/test_typing.py)
