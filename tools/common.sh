# shellcheck shell=bash disable=SC2034
# Shared settings for the tools/ scripts; sourced, never run.

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Outside the work tree so interpreters and venvs survive fresh clones.
CACHE_DIR="${DITHERING_CACHE:-$HOME/.cache/dithering}"
mkdir -p "$CACHE_DIR"

# Keep pip's output to what matters: no upgrade nag, no root-user warning.
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Run a noisy step with its output in a log file; show the tail only on failure.
run_logged() {
  local logfile=$1; shift
  if ! "$@" >"$logfile" 2>&1; then
    tail -n 60 "$logfile" >&2
    die "'$*' failed (full log: $logfile)"
  fi
}

# Serialise work on one cache entry, so two clones or two make runs don't race.
lock() {
  exec {LOCK_FD}>"$CACHE_DIR/.lock-$1"
  flock "$LOCK_FD"
}
