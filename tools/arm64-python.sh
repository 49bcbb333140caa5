#!/usr/bin/env bash
# Usage: arm64-python.sh [ARGS...]
# The arm64 root's python3, run inside the root under emulation: the
# interpreter CMake asks about the target when cross-building
# (tools/debian-root.cmake), as it would ask python3 on an ARM machine.
exec "$(dirname "${BASH_SOURCE[0]}")/arm64-run.sh" /usr/bin/python3 "$@"
