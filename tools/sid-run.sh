#!/usr/bin/env bash
# Usage: sid-run.sh COMMAND [ARGS...]
# Run COMMAND inside the cached Debian unstable root (tools/sid-root.sh),
# from this checkout, which appears there at its own path.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

root=$("$REPO_ROOT/tools/sid-root.sh")
# Shared with other runs, exclusive with a rebuild: the root never changes
# under a running command.
lock root-sid -s
chroot_run "$root" "$@"
