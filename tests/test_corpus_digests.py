"""The corpus (corpus.py) gives the bytes recorded in data/corpus_digests.json.

The digests were recorded once, on x86-64; every lane checks them, whatever
its processor, compiler or vector paths, so the same call gives the same
bytes everywhere. A case whose input digest differs points at the input
generator, not the module. After an intended change of output, record them
again with tools/record-corpus-digests.py and say why in the commit.
"""

import json
from pathlib import Path

import pytest

import corpus

RECORDED = json.loads((Path(__file__).parent / "data" / "corpus_digests.json").read_text())["cases"]
CASES = corpus.cases()


def test_every_case_is_recorded():
    assert sorted(c.name for c in CASES) == sorted(RECORDED)


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.name)
def test_same_bytes_as_recorded(case):
    recorded = RECORDED.get(case.name)
    assert recorded is not None, f"{case.name} is not recorded; run tools/record-corpus-digests.py"
    input_digest, output_digest = corpus.run(case)
    assert input_digest == recorded["input"], "the generated input differs from the recorded one"
    assert output_digest == recorded["output"]
