#!/usr/bin/env bash
# Usage: arm64-run.sh COMMAND [ARGS...]
# Run COMMAND inside the cached Debian unstable arm64 root (tools/arm64-root.sh),
# under emulation, from this checkout, which appears there at its own path.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

root=$("$REPO_ROOT/tools/arm64-root.sh")
# Shared with other runs, exclusive with a rebuild: the root never changes
# under a running command.
lock root-sid-arm64 -s
chroot_run "$root" "$@"
