#!/usr/bin/env bash
# Usage: sid-python.sh [ARGS...]
# The sid root's python3, run inside that root: what CMake asks about the
# interpreter a wheel is built for when it is built on this machine
# (tools/root-wheel.sh with tools/debian-root.cmake).
exec "$(dirname "${BASH_SOURCE[0]}")/sid-run.sh" /usr/bin/python3 "$@"
