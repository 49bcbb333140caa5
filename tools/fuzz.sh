#!/usr/bin/env bash
# Usage: tools/fuzz.sh [PYTEST ARGS...]
# A long fuzzing campaign: every property of tests/test_fuzz.py with many
# examples (Hypothesis profile "long", FUZZ_EXAMPLES per property, default
# 20000), under the free-threaded interpreter with the extension freshly
# built. Failing examples are saved in .hypothesis/ and tried first next time.
# Extra arguments go to pytest, e.g.  tools/fuzz.sh -k palettes -x
# Example: FUZZ_EXAMPLES=100000 bash tools/fuzz.sh     (several hours)
set -euo pipefail
export HYPOTHESIS_PROFILE=long FUZZ_EXAMPLES=${FUZZ_EXAMPLES:-20000}
exec bash "$(dirname "${BASH_SOURCE[0]}")/ft-run.sh" \
  python -P -m pytest -q tests/test_fuzz.py --hypothesis-show-statistics "$@"
