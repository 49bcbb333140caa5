#!/usr/bin/env bash
# Usage: tools/lint.sh
# The checks of .pre-commit-config.yaml, run without pre-commit (which
# fetches its hooks from repositories this machine cannot reach): the same
# tools at the same versions, from pyproject.toml's "lint" dependency group,
# in a venv of their own made by the ordinary python3 (or GIL_PYTHON). Then
# repo-review's verdict on the packaging, and noxfile.py loaded. The
# whitespace fixers mend what they find and fail, as the hooks do. Fails if
# any check fails; every check runs.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_ROOT"

venv="$CACHE_DIR/venv-lint"
lock venv-lint
if [[ ! -x $venv/bin/python ]]; then
  log "creating $venv"
  "${GIL_PYTHON:-python3}" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --only-binary=:all: --upgrade pip
fi
# pip reads the group from ./pyproject.toml; pinned, so a venv that has
# them installs nothing.
"$venv/bin/python" -m pip install -q --only-binary=:all: --group lint
unlock venv-lint
bin="$venv/bin"

failed=()
check() {
  local name=$1; shift
  if "$@"; then log "lint: $name: ok"; else failed+=("$name"); log "lint: $name FAILED"; fi
}

# The hook revisions name the group's versions (v6.0.0 for ==6.0.0).
check "hook revisions match the lint group" "$bin/python" - <<'PY'
import re, sys, tomllib
pins = {}
for req in tomllib.load(open("pyproject.toml", "rb"))["dependency-groups"]["lint"]:
    name, _, version = req.partition("==")
    pins[name.split("[")[0]] = version
tools = {"pre-commit-hooks": "pre-commit-hooks", "ruff-pre-commit": "ruff",
         "codespell": "codespell", "mirrors-mypy": "mypy", "zizmor-pre-commit": "zizmor"}
text = open(".pre-commit-config.yaml").read()
# pygrep-hooks (regular expressions over reStructuredText) is no package:
# it runs under pre-commit alone.
hooks = [(repo, rev) for repo, rev in re.findall(r"- repo: \S+/([\w.-]+)\n\s+rev: v(\S+)", text)
         if repo != "pygrep-hooks"]
wrong = [f"{repo} v{rev}, lint group {pins.get(tools.get(repo))}" for repo, rev in hooks
         if pins.get(tools.get(repo)) != rev]
if wrong or len(hooks) != len(tools):
    sys.exit("hooks and lint group differ: " + "; ".join(wrong or [f"{len(hooks)} hooks"]))
PY

# What the hooks see: the tracked files, less the configuration's exclude.
mapfile -t files < <(git ls-files | grep -Ev '^(tests/fuzz/corpus/|tests/data/|docs/images/)')
mapfile -t yaml < <(printf '%s\n' "${files[@]}" | grep -E '\.ya?ml$')
mapfile -t toml < <(printf '%s\n' "${files[@]}" | grep -E '\.toml$')
check "check-yaml" "$bin/check-yaml" "${yaml[@]}"
check "check-toml" "$bin/check-toml" "${toml[@]}"
check "end-of-file-fixer" "$bin/end-of-file-fixer" "${files[@]}"
check "trailing-whitespace" "$bin/trailing-whitespace-fixer" "${files[@]}"
check "check-merge-conflict" "$bin/check-merge-conflict" "${files[@]}"
check "ruff" "$bin/ruff" check --show-fixes .
check "codespell" "$bin/codespell" "${files[@]}"
check "zizmor" "$bin/zizmor" --offline --no-progress .github/workflows
check "repo-review" "$bin/repo-review" --show err .
check "noxfile" "$bin/nox" --list >/dev/null

if ((${#failed[@]})); then
  printf 'lint FAILED: %s\n' "${failed[*]}" >&2
  exit 1
fi
log "lint: every check passed"
