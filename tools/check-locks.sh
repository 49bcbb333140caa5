#!/usr/bin/env bash
# The cache locks of tools/common.sh never wait on themselves, and still
# lock out other processes. A setup script installs Debian packages more than
# once (arm64-root.sh: qemu, then debootstrap) and takes a cache entry's lock
# around work that installs more; a lock that opened a new descriptor each
# time would wait forever for its own first hold, on every machine that has
# none of the packages yet. Runs in a scratch cache, with dpkg and apt-get
# replaced by stand-ins that report every package missing and install
# nothing, so it proves the apt path without touching the machine.
set -euo pipefail

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin" "$scratch/cache"
printf '#!/bin/sh\nexit 1\n' >"$scratch/bin/dpkg"
printf '#!/bin/sh\necho "$*" >>"%s/apt-calls"\n' "$scratch" >"$scratch/bin/apt-get"
chmod +x "$scratch/bin/dpkg" "$scratch/bin/apt-get"
export DITHERING_CACHE="$scratch/cache" PATH="$scratch/bin:$PATH"
common="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh"

fail() { printf 'check-locks: %s\n' "$*" >&2; exit 1; }

# Usage: within SECONDS SCRIPT -- runs SCRIPT in a new shell that has sourced
# common.sh; fails if it has not finished after SECONDS.
within() {
  local rc=0
  # Its own messages (apt_install's "installing ...") are kept to a log.
  timeout "$1" bash -euo pipefail -c "source '$common'; $2" 2>>"$scratch/log" || rc=$?
  ((rc == 0)) || cat "$scratch/log" >&2
  ((rc != 124)) || fail "waited on its own lock: $2"
  return "$rc"
}

# Held twice, shared after exclusive, exclusive after shared, released.
within 10 'lock a; lock a; lock a -s; lock b -s; lock b -s; lock b; unlock a; unlock a; lock a; unlock b'

# Two installs in one shell, the second while holding another entry's lock,
# as the root and interpreter builds do; apt-get ran for both.
within 10 'apt_install pkg-one; lock root-x; apt_install pkg-two pkg-three'
grep -q 'pkg-one' "$scratch/apt-calls" && grep -q 'pkg-two pkg-three' "$scratch/apt-calls" ||
  fail "apt_install did not run apt-get for the missing packages"

# After an install the apt lock is free for another process at once...
within 10 'apt_install pkg-four; flock -n 9 9>"$CACHE_DIR/.lock-apt" || exit 3' ||
  fail "apt_install kept the apt lock after installing"
# ...but while a shell holds a lock, another process cannot take it, shared
# or not (a lock that never waits would pass everything above).
within 10 'lock entry -s; lock entry
  ! flock -n -s 9 9>"$CACHE_DIR/.lock-entry" || exit 3
  unlock entry; flock -n 9 9>"$CACHE_DIR/.lock-entry"' ||
  fail "a held lock did not keep another process out, or was not released"

echo "check-locks: no lock waits on itself; held locks keep other processes out"
