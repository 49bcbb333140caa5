#!/usr/bin/env python3
"""Record the SHA-256 of every corpus case's input and output (tests/corpus.py)
into tests/data/corpus_digests.json, which tests/test_corpus_digests.py checks
in every lane.

Run it on x86-64 with this checkout's module installed, e.g.
    tools/ft-run.sh python tools/record-corpus-digests.py
and only when outputs are meant to change (or cases were added): the file is
the promise that the same call gives the same bytes on every machine, so it
is recorded on one and checked on all the others.
"""

import argparse
import json
import platform
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

import numpy as np  # noqa: E402

import corpus  # noqa: E402
import dithering  # noqa: E402

OUT = REPO / "tests" / "data" / "corpus_digests.json"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--any-machine", action="store_true",
                        help="record on a processor other than x86-64 (the other lanes then check its bytes)")
    args = parser.parse_args()
    machine = platform.machine()
    if machine not in ("x86_64", "AMD64") and not args.any_machine:
        sys.exit(f"refusing to record on {machine}: the digests are recorded on x86-64 (--any-machine overrides)")

    cases = {}
    for case in corpus.cases():
        input_digest, output_digest = corpus.run(case)
        cases[case.name] = {"input": input_digest, "output": output_digest}
    recorded = {
        "recorded_on": {
            "machine": machine,
            "python": sys.version.split()[0] + sys.abiflags,
            "numpy": np.__version__,
            "dithering": getattr(dithering, "__version__", "?"),
        },
        "cases": cases,
    }
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps(recorded, indent=1) + "\n")
    print(f"recorded {len(cases)} cases in {OUT.relative_to(REPO)}")


if __name__ == "__main__":
    main()
